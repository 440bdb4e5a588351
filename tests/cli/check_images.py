#!/usr/bin/env python3
"""Writes image files of the fixture volumes with `harrow-cli image` and checks that they open
again with every command: the same listing, scan and bytes as the volume for everything inside
the saved range and the system area, zeros outside it, and the file laid out byte for byte as
its readers expect. The volumes themselves must not change.

usage: check_images.py HARROW_CLI fat FAT_DIR
       check_images.py HARROW_CLI ntfs NTFS_DIR"""
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

CLI = None
MODE = None
DIRS = []
ENV = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")


def run(*args, check=True):
    p = subprocess.run([CLI, *args], capture_output=True, env=ENV, timeout=600)
    if check and p.returncode != 0:
        raise AssertionError(f"harrow-cli {' '.join(args)} exited {p.returncode}: {p.stderr.decode(errors='replace')}")
    return p


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def items(*args):
    """The items of a --json listing, without what names the source."""
    return json.loads(run(*args, "--json").stdout)["items"]


class Images(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.digests = {}

    @classmethod
    def tearDownClass(cls):
        for path, d in cls.digests.items():
            if digest(path) != d:
                raise AssertionError(f"{path} changed while an image was made of it")
        cls.work.cleanup()

    def image(self, volume, first, last, *options):
        self.digests.setdefault(volume, digest(volume))
        out = os.path.join(self.work.name, "%s-%d-%d.dsk" % (os.path.basename(volume), first, last))
        run("image", volume, "--clusters", "%d-%d" % (first, last), "--out", out, *options)
        return out

    def same_everywhere(self, volume, dsk, files):
        """info, ls -r and scan agree; every file of `files` (path, bytes) reads the same."""
        self.assertEqual(json.loads(run("info", dsk, "--json").stdout), json.loads(run("info", volume, "--json").stdout))
        self.assertEqual(items("ls", dsk, "-r"), items("ls", volume, "-r"))
        self.assertEqual(items("scan", dsk), items("scan", volume))
        for path, content in files:
            self.assertEqual(run("cat", dsk, path).stdout, content, path)
        path, content = files[0]
        saved = os.path.join(self.work.name, "saved-" + os.path.basename(dsk))
        run("save", dsk, path, "--to", saved)
        with open(os.path.join(saved, path.rsplit("/", 1)[1]), "rb") as f:
            self.assertEqual(f.read(), content)


class FatImages(Images):
    def truth(self, name):
        with open(os.path.join(DIRS[0], name + ".truth.json")) as f:
            return json.load(f)

    def files(self, t, keep=lambda e: True):
        out = []
        for e in t["entries"]:
            if not e["dir"] and not e["deleted"] and keep(e):
                with open(os.path.join(DIRS[0], e["content"]), "rb") as f:
                    out.append((e["path"], f.read()))
        return out

    def test_images_of_whole_volumes_read_like_the_volumes(self):
        for name in ["fat12", "fat16", "fat32", "sample"]:
            with self.subTest(image=name):
                t = self.truth(name)
                volume = os.path.join(DIRS[0], t["image"])
                last = t["cluster_count"] + 1  # the truth counts data clusters, from 2
                dsk = self.image(volume, 2, last)
                self.same_everywhere(volume, dsk, self.files(t))
                # One past the last data cluster is refused, and nothing is written.
                p = run("image", volume, "--clusters", "2-%d" % (last + 1), "--out", dsk + ".no", check=False)
                self.assertEqual(p.returncode, 2)
                self.assertIn(b"Invalid range", p.stderr)
                self.assertFalse(os.path.exists(dsk + ".no"))

    def test_a_part_of_a_volume_is_laid_out_as_its_readers_expect(self):
        t = self.truth("fat16")
        volume = os.path.join(DIRS[0], t["image"])
        first, last = 17, 140  # all but the root's files
        dsk = self.image(volume, first, last)
        bps, spc, start = t["bytes_per_sector"], t["sectors_per_cluster"], t["first_data_sector"]
        n = start - t["reserved_sectors"]
        with open(volume, "rb") as f:
            vol = f.read()
        with open(dsk, "rb") as f:
            img = f.read()
        self.assertEqual(len(img), (2 + n + (last - first + 1) * spc) * bps)
        self.assertEqual(img[:32], b"Disk File ver 3.0\x1a" + bytes(14))
        info = img[32:166]
        self.assertEqual(info[:10], b"TESTFAT16\0")
        self.assertEqual(info[50:56], b"FAT16\0")
        self.assertEqual(struct.unpack_from("<HHB", info, 60), (1, bps, spc))
        self.assertEqual(struct.unpack_from("<Q", info, 118)[0], t["cluster_count"])
        self.assertEqual(struct.unpack_from("<IIII", img, 166), (n, 1, first, last))
        self.assertEqual(img[182:bps], bytes(bps - 182))
        self.assertEqual(img[bps:2 * bps], vol[:bps])
        self.assertEqual(img[2 * bps:(2 + n) * bps], vol[t["reserved_sectors"] * bps:start * bps])
        at = (start + (first - 2) * spc) * bps
        self.assertEqual(img[(2 + n) * bps:], vol[at:at + (last - first + 1) * spc * bps])

        # Inside the range a file reads as on the volume, when the directories on its way are
        # inside too; outside, as the zeros the image holds.
        dirs = {e["path"]: e["clusters"] for e in t["entries"] if e["dir"] and not e["deleted"]}
        held = lambda clusters: all(first <= c <= last for c in clusters)
        way = lambda e: [c for p, cs in dirs.items() if e["path"].startswith(p + "/") for c in cs]
        inside = lambda e: e["clusters"] and held(e["clusters"] + way(e))
        outside = lambda e: e["clusters"] and held(way(e)) and not any(first <= c <= last for c in e["clusters"])
        files = self.files(t, inside)
        self.assertTrue(files)
        for path, content in files:
            self.assertEqual(run("cat", dsk, path).stdout, content, path)
        for path, content in self.files(t, outside)[:5]:
            self.assertEqual(run("cat", dsk, path).stdout, bytes(len(content)), path)
        # The scan searches the saved clusters only, and finds there what it finds on the volume.
        found = sorted(i["cluster"] for i in items("scan", volume) if first <= i["cluster"] <= last)
        self.assertTrue(set(d["cluster"] for d in t["lost_dirs"]) <= set(found))
        self.assertEqual(sorted(i["cluster"] for i in items("scan", dsk)), found)

    def test_refusals_write_nothing_and_say_why(self):
        t = self.truth("fat12")
        volume = os.path.join(DIRS[0], t["image"])
        self.digests.setdefault(volume, digest(volume))
        for args, said in [
            (["--clusters", "9-3"], b"Invalid range"),
            (["--clusters", "3"], b"FIRST-LAST"),
            (["--clusters", "3-99999999999"], b"FIRST-LAST"),
            (["--clusters", "2-10", "--out", volume], b"Cannot save on the selected drive"),
            (["--clusters", "2-10", "--out", "/nonexistent/x.dsk"], b"Cannot create"),
        ]:
            with self.subTest(args=args):
                if "--out" not in args:
                    args = args + ["--out", os.path.join(self.work.name, "refused.dsk")]
                p = run("image", volume, *args, check=False)
                self.assertEqual(p.returncode, 2, p.stderr)
                self.assertIn(said, p.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.work.name, "refused.dsk")))


