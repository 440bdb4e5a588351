#!/usr/bin/env python3
"""Whole-disk images with partition tables made by sfdisk (MBR with an extended partition, and
GPT), their partitions formatted by mkfs.fat, mkntfs and mkfs.exfat: the drive table lists each
FAT, NTFS and exFAT partition with its file system and size, PATH@N opens partition N for every
command, and reads stay inside the partition.

usage: check_partitions.py HARROW_CLI"""
import json
import os
import shutil
import subprocess
import sys
import unittest

import hostile
from hostile import mkfat, run

MIB = 1 << 20
FILES = {"HELLO.TXT": b"hello from a partition\n" * 50, "DIR/INNER.BIN": bytes(range(256)) * 40}


def ok(args, **kw):
    p = run(args, **kw)
    if p.returncode != 0:
        raise AssertionError(f"harrow-cli {' '.join(args)} exited {p.returncode}: {p.stderr.decode(errors='replace')}")
    return p


def mkntfs(path, mib, first_sector):
    with open(path, "wb") as f:
        f.truncate(mib * MIB)
    subprocess.run(["mkntfs", "-F", "-Q", "-T", "-s", "512", "-p", str(first_sector), "-H", "0", "-S", "0", path],
                   check=True, capture_output=True)


def make_disk(path, label, parts):
    """A disk of 96 MiB whose table (sfdisk, LABEL dos or gpt) holds PARTS: (start MiB, size MiB,
    type, volume file or None); each volume file is copied to its partition."""
    with open(path, "wb") as f:
        f.truncate(96 * MIB)
    script = "label: %s\n" % label + "".join("start=%dMiB, size=%dMiB, type=%s\n" % (s, n, t) for s, n, t, _ in parts)
    subprocess.run(["sfdisk", "--no-reread", "--no-tell-kernel", path], input=script.encode(), check=True,
                   capture_output=True)
    with open(path, "r+b") as disk:
        for start, _, _, volume in parts:
            if volume:
                with open(volume, "rb") as v:
                    disk.seek(start * MIB)
                    disk.write(v.read())


