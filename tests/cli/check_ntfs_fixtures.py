#!/usr/bin/env python3
"""Compares what harrow-cli lists and reads on NTFS volumes with their ground truth (made with
mkntfs and ntfs-3g, or formatted by Windows, and checked against The Sleuth Kit or, on volumes it
cannot open, a read-only ntfs-3g mount, and, where it records them, ntfsls and ntfscat), and checks
that no command changes a byte of the image it reads.

usage: check_ntfs_fixtures.py HARROW_CLI DIR...   (every NAME.truth.json in each DIR)"""
import glob
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

CLI = None
DIRS = []
ENV = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")


def run(*args, check=True, stdout=subprocess.PIPE):
    p = subprocess.run([CLI, *args], stdout=stdout, stderr=subprocess.PIPE, env=ENV, timeout=600)
    if check and p.returncode != 0:
        raise AssertionError(f"harrow-cli {' '.join(args)} exited {p.returncode}: {p.stderr.decode(errors='replace')}")
    return p


def digest_of_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def visible(path):
    # System files and names beginning with "$" ($RECYCLE.BIN, $Extend) are left out on both sides.
    return not any(part.startswith("$") for part in path.split("/"))


class Volume:
    def __init__(self, truth_path):
        with open(truth_path) as f:
            self.truth = json.load(f)
        self.dir = os.path.dirname(truth_path)
        self.image = os.path.join(self.dir, self.truth["image"])
        self.name = self.truth["image"]

    def args(self, *rest):
        return ["--offset", str(self.truth.get("offset", 0)), *rest]

    def content(self, entry):
        with open(os.path.join(self.dir, entry["content"]), "rb") as f:
            return f.read()

    def sector(self, record):
        return self.truth["record_sectors"][str(record)]


