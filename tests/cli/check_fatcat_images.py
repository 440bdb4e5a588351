#!/usr/bin/env python3
"""The nine FAT32 volumes the Linux kernel made for the fatcat project (tests/fixtures/fatcat-images),
each read end to end: every live file's bytes against The Sleuth Kit's icat, the directory loop and
the 1 TB claim in bounded time and memory, a chain that loops, files sharing a cluster, an empty
file's verdict, and a directory whose cluster FAT1 lost.

usage: check_fatcat_images.py HARROW_CLI"""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile  # noqa: E402
from hostile import Scratch, run  # noqa: E402

IMAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "fatcat-images")
NAMES = ["deleted", "directory-loop", "empty", "fake-big-disk-1T", "full-fat", "hello-world", "infinite-file",
         "repair", "two-file-same-cluster"]


def live_files(img):
    """(path, inode) of every allocated regular file, as fls lists them."""
    out = subprocess.run(["fls", "-r", "-p", img], capture_output=True, text=True, check=True).stdout
    files = []
    for line in out.splitlines():
        m = re.match(r"r/r (\d+):\t(.*)$", line)
        if m and "$" not in m.group(2) and "(Volume Label Entry)" not in m.group(2):
            files.append(("/" + m.group(2), m.group(1)))
    return files


class FatcatImages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.dir = cls.scratch.__enter__()
        cls.img = {}
        for name in NAMES:
            path = os.path.join(cls.dir, name + ".img")
            with gzip.open(os.path.join(IMAGES, name + ".img.gz")) as src, open(path, "wb") as dst:
                shutil.copyfileobj(src, dst)
            cls.img[name] = path

    @classmethod
    def tearDownClass(cls):
        cls.scratch.__exit__(None, None, None)

    def test_every_image_lists_in_bounded_time_and_memory(self):
        for name, img in self.img.items():
            r = run(["ls", img, "-r", "--json"], cpu_seconds=10)
            # A boot sector claiming more than its image holds may be refused, with its reason.
            self.assertIn(r.returncode, (0, 2), (name, r.stderr))
            if r.returncode == 2:
                self.assertTrue(r.stderr.strip(), name)
            r = run(["info", img], cpu_seconds=10)
            self.assertIn(r.returncode, (0, 2), (name, r.stderr))

    def test_live_files_read_as_the_sleuth_kit_reads_them(self):
        for name in ("hello-world", "repair", "two-file-same-cluster", "deleted", "directory-loop"):
            img = self.img[name]
            for path, inode in live_files(img):
                if path.count("/A/") > 1:
                    continue  # below the loop's way back, every path is a path already read
                truth = subprocess.run(["icat", img, inode], capture_output=True, check=True).stdout
                r = run(["cat", img, path])
                self.assertEqual(r.returncode, 0, (name, path, r.stderr))
                self.assertEqual(r.stdout, truth, (name, path))
        # Both files of the shared cluster.
        shared = self.img["two-file-same-cluster"]
        self.assertEqual(run(["cat", shared, "/a.txt"]).stdout, run(["cat", shared, "/b.txt"]).stdout)

    def test_the_directory_loop_is_walked_once(self):
        r = run(["ls", self.img["directory-loop"], "-r", "--json"], cpu_seconds=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        paths = [i["path"] for i in json.loads(r.stdout)["items"] if i["name"] not in (".", "..")]
        self.assertEqual(paths[:4], ["/A", "/A/B", "/A/B/C", "/A/B/C/A"])
        self.assertNotIn("/A/B/C/A/B", paths)

    def test_a_looping_chain_is_read_once_and_said(self):
        img = self.img["infinite-file"]
        r = run(["cat", img, "/BigMamma"], cpu_seconds=10)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stdout, b"")
        self.assertIn(b"FAT1 is invalid", r.stderr)
        forced = run(["cat", img, "/BigMamma", "--force-fat"], cpu_seconds=10)
        self.assertEqual(forced.returncode, 1)
        self.assertIn(b"comes back on itself", forced.stderr)
        self.assertGreater(len(forced.stdout), 0)
        self.assertLess(len(forced.stdout), 1 << 20)
        # Saving takes the same decision.
        with Scratch() as target:
            s = run(["save", img, "/BigMamma", "--to", target], cpu_seconds=10)
            self.assertEqual(s.returncode, 1)

    def test_an_empty_file_fits_every_fat_copy(self):
        r = run(["ls", self.img["infinite-file"], "--json"])
        empty = [i for i in json.loads(r.stdout)["items"] if i["size"] == 0 and i["cluster"] == 0 and not i["dir"]]
        self.assertTrue(empty)
        for item in empty:
            self.assertEqual(item["verdict"], 147, item)

    def test_a_directory_lost_from_fat1_reads_through_fat2(self):
        img = self.img["repair"]
        truth = subprocess.run(["icat", "-r", img, "488"], capture_output=True, check=True).stdout
        r = run(["cat", img, "/fat1_broken/file.txt", "--fat", "2"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, truth[:len(r.stdout)])
        self.assertTrue(r.stdout.startswith(b"This directory first cluster is unallocated only in FAT1"))
        listed = run(["ls", img, "/fat1_broken", "--dir-fat", "2", "--json"])
        self.assertIn("file.txt", [i["name"] for i in json.loads(listed.stdout)["items"]])


if __name__ == "__main__":
    hostile.CLI = sys.argv.pop(1)
    unittest.main()
