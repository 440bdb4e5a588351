#!/usr/bin/env python3
"""Volumes whose first sector is gone are read through their backup boot sector, and say so:
FAT32 (sector 6, or the one the BPB names) made by mkfs.fat on sectors of 512 to 4096 bytes, NTFS
formatted by Windows and by mkntfs on 4096-byte sectors (the volume's last sector); the drive
table names such a volume's file system where it lists the partitions of a disk. And a type
string that a repair tool rewrote does not make FAT16 of FAT12 or the other way round.

usage: check_backup_boot_sector.py HARROW_CLI"""
import gzip
import json
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_partitions  # noqa: E402
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

    def test_fat32_from_sector_6_on_every_sector_size(self):
        # mtools takes a FAT32 volume of fewer than 65525 clusters for FAT16: hence the sizes.
        for size, mib in [(512, 40), (2048, 150), (4096, 300)]:
            with self.subTest(sector_size=size), Scratch() as d:
                img = mkfat(os.path.join(d, "fat32.img"), mib, bits=32, cluster_sectors=1, sector_size=size,
                            files={"DOCS/report.txt": b"kept\n" * 3000})
                patch(img, 0, bytes(size))
                self.check_volume(img, 6, "/DOCS/report.txt", b"kept\n" * 3000)
                self.assertEqual(json.loads(run(["info", img, "--json"]).stdout)["bytes_per_sector"], size)

    def test_fat32_from_the_sector_its_bpb_names(self):
        with Scratch() as d:
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

    @unittest.skipUnless(shutil.which("mkntfs") and shutil.which("ntfscp"), "needs mkntfs and ntfscp")
    def test_ntfs_on_4096_byte_sectors_from_its_last_sector(self):
        with Scratch() as d:
            img, src = os.path.join(d, "ntfs4k.img"), os.path.join(d, "note.txt")
            with open(img, "wb") as f:
                f.truncate(64 << 20)
            subprocess.run(["mkntfs", "-F", "-Q", "-s", "4096", "-p", "0", "-H", "0", "-S", "0", img], check=True,
                           capture_output=True)
            with open(src, "wb") as f:
                f.write(b"four k sectors\n" * 700)
            subprocess.run(["ntfscp", img, src, "note.txt"], check=True, capture_output=True)
            patch(img, 0, bytes(4096))
            self.check_volume(img, (64 << 20) // 4096 - 1, "/note.txt", b"four k sectors\n" * 700)

    @unittest.skipUnless(shutil.which("sfdisk") and shutil.which("mkntfs"), "needs sfdisk and mkntfs")
    def test_the_drive_table_lists_partitions_read_through_their_backup(self):
        with Scratch() as d:
            fat32 = mkfat(os.path.join(d, "p-fat32.img"), 40, bits=32, files={"A.TXT": b"in partition one"})
            ntfs = os.path.join(d, "p-ntfs.img")
            check_partitions.mkntfs(ntfs, 10, 48 * 2048)
            disk = os.path.join(d, "disk.img")
            check_partitions.make_disk(disk, "dos", [(1, 40, "c", fat32), (48, 10, "7", ntfs)])
            for start in (1, 48):
                patch(disk, start << 20, bytes(512))
            listed = json.loads(run(["--drive", "X=" + disk, "drives", "--json"]).stdout)["drives"]
            self.assertEqual(sorted((e["partition"], e["file_system"]) for e in listed if e["path"] == disk),
                             [(1, "FAT32"), (2, "NTFS")])
            self.assertEqual(run(["cat", disk + "@1", "/A.TXT"]).stdout, b"in partition one")

    def test_fat12_or_fat16_by_the_cluster_count_whatever_the_type_string(self):
        for bits, mib in [(12, 2), (16, 16)]:
            with Scratch() as d:
                img = mkfat(os.path.join(d, "fat.img"), mib, bits=bits, files={"DIR/F.TXT": b"twelve or sixteen" * 300})
                for text in [b"        ", b"FAT12   ", b"FAT16   ", b"MSDOS5.0"]:
                    with self.subTest(bits=bits, type_string=text):
                        patch(img, 0x36, text)
                        info = json.loads(run(["info", img, "--json"]).stdout)
                        self.assertEqual(info["file_system"], "FAT%d" % bits)
                        self.assertEqual(run(["cat", img, "/DIR/F.TXT"]).stdout, b"twelve or sixteen" * 300)

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