class NtfsFixtures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.volumes = [Volume(p) for d in DIRS for p in sorted(glob.glob(os.path.join(d, "*.truth.json")))]
        if not cls.volumes:
            raise unittest.SkipTest("no NTFS fixtures were built")
        cls.digests = {v.image: digest_of_file(v.image) for v in cls.volumes}

    def test_info(self):
        for v in self.volumes:
            with self.subTest(image=v.name):
                info = json.loads(run(*v.args("info", v.image, "--json")).stdout)
                self.assertEqual(info["file_system"], "NTFS")
                self.assertEqual(info["sectors_per_cluster"], v.truth["sectors_per_cluster"])
                self.assertEqual(info["clusters"], v.truth["cluster_count"])

    def test_recursive_listing_matches_the_tree(self):
        for v in self.volumes:
            with self.subTest(image=v.name):
                listed = json.loads(run(*v.args("ls", v.image, "-r", "--json")).stdout)["items"]
                got = {i["path"]: i for i in listed if i["name"] not in (".", "..") and visible(i["path"]) and "stream" not in i}
                want = {e["path"]: e for e in v.truth["entries"] if visible(e["path"])}
                self.assertEqual(sorted(got), sorted(want))
                # Each named stream right after its file, as a file of its own.
                streams = [(i["path"], i["stream"], i["record"], i["size"], i["cluster"], i["dir"])
                           for i in listed if "stream" in i and visible(i["path"])]
                self.assertEqual(sorted(streams), sorted((s["path"] + ":" + s["stream"], s["stream"], s["record"], s["size"],
                                                          v.sector(s["record"]), False) for s in v.truth["streams"]))
                for path, e in want.items():
                    i = got[path]
                    self.assertEqual((i["record"], i["parent_record"], i["dir"], i["deleted"]),
                                     (e["record"], e["parent_record"], e["dir"], False), path)
                    if not e["dir"]:
                        self.assertEqual(i["size"], e["size"], path)
                        self.assertEqual(i["cluster"], v.sector(e["record"]), path)

    def test_every_live_file_reads_back(self):
        for v in self.volumes:
            siblings = {}
            for e in v.truth["entries"]:
                parent = e["path"].rsplit("/", 1)[0]
                siblings[parent] = siblings.get(parent, 0) + 1
            crowded = {}
            for e in v.truth["entries"]:
                if e["dir"]:
                    continue
                # By path where that is cheap; files of very large directories by their record's
                # sector, below, or every lookup would list the whole directory again.
                parent = e["path"].rsplit("/", 1)[0]
                if siblings[parent] > 50 and "sha256" not in e:
                    crowded.setdefault(parent, []).append(e)
                    continue
                with self.subTest(image=v.name, path=e["path"]):
                    if "sha256" in e:
                        with subprocess.Popen([CLI, *v.args("cat", v.image, e["path"])], stdout=subprocess.PIPE, env=ENV) as p:
                            h, size = hashlib.sha256(), 0
                            for block in iter(lambda: p.stdout.read(1 << 20), b""):
                                h.update(block)
                                size += len(block)
                            self.assertEqual(p.wait(), 0)
                        self.assertEqual(size, e["size"])
                        self.assertEqual(h.hexdigest(), e["sha256"])
                    else:
                        self.assertEqual(run(*v.args("cat", v.image, e["path"])).stdout, v.content(e))
            # The first, middle and last with cat, and all of them with a single save: a process
            # per file would take most of the time of this whole check.
            for parent, files in crowded.items():
                for e in {id(e): e for e in (files[0], files[len(files) // 2], files[-1])}.values():
                    with self.subTest(image=v.name, path=e["path"]):
                        self.assertEqual(run(*v.args("cat", v.image, "@%d" % v.sector(e["record"]))).stdout, v.content(e))
                with self.subTest(image=v.name, saved_from=parent), tempfile.TemporaryDirectory() as out:
                    addresses = ["@%d" % v.sector(e["record"]) for e in files]
                    report = json.loads(run(*v.args("save", v.image, *addresses, "--to", out, "--json")).stdout)
                    self.assertEqual((report["saved"], report["failed"]), (len(files), 0))
                    differ = []
                    for e in files:
                        with open(os.path.join(out, e["name"]), "rb") as f:
                            if f.read() != v.content(e):
                                differ.append(e["path"])
                    self.assertEqual(differ, [], f"{len(differ)} of {len(files)} saved by sector differ")

    def test_named_streams_read_back_by_sector_and_save_beside_their_file(self):
        for v in self.volumes:
            streams = [s for s in v.truth["streams"] if visible(s["path"])]
            with tempfile.TemporaryDirectory() as out:
                if streams:
                    run(*v.args("save", v.image, *(s["path"] + ":" + s["stream"] for s in streams), "--to", out))
                for s in streams:
                    with self.subTest(image=v.name, stream=s["path"] + ":" + s["stream"]):
                        got = run(*v.args("cat", v.image, "@%d:%s" % (v.sector(s["record"]), s["stream"])))
                        self.assertEqual(got.stdout, v.content(s))
                        with open(os.path.join(out, s["path"].rsplit("/", 1)[1] + "_" + s["stream"]), "rb") as f:
                            self.assertEqual(f.read(), v.content(s))

    def test_a_damaged_index_block_fails_the_listings_that_miss_it(self):
        for v in (v for v in self.volumes if v.name == "ntfs.img"):
            with open(v.image, "rb") as f:
                data = bytearray(f.read())
            # Every index block of /Big Directory that names this file, in use or left over.
            for at in [m.start() for m in re.finditer(re.escape("f0750.txt".encode("utf-16-le")), data)]:
                block = data.rfind(b"INDX", 0, at)
                data[block:block + 4] = b"XXXX"
            with tempfile.NamedTemporaryFile(suffix=".img") as damaged:
                damaged.write(data)
                damaged.flush()
                for args in (["ls", damaged.name, "/Big Directory"], ["ls", damaged.name, "-r"]):
                    p = run(*v.args(*args), check=False)
                    self.assertEqual((p.returncode, b"f0750.txt" in p.stdout), (1, False), p.stderr)

    def test_listings_and_bytes_as_ntfs3g_reads_them(self):
        # Looked up by path, so every index on the way is walked.
        for v in self.volumes:
            for d in v.truth.get("ntfsls", []):
                with self.subTest(image=v.name, listing=d["path"]):
                    listed = json.loads(run(*v.args("ls", v.image, d["path"], "--json")).stdout)["items"]
                    got = sorted(i["name"] for i in listed if i["name"] not in (".", "..") and visible(i["name"]))
                    want = sorted(n for n in d["names"] if visible(n))
                    self.assertEqual(len(got), len(want), f"{d['path']}: {len(got)} names listed, ntfsls lists {len(want)}")
                    self.assertEqual(got, want)
            for f in v.truth.get("ntfscat", []):
                with self.subTest(image=v.name, path=f["path"]):
                    got, want = run(*v.args("cat", v.image, f["path"]), check=False), v.content(f)
                    self.assertEqual(got.returncode, 0, f"cat {f['path']}: {got.stderr.decode(errors='replace').strip()}")
                    if got.stdout != want:
                        at = next((i for i, (a, b) in enumerate(zip(got.stdout, want)) if a != b), min(len(got.stdout), len(want)))
                        self.fail(f"{f['path']}: read {len(got.stdout)} bytes, ntfscat {len(want)}; first difference at byte {at}")

    def test_deleted_and_orphaned_records_read_back_by_sector(self):
        checked = 0
        for v in self.volumes:
            for e in v.truth.get("deleted", []) + v.truth.get("orphans", []):
                if not e.get("intact", True):
                    continue
                with self.subTest(image=v.name, record=e["record"]):
                    address = "@%d" % v.sector(e["record"])
                    listed = json.loads(run(*v.args("ls", v.image, address, "--json")).stdout)["items"]
                    self.assertEqual(len(listed), 1)
                    self.assertEqual(listed[0]["name"], e["name"])
                    self.assertEqual(listed[0]["record"], e["record"])
                    self.assertEqual(listed[0]["size"], e["size"])
                    self.assertEqual(listed[0]["deleted"], e in v.truth.get("deleted", []))
                    self.assertEqual(run(*v.args("cat", v.image, address)).stdout, v.content(e))
                    checked += 1
        if any(v.truth.get("deleted") for v in self.volumes):
            self.assertGreater(checked, 0)

    def test_directories_list_by_record_sector(self):
        for v in self.volumes:
            dirs = [e for e in v.truth["entries"] if e["dir"] and visible(e["path"])]
            for d in dirs[:5]:
                with self.subTest(image=v.name, path=d["path"]):
                    listed = json.loads(run(*v.args("ls", v.image, "@%d" % v.sector(d["record"]), "--json")).stdout)["items"]
                    got = sorted(i["name"] for i in listed
                                 if i["name"] not in (".", "..") and visible(i["name"]) and "stream" not in i)
                    want = sorted(e["name"] for e in v.truth["entries"]
                                  if e["path"].rsplit("/", 1)[0] == d["path"] and visible(e["name"]))
                    self.assertEqual(got, want)

    def test_scan_finds_every_file_record_and_saves_the_lost_ones(self):
        for v in self.volumes:
            if not v.truth.get("deleted") and not v.truth.get("orphans"):
                continue
            with self.subTest(image=v.name):
                found = json.loads(run(*v.args("scan", v.image, "--json")).stdout)["items"]
                by_sector = {i["cluster"]: i for i in found}
                live = [e for e in v.truth["entries"] if not e["dir"]]
                for e in live + v.truth.get("deleted", []) + v.truth.get("orphans", []):
                    item = by_sector.get(v.sector(e["record"]))
                    self.assertIsNotNone(item, e["name"])
                    self.assertEqual((item["name"], item["record"], item["size"]), (e["name"], e["record"], e["size"]))
                    self.assertEqual(item["parent_record"], e["parent_record"])
                    self.assertEqual(item["deleted"], e in v.truth.get("deleted", []), e["name"])
                self.assertFalse([i for i in found if i["dir"]])
                lost = [e for e in v.truth.get("deleted", []) + v.truth.get("orphans", []) if e.get("intact", True)]
                with tempfile.TemporaryDirectory() as out:
                    addresses = ["@%d" % v.sector(e["record"]) for e in lost]
                    report = json.loads(run(*v.args("save", v.image, *addresses, "--to", out, "--json")).stdout)
                    self.assertEqual(report["saved"], len(lost))
                    for e in lost:
                        with open(os.path.join(out, e["name"]), "rb") as f:
                            self.assertEqual(f.read(), v.content(e), e["name"])

    @classmethod
    def tearDownClass(cls):
        for v in getattr(cls, "volumes", []):
            if digest_of_file(v.image) != cls.digests[v.image]:
                raise AssertionError(f"{v.name} changed while it was read")


if __name__ == "__main__":
    CLI, DIRS = sys.argv[1], sys.argv[2:]
    DIRS = [d for d in DIRS if os.path.isdir(d)]
    unittest.main(argv=[sys.argv[0], "-v"])
