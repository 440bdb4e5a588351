#!/usr/bin/env python3
"""Bad sources and bad command lines: each is refused with a message and exit 2, never a hang or
a silent exit; a file-size limit on the target is a full target, not a killed run.

usage: check_hostile_input.py HARROW_CLI"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostile  # noqa: E402
from hostile import Scratch, mkfat, run  # noqa: E402


class BadInput(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.dir = cls.scratch.__enter__()
        cls.fat = mkfat(os.path.join(cls.dir, "fat16.img"), 16, bits=16,
                        files={"DOCS/BIG.BIN": os.urandom(300 * 1024), "A.TXT": b"hello\n"})

    @classmethod
    def tearDownClass(cls):
        cls.scratch.__exit__(None, None, None)

    def refused(self, args, says):
        r = run(args)
        self.assertEqual(r.returncode, 2, (args, r.stderr))
        self.assertIn(says.encode(), r.stderr, args)

    def test_sources_that_are_no_volume(self):
        empty = os.path.join(self.dir, "empty.img")
        open(empty, "wb").close()
        short = os.path.join(self.dir, "short.img")
        with open(short, "wb") as f:
            f.write(os.urandom(100))
        fifo = os.path.join(self.dir, "fifo")
        os.mkfifo(fifo)
        for source in (empty, short):
            self.refused(["info", source], "boot sector")
        # A FIFO would never answer a read: refused before anything opens it.
        for source in (fifo, "/dev/null"):
            self.refused(["info", source], "neither a block device nor a regular file")

    def test_offsets_outside_the_source(self):
        size = os.path.getsize(self.fat)
        self.refused(["--offset", str(size), "info", self.fat], "past the end")
        self.refused(["--offset", str(size + 4096), "ls", self.fat], "past the end")
        for bad in ("-1", str(2 ** 64), "12x"):
            self.refused(["--offset", bad, "info", self.fat], "--offset takes a byte count")

    def test_item_addresses_the_volume_cannot_hold(self):
        for address in ("@0", "@1", "@4294967313", "@999999", "@12abc"):
            r = run(["ls", self.fat, address])
            self.assertEqual(r.returncode, 2, (address, r.stderr))
            self.assertTrue(r.stderr.strip(), address)
        # A cluster the volume has is still an address.
        self.assertEqual(run(["ls", self.fat, "@2"]).returncode, 0)

    def test_unknown_code_page(self):
        self.refused(["--codepage", "bogus", "ls", self.fat], "unknown code page")
        self.assertEqual(run(["--codepage", "CP850", "ls", self.fat]).returncode, 0)

    def test_a_folder_that_cannot_be_made_is_said(self):
        # A file stands where the folder should go (root would write to a read-only folder).
        with Scratch() as target:
            open(os.path.join(target, "DOCS"), "wb").close()
            r = run(["--lang", "en", "save", self.fat, "/DOCS", "--to", target])
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertIn(b"Cannot create", r.stderr)

    def test_file_size_limit_is_a_full_target(self):
        with Scratch() as target:
            r = run(["--lang", "en", "save", self.fat, "/DOCS/BIG.BIN", "--to", target], file_size=64 * 1024)
            self.assertEqual(r.returncode, 1, r.stderr)  # not killed by SIGXFSZ
            self.assertIn(b"Not enough free disk space", r.stderr)


if __name__ == "__main__":
    hostile.CLI = sys.argv.pop(1)
    unittest.main()
