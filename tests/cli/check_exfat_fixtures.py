#!/usr/bin/env python3
"""Compares what harrow-cli lists, reads and saves of exFAT volumes (made with mkfs.exfat and
exfat-fuse, see tests/fixtures/make_exfat_fixtures.sh) with their ground truth and The Sleuth
Kit's listing, and checks that no command changes a byte of the image it reads. A few copies are
patched where the tools cannot make the damage: a set checksum that fails, a valid data length
short of the data length.

usage: check_exfat_fixtures.py HARROW_CLI DIR [HARROWD]"""
import calendar
import glob
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest

CLI = None
DIR = None
HARROWD = None
ENV = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")


def run(*args, check=True, env=ENV):
    p = subprocess.run([CLI, *args], capture_output=True, env=env, timeout=600)
    if check and p.returncode != 0:
        raise AssertionError(f"harrow-cli {' '.join(args)} exited {p.returncode}: {p.stderr.decode(errors='replace')}")
    return p


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def file_sha256(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def live_path(path):
    """The path a deleted item's listed path stands for: each '#' the listing added taken off."""
    return "/".join(step[1:] if step.startswith("#") else step for step in path.split("/"))


def listing(image):
    return json.loads(run("ls", image, "-r", "--json").stdout)["items"]


def file_entry(image, name):
    """The byte offset of root file `name`'s File entry; its Stream Extension follows it."""
    with open(image, "rb") as f:
        boot = f.read(512)
        bps, spc = 1 << boot[0x6C], 1 << boot[0x6D]
        at = (struct.unpack_from("<I", boot, 0x58)[0] + (struct.unpack_from("<I", boot, 0x60)[0] - 2) * spc) * bps
        f.seek(at)
        d = f.read(bps * spc)
    units = name.encode("utf-16-le")[:30]
    return at + next(i for i in range(0, len(d), 32) if d[i] == 0x85 and d[i + 66:i + 66 + len(units)] == units)


def set_checksum(entries):
    s = 0
    for b in entries[:2] + entries[4:]:
        s = ((0x8000 if s & 1 else 0) + (s >> 1) + b) & 0xFFFF
    return s


class ExfatFixtures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.truths = {}
        for path in sorted(glob.glob(os.path.join(DIR, "*.truth.json"))):
            with open(path) as f:
                t = json.load(f)
            cls.truths[os.path.join(DIR, t["image"])] = t
        if not cls.truths:
            raise unittest.SkipTest("no exFAT fixtures were built")
        cls.digests = {image: file_sha256(image) for image in cls.truths}
        cls.tmp = tempfile.mkdtemp(prefix="harrow-exfat-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_info(self):
        for image, t in self.truths.items():
            with self.subTest(image=t["image"]):
                info = json.loads(run("info", image, "--json").stdout)
                self.assertEqual(info["file_system"], "exFAT")
                self.assertEqual(info["bytes_per_sector"], t["bytes_per_sector"])
                self.assertEqual(info["bytes_per_cluster"], t["bytes_per_cluster"])
                self.assertEqual(info["boot_sector"], t.get("boot_sector", 0))
                self.assertEqual((info["serial"], info["volume_flags"]), (t["serial"], 0))
                if "label" in t:
                    self.assertEqual(info["label"], t["label"])

    def test_listing_matches_the_truth_and_the_sleuth_kit(self):
        for image, t in self.truths.items():
            with self.subTest(image=t["image"]):
                items = listing(image)
                live = {i["path"]: i for i in items if not i["deleted"] and "/#" not in i["path"]}
                self.assertEqual(sorted(live), sorted(e["path"] for e in t["entries"]))
                for e in t["entries"]:
                    self.assertEqual(live[e["path"]]["dir"], e["dir"], e["path"])
                    if not e["dir"]:
                        self.assertEqual(live[e["path"]]["size"], e["size"], e["path"])
                        self.assertEqual(live[e["path"]]["verdict"], 147, e["path"])
                deleted = sorted(live_path(i["path"]) for i in items if i["deleted"])
                self.assertEqual(deleted, t["tsk_deleted"])

    def test_saved_tree_matches_the_truth(self):
        for image, t in self.truths.items():
            if any("head_sha256" in e for e in t["entries"]):
                continue  # gigabytes: test_a_file_over_4_gib reads its start
            with self.subTest(image=t["image"]):
                to = os.path.join(self.tmp, "save-" + t["image"])
                run("save", image, "/", "-r", "--to", to, "--overwrite", "all")
                for e in t["entries"]:
                    target = os.path.join(to, "root", e["path"][1:])
                    if e["dir"]:
                        self.assertTrue(os.path.isdir(target), e["path"])
                    else:
                        self.assertEqual(file_sha256(target), e["sha256"], e["path"])

    def test_deleted_files_read_back(self):
        for image, t in self.truths.items():
            verdicts = {live_path(i["path"]): i for i in listing(image) if i["deleted"]}
            for d in t["deleted"]:
                with self.subTest(image=t["image"], path=d["path"]):
                    item = verdicts[d["path"]]
                    listed = item["path"]
                    data = run("cat", image, listed).stdout
                    self.assertEqual(len(data), item["size"])
                    if d["kind"] in ("whole", "free"):
                        self.assertEqual(sha256(data), d["sha256"])
                    # Read through free clusters that are not one run, it is a guess, and said so.
                    self.assertEqual(item["verdict"], {"whole": 202, "free": 206}.get(d["kind"], item["verdict"]))

    def test_a_file_over_4_gib(self):
        for image, t in self.truths.items():
            for e in (e for e in t["entries"] if "head_sha256" in e):
                with self.subTest(image=t["image"], path=e["path"]):
                    p = subprocess.Popen([CLI, "cat", image, e["path"]], stdout=subprocess.PIPE, env=ENV)
                    head = p.stdout.read(1 << 20)
                    p.kill()
                    p.wait()
                    self.assertEqual(sha256(head), e["head_sha256"])

    def test_times_are_saved_at_their_recorded_offset(self):
        # exfat-fuse records its times as UTC; the zone the copy is made in must not move them.
        image = os.path.join(DIR, "exfat.img")
        if image not in self.truths:
            self.skipTest("no exfat.img")
        date = {i["path"]: i["date"] for i in listing(image)}["/readme.txt"]
        to = os.path.join(self.tmp, "times")
        run("save", image, "/readme.txt", "--to", to, env=dict(ENV, TZ="Asia/Shanghai"))
        mtime = os.stat(os.path.join(to, "readme.txt")).st_mtime
        listed = calendar.timegm(time.strptime(date, "%Y-%m-%d %H:%M:%S"))
        # The listing shows the two-second DOS time; the 10 ms part adds up to 1.99 s to it.
        self.assertTrue(listed <= mtime < listed + 2, (mtime, listed))

    def test_image_of_the_heap_lists_the_same(self):
        image = os.path.join(DIR, "exfat-c4k.img")
        if image not in self.truths:
            self.skipTest("no exfat-c4k.img")
        clusters = json.loads(run("info", image, "--json").stdout)["clusters"]
        out = os.path.join(self.tmp, "heap.dsk")
        run("image", image, "--clusters", f"2-{clusters + 1}", "--out", out)
        self.assertEqual(listing(out), listing(image))
        self.assertEqual(run("image", image, "--clusters", f"1-{clusters}", "--out", out + "2", check=False).returncode, 2)

    def test_patched_sets(self):
        image = os.path.join(DIR, "exfat.img")
        if image not in self.truths:
            self.skipTest("no exfat.img")
        truth = {e["path"]: e for e in self.truths[image]["entries"]}
        file_at = file_entry(image, "readme.txt")

        # Bytes past the valid data length were never written: they read as zeros.
        short = os.path.join(self.tmp, "valid.img")
        shutil.copyfile(image, short)
        with open(short, "r+b") as f:
            f.seek(file_at)
            entries = bytearray(f.read(96))
            struct.pack_into("<Q", entries, 32 + 8, 1000)
            struct.pack_into("<H", entries, 2, set_checksum(entries))
            f.seek(file_at)
            f.write(entries)
        data = run("cat", short, "/README.TXT").stdout  # names compare through the up-case table
        self.assertEqual(len(data), truth["/readme.txt"]["size"])
        self.assertEqual(data[1000:], bytes(len(data) - 1000))
        self.assertNotEqual(sha256(data), truth["/readme.txt"]["sha256"])

        # A set whose checksum fails is left out, and said.
        bad = os.path.join(self.tmp, "checksum.img")
        shutil.copyfile(image, bad)
        with open(bad, "r+b") as f:
            f.seek(file_at + 32 + 8)
            f.write(b"\x01")
        p = run("ls", bad, "--json", check=False)
        names = [i["name"] for i in json.loads(p.stdout)["items"]]
        self.assertNotIn("readme.txt", names)
        self.assertIn("tail.txt", names)
        self.assertIn(b"1 entries that cannot be files were skipped", p.stderr)

        # A boot region whose checksum fails gives way to the backup, though its boot sector reads.
        region = os.path.join(self.tmp, "region.img")
        shutil.copyfile(image, region)
        with open(region, "r+b") as f:
            f.seek(512 + 100)
            f.write(b"\xAA")
        self.assertEqual(json.loads(run("info", region, "--json").stdout)["boot_sector"], 12)

    def test_scan_finds_every_directory_and_names_the_lost_ones(self):
        image = os.path.join(DIR, "exfat.img")
        if image not in self.truths:
            self.skipTest("no exfat.img")
        found = json.loads(run("scan", image, "--list", "all-dirs", "--json").stdout)["items"]
        live = {os.path.basename(e["path"]) for e in self.truths[image]["entries"] if e["dir"]}
        # Every directory once, by its name: the later clusters of a large one are no directories.
        self.assertEqual(sorted(i["name"] for i in found), sorted(live | {"\\", "#Removed", "#Inner"}))
        removed = next(i for i in found if i["name"] == "#Removed")
        lost = json.loads(run("scan", image, "--list", "lost", "--json").stdout)["items"]
        self.assertEqual([(i["name"], i["parent_cluster"]) for i in lost], [("#Inner", removed["cluster"])])
        inner = run("ls", image, f"@{lost[0]['cluster']}").stdout.decode()
        self.assertIn("#b.txt", inner)

    def test_a_remote_drive_reads_as_the_local_one(self):
        image = os.path.join(DIR, "exfat-c4k.img")
        if not HARROWD or image not in self.truths:
            self.skipTest("no harrowd or no exfat-c4k.img")
        password = os.path.join(self.tmp, "password")
        with open(password, "w") as f:
            f.write("exfat-remote\n")
        os.chmod(password, 0o600)  # harrowd refuses one others may read
        server = subprocess.Popen([HARROWD, "--headless", "--bind", "127.0.0.1", "--port", "0", "--password-file",
                                   password, "--log", os.path.join(self.tmp, "harrowd.log"), "--drive", f"X={image}"],
                                  stderr=subprocess.PIPE, env=ENV)
        try:
            port = int(server.stderr.readline().decode().rsplit(":", 1)[1])
            env = dict(ENV, HARROW_PASSWORD="exfat-remote")
            for args in (["ls", "{}", "-r", "--json"], ["info", "{}", "--json"], ["cat", "{}", "/a.bin"], ["scan", "{}"]):
                here = run(*[a.format(image) for a in args])
                there = run(*[a.format(f"harrowd://127.0.0.1:{port}/X") for a in args], env=env)
                if "--json" in args:
                    self.assertEqual({**json.loads(there.stdout), "source": None},
                                     {**json.loads(here.stdout), "source": None}, args)
                else:
                    self.assertEqual(there.stdout, here.stdout, args)
        finally:
            server.terminate()
            server.wait(timeout=60)
            server.stderr.close()

    def test_no_command_changes_the_image(self):
        for image in self.truths:
            run("ls", image, "-r")
            run("scan", image)
        for image, digest in self.digests.items():
            self.assertEqual(file_sha256(image), digest, image)


if __name__ == "__main__":
    CLI, DIR = sys.argv[1], sys.argv[2]
    HARROWD = sys.argv[3] if len(sys.argv) > 3 else None
    unittest.main(argv=sys.argv[:1], verbosity=2)
