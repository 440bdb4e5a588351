#!/usr/bin/env python3
"""Volumes whose first sector is gone are read through their backup boot sector, and say so:
FAT32 (sector 6, or the one the BPB names) made by mkfs.fat, and an NTFS volume formatted by
Windows (the volume's last sector).

usage: check_backup_boot_sector.py HARROW_CLI"""
import gzip
import json
import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile  # noqa: E402
from hostile import Scratch, mkfat, patch, run  # noqa: E402

SAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "ntfs-samples",
                      "ntfs-lastaccess.raw.gz")
NTFS_FIRST, NTFS_SECTORS = 128, 518144  # the partition of the sample disk


class BackupBootSector(unittest.TestCase):
    def check_volume(self, img, expect_sector, path, content):
        r = run(["ls", img, "-r", "--json"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(path, [i["path"] for i in json.loads(r.stdout)["items"]])
        self.assertEqual(r.stderr.count(b"backup boot sector in sector %d" % expect_sector), 1, r.stderr)
        self.assertEqual(run(["cat", img, path]).stdout, content)
        info = json.loads(run(["info", img, "--json"]).stdout)
        self.assertEqual(info["boot_sector"], expect_sector)

    def test_fat32_from_sector_6_or_the_one_its_bpb_names(self):
        with Scratch() as d:
            img = mkfat(os.path.join(d, "fat32.img"), 40, bits=32, files={"DOCS/report.txt": b"kept\n" * 300})
            patch(img, 0, bytes(512))
            self.check_volume(img, 6, "/DOCS/report.txt", b"kept\n" * 300)
            # The geometry is gone but not the field that says where the backup is.
            img = mkfat(os.path.join(d, "fat32b.img"), 40, bits=32, files={"a.txt": b"named"})
            with open(img, "r+b") as f:
                f.seek(6 * 512)
                backup = f.read(512)
                f.seek(9 * 512)
                f.write(backup)  # a copy where the BPB will point
                f.seek(6 * 512)
                f.write(bytes(512))
            patch(img, 0x32, (9).to_bytes(2, "little"))
            patch(img, 0, bytes(0x30))
            self.check_volume(img, 9, "/a.txt", b"named")

    def test_ntfs_from_the_last_sector(self):
        with Scratch() as d:
            img = os.path.join(d, "ntfs.img")
            with gzip.open(SAMPLE) as src, open(img, "wb") as dst:
                src.seek(NTFS_FIRST * 512)
                left = NTFS_SECTORS * 512
                while left:
                    chunk = src.read(min(left, 1 << 20))
                    dst.write(chunk)
                    left -= len(chunk)
            truth = run(["cat", img, "/test/1.txt"]).stdout
            self.assertTrue(truth)
            patch(img, 0, bytes(512))
            self.check_volume(img, NTFS_SECTORS - 1, "/test/1.txt", truth)

    def test_no_backup_is_said_too(self):
        with Scratch() as d:
            img = mkfat(os.path.join(d, "fat16.img"), 16, bits=16)
            patch(img, 0, bytes(512))
            r = run(["info", img])
            self.assertEqual(r.returncode, 2)
            self.assertTrue(r.stderr.strip())


if __name__ == "__main__":
    hostile.CLI = sys.argv.pop(1)
    unittest.main()