class Partitions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [t for t in ("sfdisk", "mkfs.fat", "mcopy", "mkntfs") if not shutil.which(t)]
        if missing:
            raise unittest.SkipTest("missing: " + " ".join(missing))
        cls.scratch = hostile.Scratch()
        d = cls.d = cls.scratch.__enter__()
        cls.fat16 = mkfat(os.path.join(d, "p-fat16.img"), 16, bits=16, files=FILES)
        cls.fat32 = mkfat(os.path.join(d, "p-fat32.img"), 40, bits=32, files={"ONLY32.TXT": b"thirty-two\n"},
                          cluster_sectors=1)
        # Claims 16 MiB but gets a partition of 8: what lies past it belongs to the next one.
        cls.big = mkfat(os.path.join(d, "p-big.img"), 16, bits=16, files=FILES)
        # MBR: primary FAT16, an extended partition holding FAT32 and NTFS, a Linux partition.
        mkntfs(os.path.join(d, "p-ntfs-mbr.img"), 10, 80 * 2048 + 2048)
        cls.mbr = os.path.join(d, "mbr.img")
        make_disk(cls.mbr, "dos", [(1, 16, "6", cls.fat16), (18, 76, "5", None), (19, 40, "c", cls.fat32),
                                   (80 + 1, 10, "7", os.path.join(d, "p-ntfs-mbr.img"))])
        # sfdisk numbers the logical partitions 5 and 6; the Linux one stays without a volume.
        mkntfs(os.path.join(d, "p-ntfs-gpt.img"), 12, 46 * 2048)
        cls.gpt = os.path.join(d, "gpt.img")
        make_disk(cls.gpt, "gpt", [(1, 8, "L", None), (20, 8, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", cls.big),
                                   (28, 16, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", cls.fat16),
                                   (46, 12, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", os.path.join(d, "p-ntfs-gpt.img"))])

    @classmethod
    def tearDownClass(cls):
        cls.scratch.__exit__(None, None, None)

    def drives(self, disk):
        """What the drive table says of DISK given as X: the partitions, the first under X."""
        listed = json.loads(ok(["--drive", "X=" + disk, "drives", "--json"]).stdout)["drives"]
        parts = sorted((d["partition"], d["file_system"], d["size"], d["letter"]) for d in listed if d["path"] == disk)
        self.assertEqual(parts[0][3], "X:")
        return [p[:3] for p in parts]

    def test_the_drive_table_offers_each_fat_and_ntfs_partition(self):
        self.assertEqual(self.drives(self.mbr), [(1, "FAT16", 16 * MIB), (5, "FAT32", 40 * MIB), (6, "NTFS", 10 * MIB)])
        self.assertEqual(self.drives(self.gpt), [(2, "FAT16", 8 * MIB), (3, "FAT16", 16 * MIB), (4, "NTFS", 12 * MIB)])
        text = ok(["--drive", "X=" + self.mbr + "@5", "drives"]).stdout.decode()
        self.assertIn("X:  3                    %s@5  FAT32  %d bytes" % (self.mbr, 40 * MIB), text)

    def test_every_command_reads_a_partition_as_its_volume(self):
        for disk, n, volume in [(self.mbr, 1, self.fat16), (self.mbr, 5, self.fat32), (self.gpt, 3, self.fat16)]:
            with self.subTest(disk=os.path.basename(disk), partition=n):
                source = "%s@%d" % (disk, n)
                listing = lambda src: json.loads(ok(["ls", src, "-r", "--json"]).stdout)["items"]
                self.assertEqual(listing(source), listing(volume))
                self.assertEqual(json.loads(ok(["scan", source, "--json"]).stdout)["items"],
                                 json.loads(ok(["scan", volume, "--json"]).stdout)["items"])
                name, data = next(iter(FILES.items())) if volume == self.fat16 else ("ONLY32.TXT", b"thirty-two\n")
                self.assertEqual(ok(["cat", source, "/" + name]).stdout, data)
                out = os.path.join(self.d, "saved-%d" % n)
                ok(["save", source, "/" + name, "--to", out])
                with open(os.path.join(out, name), "rb") as f:
                    self.assertEqual(f.read(), data)
                info = json.loads(ok(["info", source, "--json"]).stdout)
                dsk = os.path.join(self.d, "part-%d.dsk" % n)
                last = info["clusters"] - 1 if info["file_system"] == "FAT32" else info["clusters"] + 1
                ok(["image", source, "--clusters", "2-%d" % last, "--out", dsk])
                self.assertEqual(listing(dsk), listing(volume))
        for disk, n in [(self.mbr, 6), (self.gpt, 4)]:
            info = json.loads(ok(["info", "%s@%d" % (disk, n), "--json"]).stdout)
            self.assertEqual((info["file_system"], info["bytes_per_sector"]), ("NTFS", 512))
            ok(["ls", "%s@%d" % (disk, n)])

    def test_reads_stay_inside_the_partition(self):
        # The volume says 16 MiB, its partition holds 8: its first files read, but the scan
        # cannot read past the partition into the FAT16 volume of partition 3 behind it. It stops
        # where the partition ends and says so once.
        source = self.gpt + "@2"
        self.assertEqual(ok(["cat", source, "/HELLO.TXT"]).stdout, FILES["HELLO.TXT"])
        p = run(["scan", source, "--on-read-error", "continue", "--json"])
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr.count(b"the source ends before the volume does"), 1, p.stderr)
        self.assertNotIn(b"Cannot read cluster", p.stderr)
        clusters = [i["cluster"] for i in json.loads(p.stdout)["items"]]
        self.assertEqual(len(clusters), 1)  # DIR, and nothing of the volume behind

    @unittest.skipUnless(shutil.which("mkfs.exfat"), "needs mkfs.exfat (exfatprogs)")
    def test_exfat_is_named_and_read(self):
        volume, disk = os.path.join(self.d, "exfat.img"), os.path.join(self.d, "exfat-disk.img")
        with open(volume, "wb") as f:
            f.truncate(16 * MIB)
        subprocess.run(["mkfs.exfat", "-L", "PART1", volume], check=True, capture_output=True)
        make_disk(disk, "dos", [(1, 16, "7", volume), (20, 16, "6", self.fat16)])
        self.assertEqual(self.drives(disk), [(1, "exFAT", 16 * MIB), (2, "FAT16", 16 * MIB)])
        listed = json.loads(ok(["--drive", "Y=" + volume, "drives", "--json"]).stdout)["drives"]
        self.assertEqual([e["file_system"] for e in listed if e["letter"] == "Y:"], ["exFAT"])
        for source in (volume, disk + "@1"):
            info = json.loads(ok(["info", source, "--json"]).stdout)
            self.assertEqual((info["file_system"], info["label"]), ("exFAT", "PART1"), source)
            self.assertEqual(json.loads(ok(["ls", source, "--json"]).stdout)["items"], [], source)

    def test_a_disk_cut_short_keeps_what_it_holds_of_its_last_partition(self):
        # MBR and GPT alike: the partition the cut runs through is listed at the size the disk
        # still holds, and reads as the volume as far as it goes; those after the cut are gone.
        for disk, cut_mib, n, kept in [(self.mbr, 12, 1, [(1, "FAT16", 11 * MIB)]),
                                      (self.gpt, 40, 3, [(2, "FAT16", 8 * MIB), (3, "FAT16", 12 * MIB)])]:
            with self.subTest(disk=os.path.basename(disk)):
                cut = os.path.join(self.d, "cut-" + os.path.basename(disk))
                shutil.copyfile(disk, cut)
                os.truncate(cut, cut_mib * MIB)
                self.assertEqual(self.drives(cut), kept)
                source = "%s@%d" % (cut, n)
                self.assertEqual(json.loads(ok(["ls", source, "-r", "--json"]).stdout)["items"],
                                 json.loads(ok(["ls", self.fat16, "-r", "--json"]).stdout)["items"])
                self.assertEqual(ok(["cat", source, "/HELLO.TXT"]).stdout, FILES["HELLO.TXT"])

    def test_sources_that_name_no_partition(self):
        for source, said in [(self.mbr + "@3", b"has no partition 3 (it has 1, 5, 6)"),
                             (self.mbr + "@9", b"has no partition 9"),
                             (self.fat16 + "@1", b"holds no partition table")]:
            p = run(["ls", source])
            self.assertEqual(p.returncode, 2, source)
            self.assertIn(said, p.stderr)
        # Every command names the partitions to use instead, and never calls the disk damaged.
        said = ("%s: a partitioned disk: use %s@2 (FAT16, 8 MiB), %s@3 (FAT16, 16 MiB) or %s@4 (NTFS, 12 MiB)"
                % ((self.gpt,) * 4)).encode()
        for command in (["ls", self.gpt], ["info", self.gpt], ["scan", self.gpt], ["cat", self.gpt, "/HELLO.TXT"]):
            p = run(command)
            self.assertEqual(p.returncode, 2, command)
            self.assertIn(said, p.stderr)
            self.assertNotIn(b"Unrecognised", p.stderr)
        # The disk's last sector is its NTFS partition's backup boot sector: that describes the
        # partition, not the disk.
        mkntfs(os.path.join(self.d, "p-ntfs-end.img"), 95, 2048)
        disk = os.path.join(self.d, "ntfs-to-the-end.img")
        make_disk(disk, "dos", [(1, 95, "7", os.path.join(self.d, "p-ntfs-end.img"))])
        p = run(["ls", disk])
        self.assertEqual(p.returncode, 2)
        self.assertIn(("%s: a partitioned disk: use %s@1 (NTFS, 95 MiB)" % (disk, disk)).encode(), p.stderr)
        self.assertEqual(self.drives(disk), [(1, "NTFS", 95 * MIB)])


if __name__ == "__main__":
    hostile.CLI = sys.argv[1]
    unittest.main(argv=[sys.argv[0], "-v"])
