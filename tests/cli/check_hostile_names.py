#!/usr/bin/env python3
"""Names that cannot be file names, that are longer than Linux takes, or that would forge output:
a tree saved from such a volume comes back whole under names that say what changed, and every
listed path reads back as its item.

usage: check_hostile_names.py HARROW_CLI"""
import json
import os
import sys
import unittest

import hostile
from hostile import Scratch, mkfat, patch, run

LONG = ("a name of two hundred characters " * 7)[:196] + ".txt"
CJK = "日" * 100 + ".txt"  # 304 bytes of UTF-8
NEWLINE = "x\nsaved     /etc/passwd"
OFFSETS = (1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30)


def rename(image, old, new):
    """Writes NEW into the long-name entries mtools made for OLD, checksums left as they are."""
    slots = (len(old) + 12) // 13

    def units(name, n):
        return (name + "\0").ljust(slots * 13, "\uffff")[(n - 1) * 13:n * 13]

    with open(image, "rb") as f:
        data = f.read()
    key = bytes([0x40 | slots]) + units(old, slots)[:5].encode("utf-16-le")
    at = data.find(key)
    assert at >= 0 and at % 32 == 0, old
    for k in range(slots):
        for off, u in zip(OFFSETS, units(new, slots - k)):
            patch(image, at + 32 * k + off, ord(u).to_bytes(2, "little"))


class HostileNames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = Scratch()
        cls.image = os.path.join(cls.scratch.__enter__(), "names.img")
        mkfat(cls.image, 16, bits=16, files={LONG: b"200", "x" * 100 + ".txt": b"cjk", "Top/Dir One/in.txt": b"in",
                                             "Dir Two/sub/deep.txt": b"deep", "newline name.txt": b"nl",
                                             "back slash.txt": b"bs"})
        # mtools writes none of these (nor a name over 255 bytes of UTF-8).
        for old, new in (("x" * 100 + ".txt", CJK), ("Dir One", ".."), ("Dir Two", "a/b"),
                         ("newline name.txt", NEWLINE), ("back slash.txt", "b\\s.txt")):
            rename(cls.image, old, new)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.__exit__(None, None, None)

    def test_save_brings_back_every_file_under_safe_names(self):
        with Scratch() as out:
            p = run(["save", self.image, "/", "-r", "--to", out, "--json"])
            self.assertEqual(p.returncode, 0, p.stderr)
            report = json.loads(p.stdout)
            self.assertEqual((report["saved"], report["failed"]), (6, 0))
            renamed = {i["name"]: i["saved_as"] for i in report["items"] if "saved_as" in i}
            cut = renamed[CJK]
            self.assertTrue(cut.startswith("日" * 80) and cut.endswith(".txt") and len(cut.encode()) <= 255, cut)
            self.assertEqual(renamed, {"..": "_..", "a/b": "a_b", CJK: cut, NEWLINE: "x\nsaved     _etc_passwd"})
            for path, data in ((LONG, b"200"), (cut, b"cjk"), (renamed[NEWLINE], b"nl"), ("b\\s.txt", b"bs"),
                               ("Top/_../in.txt", b"in"), ("a_b/sub/deep.txt", b"deep")):
                with open(os.path.join(out, "root", path), "rb") as f:
                    self.assertEqual(f.read(), data, path)

            # In text, a line per item that no name wrote, and the renames said.
            p = run(["save", self.image, "/", "-r", "--to", out, "--overwrite", "all"])
            lines = p.stdout.decode().splitlines()
            self.assertEqual(len(lines), 8)
            self.assertTrue(all(line.startswith("saved     " + out) for line in lines), lines)
            self.assertIn("x\\nsaved     _etc_passwd  (name on the volume: x\\nsaved     /etc/passwd)", lines[-2])

    def test_bidirectional_controls_are_shown_escaped_and_read_back(self):
        # Each would turn the rest of its line around on a terminal: "a\u202etxt.exe" shows as
        # "aexe.txt".
        controls = "\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
        with Scratch() as d:
            image = os.path.join(d, "bidi.img")
            mkfat(image, 16, bits=16, files={"name %02d.txt" % i: b"%d" % i for i in range(len(controls))})
            for i, c in enumerate(controls):
                rename(image, "name %02d.txt" % i, "a%stxt.%02d" % (c, i))
            shown = run(["ls", image, "-r"]).stdout.decode()
            for i, c in enumerate(controls):
                with self.subTest(control="U+%04X" % ord(c)):
                    escaped = "".join("\\%03o" % b for b in c.encode())
                    path = "/a%stxt.%02d" % (escaped, i)
                    self.assertIn(path, shown)
                    self.assertEqual(run(["cat", image, path]).stdout, b"%d" % i)
            self.assertFalse(set(controls) & set(shown))

    def test_every_listed_path_reads_back_as_its_item(self):
        listed = json.loads(run(["ls", self.image, "-r", "--json"]).stdout)["items"]
        self.assertTrue({LONG, CJK, NEWLINE, "b\\s.txt", "in.txt", "deep.txt"} <= {i["name"] for i in listed})
        for item in listed:
            with self.subTest(path=item["path"]):
                if item["dir"]:
                    self.assertEqual(json.loads(run(["ls", self.image, item["path"], "--json"]).stdout)["path"],
                                     item["path"])
                else:
                    self.assertEqual(len(run(["cat", self.image, item["path"]]).stdout), item["size"])
        # The directory's own ".." and the one merely so named are told apart.
        up = json.loads(run(["ls", self.image, "/Top/..", "--json"]).stdout)["items"]
        self.assertIn(LONG, {i["name"] for i in up})
        self.assertEqual(len(run(["ls", self.image, "-r"]).stdout.decode().splitlines()), len(listed))

    def test_find_prints_lines_that_save_reads_back_as_its_items(self):
        files = [i for i in json.loads(run(["ls", self.image, "-r", "--json"]).stdout)["items"] if not i["dir"]]
        lines = run(["find", self.image, "--type", "f"]).stdout
        self.assertEqual(len(lines.splitlines()), len(files))
        with Scratch() as out:
            with open(os.path.join(out, "list"), "wb") as f:
                f.write(lines)
            p = run(["save", self.image, "--from-list", os.path.join(out, "list"), "--to", os.path.join(out, "to"), "--json"])
            self.assertEqual(p.returncode, 0, p.stderr)
            saved = json.loads(p.stdout)["items"]
            self.assertEqual([i["name"] for i in saved], [i["name"] for i in files])
            self.assertEqual([os.path.getsize(i["target"]) for i in saved], [i["size"] for i in files])


if __name__ == "__main__":
    hostile.CLI = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
