#!/usr/bin/env python3
"""Runs harrow-cli on a FAT fixture whose image fails like a disk with a bad sector (through the
pread shim), and checks what a user sees: the bytes before the bad cluster and no more, one
question or message per unreadable cluster, the choices of --on-read-error, exit statuses, and
one message when the device goes away.

usage: check_read_errors.py HARROW_CLI SHIM FAT_FIXTURES"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

CLI = SHIM = FIXTURES = None
ENODEV = 19


def image():
    return os.path.join(FIXTURES, "fat16.img")


def truth():
    with open(os.path.join(FIXTURES, "fat16.truth.json")) as f:
        return json.load(f)


def cluster_offset(t, cluster):
    return (t["first_data_sector"] + (cluster - 2) * t["sectors_per_cluster"]) * t["bytes_per_sector"]


def run(args, bad=None, error=None):
    env = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")
    if bad is not None:
        # An instrumented build wants its runtime first; the shim only passes reads through.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "verify_asan_link_order=0"]))
        env.update(LD_PRELOAD=SHIM, HARROW_FAULT_FILE=image(), HARROW_FAULT_FROM=str(bad[0]), HARROW_FAULT_TO=str(bad[1]))
        if error is not None:
            env["HARROW_FAULT_ERRNO"] = str(error)
    return subprocess.run([CLI, *args], capture_output=True, env=env, timeout=120, stdin=subprocess.DEVNULL)


class ReadErrors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.t = truth()
        cls.sector = cls.t["bytes_per_sector"]
        cls.cluster_bytes = cls.sector * cls.t["sectors_per_cluster"]
        # A live contiguous file of several clusters.
        cls.file = next(e for e in cls.t["entries"] if not e["dir"] and not e["deleted"] and e.get("contiguous")
                        and len(e["clusters"]) >= 4 and e.get("content"))
        with open(os.path.join(FIXTURES, cls.file["content"]), "rb") as f:
            cls.content = f.read()
        cls.clean = run(["scan", image(), "--json"])
        assert cls.clean.returncode == 0, cls.clean.stderr

    def bad_sector_in_cluster(self, cluster, sector=0):
        at = cluster_offset(self.t, cluster) + sector * self.sector
        return at, at + self.sector

    def test_cat_delivers_the_clusters_before_the_bad_one(self):
        bad = self.bad_sector_in_cluster(self.file["clusters"][2], 1)
        p = run(["cat", image(), self.file["path"]], bad)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"Cannot read", p.stderr)
        self.assertEqual(p.stdout, self.content[:2 * self.cluster_bytes])

    def test_an_overwrite_that_fails_keeps_the_older_file(self):
        bad = self.bad_sector_in_cluster(self.file["clusters"][2], 1)
        name = self.file["path"].rsplit("/", 1)[1]
        stem, dot, ext = name.rpartition(".")
        partial = f"{stem}.partial.{ext}" if dot else f"{name}.partial"
        with tempfile.TemporaryDirectory() as out:
            old = b"an older copy the user kept\n"
            with open(os.path.join(out, name), "wb") as f:
                f.write(old)
            p = run(["save", image(), self.file["path"], "--to", out, "--overwrite", "all"], bad)
            self.assertEqual(p.returncode, 1, p.stderr)
            with open(os.path.join(out, name), "rb") as f:
                self.assertEqual(f.read(), old)
            with open(os.path.join(out, partial), "rb") as f:
                self.assertEqual(f.read(), self.content[:2 * self.cluster_bytes])
            self.assertIn(partial.encode(), p.stderr)
            self.assertEqual(sorted(os.listdir(out)), sorted([name, partial]))

    def test_the_scan_goes_on_or_stops_as_told(self):
        # The first sector of a cluster no directory starts in: only the scan ever reads it.
        dirs = {i["cluster"] for i in json.loads(self.clean.stdout)["items"]}
        cluster = next(c for c in range(self.t["cluster_count"] // 2, self.t["cluster_count"]) if c not in dirs)
        bad = self.bad_sector_in_cluster(cluster)
        asked = f"Cannot read cluster {cluster}".encode()

        go_on = run(["scan", image(), "--json", "--on-read-error", "continue"], bad)
        self.assertEqual(go_on.returncode, 1, go_on.stderr)  # the scan is complete but for that cluster
        self.assertEqual(go_on.stderr.count(b"Cannot read cluster"), 1)
        self.assertIn(asked, go_on.stderr)
        self.assertEqual(json.loads(go_on.stdout)["items"], json.loads(self.clean.stdout)["items"])

        for args in (["--on-read-error", "stop"], []):  # without a terminal to ask, the scan stops
            with self.subTest(args=args):
                stop = run(["scan", image(), "--json", *args], bad)
                self.assertEqual(stop.returncode, 1)
                self.assertEqual(stop.stderr.count(b"Cannot read cluster"), 1)
                self.assertFalse(json.loads(stop.stdout)["completed"])

    def test_a_bad_sector_in_one_fat_copy_is_read_around_never_guessed(self):
        # The FAT1 sector that holds the fragmented file's chain cannot be read; FAT2 can.
        t = self.t
        frag = next(e for e in t["entries"] if e["path"] == "/FRAG/Fragmented File.bin")
        fat_sector = t["reserved_sectors"] + frag["clusters"][0] * 2 // t["bytes_per_sector"]
        bad = (fat_sector * t["bytes_per_sector"], (fat_sector + 1) * t["bytes_per_sector"])
        with open(os.path.join(FIXTURES, frag["content"]), "rb") as f:
            content = f.read()

        cat = run(["cat", image(), frag["path"]], bad)
        self.assertEqual(cat.returncode, 0, cat.stderr)
        self.assertEqual(cat.stdout, content)
        self.assertEqual(cat.stderr.count(f"FAT1: sectors {fat_sector} cannot be read".encode()), 1, cat.stderr)
        self.assertIn(b"read through FAT2", cat.stderr)

        # Not even --force-fat reads through entries that were never read.
        forced = run(["cat", image(), frag["path"], "--force-fat"], bad)
        self.assertEqual(forced.stdout, content)
        ls = run(["ls", image(), "/FRAG", "--json"], bad)
        verdicts = {i["name"]: i["verdict"] for i in json.loads(ls.stdout)["items"] if not i["dir"]}
        self.assertNotEqual(verdicts["Fragmented File.bin"], 202)  # not "deleted, all free"

    def test_a_device_that_goes_away_is_said_once(self):
        bad = self.bad_sector_in_cluster(self.t["cluster_count"] // 2)
        p = run(["scan", image(), "--on-read-error", "continue"], bad, ENODEV)
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr.count(b"can no longer be read"), 1, p.stderr)
        self.assertNotIn(b"Cannot read cluster", p.stderr)


if __name__ == "__main__":
    CLI, SHIM, FIXTURES = sys.argv[1], sys.argv[2], sys.argv[3]
    unittest.main(argv=sys.argv[:1], verbosity=2)