class NtfsImages(Images):
    def volumes(self):
        # Clusters of 512 bytes with a fragmented MFT, 4 KiB, 64 KiB, 2 MiB.
        for name in ["ntfs-c512", "ntfs", "ntfs-c64k", "ntfs-c2m"]:
            path = os.path.join(DIRS[0], name + ".truth.json")
            if os.path.exists(path):
                with open(path) as f:
                    yield DIRS[0], json.load(f)

    def test_images_read_like_the_volumes(self):
        seen = 0
        for d, t in self.volumes():
            with self.subTest(image=t["image"]):
                seen += 1
                volume = os.path.join(d, t["image"])
                first, last = t["mft_cluster"], t["cluster_count"] - 1
                dsk = self.image(volume, first, last)
                files = []
                for e in t["entries"]:
                    if e["dir"] or "content" not in e or (e["path"].startswith("/Big Directory/") and not e["path"].endswith("0.txt")):
                        continue
                    with open(os.path.join(d, e["content"]), "rb") as f:
                        files.append((e["path"], f.read()))
                self.same_everywhere(volume, dsk, files)
        if not seen:
            self.skipTest("no NTFS volumes were made here")


if __name__ == "__main__":
    CLI, MODE, DIRS = sys.argv[1], sys.argv[2], sys.argv[3:]
    chosen = FatImages if MODE == "fat" else NtfsImages
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(chosen)
    sys.exit(0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1)
