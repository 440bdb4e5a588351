#!/usr/bin/env python3
"""Lost directories on FAT volumes made by mkfs.fat and mtools: a folder whose clusters lie apart,
removed with mdeltree. After a scan it lists its files and only them, saves byte for byte, and the
files of its second cluster come back, joined to it or, when its first cluster was overwritten,
among the orphan entries. What The Sleuth Kit's fls finds as orphan files, Harrow finds too.

usage: check_lost_directories.py HARROW_CLI"""
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import unittest

CLI = None
ENV = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="", MTOOLS_SKIP_CHECK="1")
PHOTOS = ["DSC_%04d beach.jpg" % i for i in range(1, 9)]


def run(*args, check=True):
    p = subprocess.run([CLI, *args], capture_output=True, env=ENV, timeout=300)
    if check and p.returncode != 0:
        raise AssertionError(f"harrow-cli {' '.join(args)} exited {p.returncode}: {p.stderr.decode(errors='replace')}")
    return p


def tool(*args):
    subprocess.run(args, check=True, capture_output=True, env=ENV)


def make_volume(folder):
    """64 MiB FAT32 with 512-byte clusters: "Holiday Photos 2023/Beach" holds eight photos with long
    names, two directory clusters' worth, written between the files of a live folder, so that
    the folder's second cluster comes long after its first. Then the tree is removed."""
    img = os.path.join(folder, "v.img")
    tool("mkfs.fat", "-C", "-F", "32", "-s", "1", "-i", "12345678", img, "65536")
    tool("mmd", "-i", img, "::/Holiday Photos 2023", "::/Holiday Photos 2023/Beach", "::/Docs")
    rng = random.Random(19)
    contents = {}
    for i, name in enumerate(PHOTOS):
        for path, size in ((name, 3000 + 1500 * i), ("d%d.txt" % i, 5000)):
            data = bytes(rng.getrandbits(8) for _ in range(size))
            with open(os.path.join(folder, path), "wb") as f:
                f.write(data)
            contents[path] = data
        tool("mcopy", "-i", img, os.path.join(folder, name), "::/Holiday Photos 2023/Beach/")
        tool("mcopy", "-i", img, os.path.join(folder, "d%d.txt" % i), "::/Docs/")
    tool("mdeltree", "-i", img, "::/Holiday Photos 2023")
    return img, contents


def found(img):
    return json.loads(run("scan", img, "--json").stdout)["items"]


def listing(img, cluster):
    return json.loads(run("ls", "--scan", img, "@%d" % cluster, "--json").stdout)["items"]


def fls_orphans(img):
    out = subprocess.run(["fls", "-r", "-d", "-p", img], capture_output=True, text=True, check=True).stdout
    return [line.split("\t")[1].split("/")[-1] for line in out.splitlines() if "$OrphanFiles/" in line]


class LostDirectories(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.img, self.contents = make_volume(self.tmp.name)
        with open(self.img, "rb") as f:
            self.before = f.read()

    def tearDown(self):
        with open(self.img, "rb") as f:
            self.assertEqual(f.read(), self.before, "the volume was written to")
        self.tmp.cleanup()

    def check_entries(self, items):
        for i in items:
            self.assertLessEqual(i["cluster"], 131072, i)
            self.assertLessEqual(i["size"], 64 << 20, i)
            self.assertRegex(i.get("date", "2000"), r"^(19[89]\d|20[0-2]\d)", i)
            self.assertNotRegex(i["name"], r"[\x00-\x1f]", i)

    def assert_has_fls_orphans(self, items):
        # Deleted short names lose their first letter: fls shows "_", Harrow "#".
        ours = {(i.get("short_name") or i["name"])[1:] for i in items}
        theirs = [n[1:] for n in fls_orphans(self.img)]
        self.assertTrue(theirs)
        self.assertLessEqual(set(theirs), ours)
        print("orphan files: fls %d, listed here %d" % (len(theirs), len(items)), file=sys.stderr)

    def save(self, cluster, folder):
        out = os.path.join(self.tmp.name, "out")
        p = run("save", "--scan", self.img, "@%d" % cluster, "-r", "--to", out, "--json")
        report = json.loads(p.stdout)
        self.assertEqual((report["failed"], p.returncode), (0, 0), report)
        return os.path.join(out, folder)

    def test_a_lost_folder_lists_its_files_and_only_them(self):
        beach = next(i for i in found(self.img) if i["name"] == "#Beach")
        items = [i for i in listing(self.img, beach["cluster"]) if i["name"] not in (".", "..")]
        self.check_entries(items)
        self.assertEqual(sorted(i["name"] for i in items), ["#" + n for n in PHOTOS])
        self.assert_has_fls_orphans(items)
        folder = self.save(beach["cluster"], "#Beach")
        for name in PHOTOS:
            with open(os.path.join(folder, "#" + name), "rb") as f:
                self.assertEqual(f.read(), self.contents[name], name)

    def test_a_second_cluster_without_its_first_is_gathered_with_what_fls_finds(self):
        beach = next(i for i in found(self.img) if i["name"] == "#Beach")
        # The folder's first cluster taken over by other data: its second has no directory left.
        with open(self.img, "r+b") as f:
            boot = f.read(512)
            reserved, fats, per_fat = struct.unpack_from("<H", boot, 14)[0], boot[16], struct.unpack_from("<I", boot, 36)[0]
            f.seek((reserved + fats * per_fat + beach["cluster"] - 2) * 512)
            f.write(random.Random(1).randbytes(512))
            f.seek(0)
            self.before = f.read()
        orphans = [i for i in found(self.img) if i["name"] == "#Orphan entries"]
        self.assertEqual(len(orphans), 1)
        items = listing(self.img, orphans[0]["cluster"])
        self.check_entries(items)
        self.assert_has_fls_orphans(items)
        folder = self.save(orphans[0]["cluster"], "#Orphan entries")
        for name in PHOTOS[5:]:
            with open(os.path.join(folder, "#" + name), "rb") as f:
                self.assertEqual(f.read(), self.contents[name], name)


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main()
