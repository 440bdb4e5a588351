#!/usr/bin/env python3
"""harrow-cli on volumes whose boot sector claims more than the file holds: each must be answered
within the limits, and a geometry that cannot fit must be refused.

usage: check_hostile_volumes.py HARROW_CLI"""
import json
import os
import struct
import sys
import unittest

import hostile

UNRECOGNISED = b"Unrecognised file format"


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

            # FATs of 5 GiB each in a file of 64 MiB cannot be the file's.
            fats = hostile.mkfat(os.path.join(d, "fats.img"), 64, 32)
            hostile.patch(fats, 0x20, struct.pack("<I", 0xFFFFFFFF))
            hostile.patch(fats, 0x24, struct.pack("<I", 0x00A00000))
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


if __name__ == "__main__":
    hostile.CLI = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
