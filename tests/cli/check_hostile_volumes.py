#!/usr/bin/env python3
"""harrow-cli on volumes whose boot sector claims more than the file holds, and on volumes cut
short: each must be answered within the limits, a geometry that cannot fit must be refused, and a
root that cannot be read must be said and fail the command, the scan too. The scan stops where the
source ends, and reaches every run of an MFT that grew below its first.

usage: check_hostile_volumes.py HARROW_CLI"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest

import hostile

UNRECOGNISED = b"Unrecognised file format"
ROOT_UNREADABLE = b"The root directory cannot be read"
INDEX_DAMAGED = b"The directory index of file record 5 is damaged"
FILES = {"A.TXT": b"a" * 5000, "DIR/B.TXT": b"b" * 100, "BIG.BIN": bytes(range(256)) * 4096}


def fat_end(path):
    """Where the FAT copies of a FAT volume end: its fixed root or first data cluster."""
    with open(path, "rb") as f:
        b = f.read(512)
    bps, reserved, fats = struct.unpack_from("<H", b, 0x0B)[0], struct.unpack_from("<H", b, 0x0E)[0], b[0x10]
    spf = struct.unpack_from("<H", b, 0x16)[0] or struct.unpack_from("<I", b, 0x24)[0]
    return (reserved + fats * spf) * bps


def info(path):
    p = hostile.run(["info", path, "--json"])
    return p, json.loads(p.stdout) if p.returncode == 0 else None


class Geometry(unittest.TestCase):
    def test_claims_beyond_the_file_are_bounded_or_refused(self):
        with hostile.Scratch() as d:
            clean = hostile.mkfat(os.path.join(d, "clean.img"), 64, 32)
            clusters = info(clean)[1]["clusters"]

            # More sectors than the FAT can name clusters for: the FAT and the file bound the count.
            total = hostile.mkfat(os.path.join(d, "total.img"), 64, 32)
            hostile.patch(total, 0x20, struct.pack("<I", 0xFFFFFFFF))
            p, j = info(total)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(j["clusters"], clusters)

            # FATs of 5 GiB each in a file of 64 MiB cannot be the file's; nor can its backup boot
            # sector's, damaged the same way (an intact one would be used instead).
            fats = hostile.mkfat(os.path.join(d, "fats.img"), 64, 32)
            for boot in (0, 6 * 512):
                hostile.patch(fats, boot + 0x20, struct.pack("<I", 0xFFFFFFFF))
                hostile.patch(fats, boot + 0x24, struct.pack("<I", 0x00A00000))
            p, _ = info(fats)
            self.assertEqual(p.returncode, 2)
            self.assertIn(UNRECOGNISED, p.stderr)

            # The same FATs fit a sparse file of 12 GiB, which holds at most the clusters after them;
            # only the entries of those are read.
            with open(fats, "r+b") as f:
                f.truncate(12 << 30)
            data_sectors = (12 << 30) // 512 - 32 - 2 * 0x00A00000
            p, j = info(fats)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(j["clusters"], data_sectors + 2)
            ls = hostile.run(["ls", fats, "-r"], cpu_seconds=10, memory=256 << 20)
            self.assertEqual(ls.returncode, 0, ls.stderr)


    def test_an_image_file_is_held_to_the_file(self):
        with hostile.Scratch() as d:
            volume = hostile.mkfat(os.path.join(d, "v.img"), 16, 16, FILES)
            dsk = os.path.join(d, "v.dsk")
            self.assertEqual(hostile.run(["image", volume, "--clusters", "2-100", "--out", dsk]).returncode, 0)
            # Header fields: (offset, format, value); the DriveInfo begins at 32. The count of
            # clusters follows from the total: reserved 4, two FATs, 32 sectors of root.
            for what, fields, said in [
                ("FATs of 2 GiB", [(32 + 74, "<I", 0x400000), (32 + 70, "<I", 0xFFFFFFFF),
                                   (32 + 118, "<Q", (0xFFFFFFFF - 4 - 2 * 0x400000 - 32) // 4)], b"header"),
                ("no system area", [(166, "<I", 0)], b"system area"),
            ]:
                with self.subTest(what):
                    bad = os.path.join(d, "bad.dsk")
                    shutil.copyfile(dsk, bad)
                    for offset, fmt, value in fields:
                        hostile.patch(bad, offset, struct.pack(fmt, value))
                    p = hostile.run(["ls", bad, "-r"], cpu_seconds=5, memory=256 << 20)
                    self.assertEqual(p.returncode, 2, p.stderr)
                    self.assertIn(said, p.stderr)


class CutShort(unittest.TestCase):
    def check_root_unreadable(self, image, said):
        with self.subTest(image=os.path.basename(image), size=os.path.getsize(image)):
            p, _ = info(image)
            self.assertEqual(p.returncode, 0, p.stderr)
            ls = hostile.run(["ls", image, "-r"])
            self.assertEqual(ls.returncode, 1, ls.stderr)
            self.assertIn(said, ls.stderr)
            save = hostile.run(["save", image, "/", "-r", "--to", image + ".out"])
            self.assertEqual(save.returncode, 1, save.stderr)
            self.assertIn(said, save.stderr)
            scan = hostile.run(["scan", image, "--on-read-error", "continue"])
            self.assertEqual(scan.returncode, 1, scan.stderr)
            self.assertIn(said, scan.stderr)

    def test_a_scan_stops_where_the_source_ends_and_says_so_once(self):
        with hostile.Scratch() as d:
            ntfs = os.path.join(d, "ntfs.img")
            with open(ntfs, "wb") as f:
                f.truncate(16 << 20)
            subprocess.run(["mkntfs", "-F", "-Q", "-s", "512", "-c", "4096", ntfs], check=True, capture_output=True)
            hostile.patch(ntfs, 0x28, struct.pack("<Q", 1 << 34))  # total sectors: 8 TiB
            volume = hostile.mkfat(os.path.join(d, "fat32.img"), 64, 32, FILES)
            dsk = os.path.join(d, "fat32.dsk")
            self.assertEqual(hostile.run(["image", volume, "--clusters", "2-300", "--out", dsk]).returncode, 0)
            hostile.patch(dsk, 178, struct.pack("<I", 0xFFFFFFFF))  # the last saved cluster
            for source in (ntfs, dsk):
                with self.subTest(source=os.path.basename(source)):
                    p = hostile.run(["scan", source, "--on-read-error", "continue"], cpu_seconds=5)
                    self.assertEqual(p.returncode, 1, p.stderr)
                    said = p.stderr.splitlines()
                    self.assertEqual(len(said), 1, said[:3])
                    self.assertIn(b"the source ends before the volume does", said[0])

    def test_a_volume_cut_short_lists_what_it_holds_and_says_what_it_cannot_read(self):
        with hostile.Scratch() as d:
            # Cut after its directories, inside the last and largest file (mtools writes in order):
            # everything lists as before, and only that file fails.
            image = hostile.mkfat(os.path.join(d, "partial.img"), 64, 32, FILES)
            clusters = info(image)[1]["clusters"]
            listed = hostile.run(["ls", image, "-r"])
            os.truncate(image, fat_end(image) + 512 * 1024)
            p, j = info(image)
            self.assertEqual(p.returncode, 0, p.stderr)
            self.assertEqual(j["clusters"], clusters)  # the volume's, though the file holds fewer
            ls = hostile.run(["ls", image, "-r"])
            self.assertEqual(ls.returncode, 0, ls.stderr)
            self.assertEqual(ls.stdout, listed.stdout)
            save = hostile.run(["save", image, "/A.TXT", "/BIG.BIN", "--to", os.path.join(d, "out")])
            self.assertEqual(save.returncode, 1)
            with open(os.path.join(d, "out", "A.TXT"), "rb") as f:
                self.assertEqual(f.read(), FILES["A.TXT"])
            self.assertIn(b"Cannot read BIG.BIN", save.stderr)
            self.assertNotIn(ROOT_UNREADABLE, save.stderr)

            # Cut before the root: the FAT16 root follows the FATs, the FAT32 root is the first
            # data cluster.
            for bits in (16, 32):
                image = hostile.mkfat(os.path.join(d, f"fat{bits}.img"), 64, bits, FILES)
                os.truncate(image, fat_end(image))
                self.check_root_unreadable(image, ROOT_UNREADABLE)
            # Whole, but with a FAT32 root that lies past the end: every cluster the scan reads
            # can be read, and the scan still fails for the root it could not list.
            image = hostile.mkfat(os.path.join(d, "far-root.img"), 64, 32, FILES)
            hostile.patch(image, 0x2C, struct.pack("<I", 0x0FFFFF00))
            self.check_root_unreadable(image, ROOT_UNREADABLE)

            ntfs = os.path.join(d, "ntfs.img")
            with open(ntfs, "wb") as f:
                f.truncate(16 << 20)
            subprocess.run(["mkntfs", "-F", "-Q", "-s", "512", "-c", "4096", ntfs], check=True, capture_output=True)
            with open(ntfs, "rb") as f:
                whole = f.read()
            mft = struct.unpack_from("<Q", whole, 0x30)[0] * whole[0x0D] * 512
            index = whole.find(b"INDX")
            self.assertGreater(index, mft)
            # Cut inside the root's index, then before the MFT.
            os.truncate(ntfs, index)
            self.check_root_unreadable(ntfs, INDEX_DAMAGED)
            os.truncate(ntfs, mft)
            self.check_root_unreadable(ntfs, ROOT_UNREADABLE)


# A volume of 512-byte clusters, filled through ntfs-3g until only the clusters between $Boot and
# the MFT are free; then the MFT must grow into them, below its first run. Of the files whose
# records land there, two are deleted.
FRAGMENT_MFT = r"""
set -euo pipefail
. "$1"
img=$2 mnt=$3
truncate -s 4M "$img"
mkntfs -F -Q -T -s 512 -c 512 -p 0 -H 0 -S 0 "$img" > /dev/null
ntfs3g_mount "$img" "$mnt" "$mnt.log" "" || { ntfs3g_last_word "$mnt.log" >&2; exit 1; }
head -c 16M /dev/zero > "$mnt/fill" 2> /dev/null || true
# What ntfs-3g gives last is the low free space: give it back.
truncate -s $(($(stat -c %s "$mnt/fill") - 4096)) "$mnt/fill"
for i in $(seq 1 40); do echo "record $i" > "$mnt/f$i.txt" 2> /dev/null || break; done
rm -f "$mnt/f12.txt" "$mnt/f16.txt"
ntfs3g_unmount
"""


class FragmentedMft(unittest.TestCase):
    def test_the_scan_finds_the_records_of_every_run_of_the_mft(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "ntfs3g.sh")
        why = subprocess.run(["bash", "-c", '. "$1"; ntfs3g_unusable', "-", script], capture_output=True, text=True)
        if why.returncode == 0:
            self.skipTest(why.stdout.strip())
        with hostile.Scratch() as d:
            image = os.path.join(d, "fragmented.img")
            subprocess.run(["bash", "-c", FRAGMENT_MFT, "-", script, image, os.path.join(d, "mnt")], check=True,
                           capture_output=True)
            p = hostile.run(["scan", image, "--list", "all-files", "--json"])
            self.assertEqual(p.returncode, 0, p.stderr)
            found = {int(i["name"][1:-4]): i["deleted"] for i in json.loads(p.stdout)["items"]
                     if re.fullmatch(r"f\d+\.txt", i["name"])}
            # Every file made, the live ones and the two deleted, whichever run holds its record.
            self.assertGreaterEqual(len(found), 16)
            self.assertEqual(found, {n: n in (12, 16) for n in range(1, len(found) + 1)})


if __name__ == "__main__":
    hostile.CLI = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
