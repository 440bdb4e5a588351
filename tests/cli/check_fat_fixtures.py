#!/usr/bin/env python3
"""Compares what harrow-cli lists and reads on the FAT fixture volumes with their ground truth
(made by mkfs.fat and mtools and checked against The Sleuth Kit), and checks that no command
changes a byte of the image it reads."""
import calendar
import hashlib
import io
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

CLI = None
FIXTURES = None
IMAGES = ["fat12", "fat16", "fat32", "sample"]
ENV = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")


# Runs a command and says its peak resident memory in KiB on the last line of stderr. A process
# counts the memory of the one it was forked from until it execs: forked from this small one,
# not from the test with its truth files loaded.
PEAK_KIB = """import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
sys.stderr.write("%d\\n" % os.wait4(pid, 0)[2].ru_maxrss)
"""


def run(*args, check=True):
    p = subprocess.run([CLI, *args], capture_output=True, env=ENV, timeout=120)
    if check and p.returncode != 0:
        raise AssertionError(f"harrow-cli {' '.join(args)} exited {p.returncode}: {p.stderr.decode(errors='replace')}")
    return p


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class FatFixtures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.truth = {}
        cls.digests = {}
        for name in IMAGES:
            with open(os.path.join(FIXTURES, name + ".truth.json")) as f:
                cls.truth[name] = json.load(f)
            cls.digests[name] = sha256(cls.image(name))

    @staticmethod
    def image(name):
        return os.path.join(FIXTURES, name + ".img")

    def content(self, entry):
        with open(os.path.join(FIXTURES, entry["content"]), "rb") as f:
            return f.read()

    def test_info_matches_the_boot_sector(self):
        for name, t in self.truth.items():
            with self.subTest(image=name):
                info = json.loads(run("info", self.image(name), "--json").stdout)
                self.assertEqual(info["file_system"], t["fs"])
                self.assertEqual(info["bytes_per_sector"], t["bytes_per_sector"])
                self.assertEqual(info["sectors_per_cluster"], t["sectors_per_cluster"])
                data = (t["total_sectors"] - t["first_data_sector"]) // t["sectors_per_cluster"]
                self.assertEqual(info["clusters"], data + 2 if t["fs"] == "FAT32" else data)
                self.assertEqual(info["label"], t["volume_label"])

    def test_recursive_listing_shows_every_live_and_deleted_entry(self):
        keys = ("name", "dir", "deleted", "size", "cluster", "date", "attributes")
        for name, t in self.truth.items():
            with self.subTest(image=name):
                listed = json.loads(run("ls", self.image(name), "-r", "--json").stdout)["items"]
                # Deleted entries keep their long names, "#" before them; the short name is there too.
                got = {i["path"]: {k: i.get(k) for k in keys + ("short_name",)}
                       for i in listed if i["name"] not in (".", "..")}
                want = {e["path"]: dict({k: e[k] for k in keys}, short_name=e["short_name"] if e["long_name"] else None)
                        for e in t["entries"]}
                self.assertEqual(sorted(got), sorted(want))
                for path in want:
                    self.assertEqual(got[path], want[path], path)
                kinds = {i["path"]: i["kind"] for i in listed}
                for e in t["entries"]:
                    top = e["path"].count("/") == 1
                    self.assertEqual(kinds[e["path"]], 147 if not e["dir"] else 140 if top else 142, e["path"])

    def test_hidden_deleted_entries_and_directory_fat_copies(self):
        t = self.truth["fat32"]
        listed = json.loads(run("ls", self.image("fat32"), "-r", "--deleted", "hide", "--json").stdout)["items"]
        self.assertFalse([i["path"] for i in listed if i["deleted"]])
        live = {e["path"] for e in t["entries"] if not e["deleted"] and "#" not in e["path"]}
        self.assertEqual({i["path"] for i in listed if i["name"] not in (".", "..")}, live)
        # BIGDIR is fragmented: both FAT copies follow its chain, no FAT reads other clusters.
        want = sorted(e["name"] for e in t["entries"] if e["path"].startswith("/BIGDIR/"))
        for copy in ("1", "2"):
            got = json.loads(run("ls", self.image("fat32"), "/BIGDIR", "--dir-fat", copy, "--json").stdout)["items"]
            self.assertEqual(sorted(i["name"] for i in got if i["name"] not in (".", "..")), want)
        flat = run("ls", self.image("fat32"), "/BIGDIR", "--dir-fat", "none", "--json", check=False)
        if flat.returncode == 0:
            names = sorted(i["name"] for i in json.loads(flat.stdout)["items"] if i["name"] not in (".", ".."))
            self.assertNotEqual(names, want)
        self.assertEqual(run("ls", self.image("fat32"), "--dir-fat", "3", check=False).returncode, 2)

    def test_every_live_file_reads_back_byte_for_byte(self):
        for name, t in self.truth.items():
            for e in t["entries"]:
                if e["dir"] or e["deleted"]:
                    continue
                with self.subTest(image=name, path=e["path"]):
                    self.assertEqual(run("cat", self.image(name), e["path"]).stdout, self.content(e))

    def test_intact_deleted_files_read_back_through_fat1_and_without_fat(self):
        checked = 0
        for name, t in self.truth.items():
            for e in t["entries"]:
                if e["dir"] or not e["deleted"] or not e.get("intact"):
                    continue
                copies = ("1", "none") if e["contiguous"] else ("1",)
                for copy in copies:
                    with self.subTest(image=name, path=e["path"], fat=copy):
                        got = run("cat", self.image(name), e["path"], "--fat", copy).stdout
                        self.assertEqual(got, self.content(e))
                        checked += 1
        self.assertGreater(checked, 20)

    def test_lost_directories_list_by_cluster(self):
        for name, t in self.truth.items():
            for d in t["lost_dirs"]:
                with self.subTest(image=name, cluster=d["cluster"]):
                    listed = json.loads(run("ls", self.image(name), "@%d" % d["cluster"], "--json").stdout)["items"]
                    got = sorted(i["name"] for i in listed if i["name"] not in (".", ".."))
                    self.assertEqual(got, sorted(e["name"] for e in d["entries"]))
                    for e in d["entries"]:
                        if not e["dir"] and not e["deleted"]:
                            data = run("cat", self.image(name), "@%d%s" % (d["cluster"], e["path"])).stdout
                            self.assertEqual(data, self.content(e))

    def test_errors_have_their_exit_status(self):
        img = self.image("fat16")
        self.assertEqual(run("ls", img, "/NO SUCH DIR", check=False).returncode, 1)
        self.assertEqual(run("cat", img, "/DIR1", check=False).returncode, 1)
        self.assertEqual(run("ls", "/nonexistent.img", check=False).returncode, 2)
        self.assertEqual(run("ls", img, "--bogus", check=False).returncode, 2)
        # A cluster the volume does not have is a command line that can never work.
        p = run("ls", img, "@999999", check=False)
        self.assertEqual(p.returncode, 2)
        self.assertIn(b"not on this volume", p.stderr)
        # Not a FAT volume at all: the message of an unrecognised format, in both languages.
        p = run("info", os.path.join(FIXTURES, "content", "fat16", "0000.bin"), check=False)
        self.assertEqual(p.returncode, 2)
        zh = subprocess.run([CLI, "--lang", "zh", "info", os.path.join(FIXTURES, "content", "fat16", "0000.bin")],
                            capture_output=True, env=ENV)
        self.assertIn("未确认的文件格式".encode(), zh.stderr)

    def test_scan_finds_every_directory_and_names_it(self):
        expected_by_why = {
            "root entry wiped": lambda d: ("# %d" % d["cluster"], 144),
            "parent entry wiped": lambda d: ("# %d" % d["cluster"], 145),
            "parent directory lost": lambda d: (d["name_in_parent"], 162),
            "deleted directory": lambda d: (d["name_in_parent"], 140),
            "inside deleted directory tree": lambda d: (d["name_in_parent"], 145),
        }
        for name, t in self.truth.items():
            with self.subTest(image=name):
                found = json.loads(run("scan", self.image(name), "--json").stdout)["items"]
                by_cluster = {i["cluster"]: i for i in found}
                for d in t["lost_dirs"]:
                    self.assertIn(d["cluster"], by_cluster, d)
                    item = by_cluster[d["cluster"]]
                    self.assertEqual((item["name"], item["kind"]), expected_by_why[d["why"]](d), d)
                    self.assertEqual(item["parent_cluster"], d["parent_cluster"])
                for e in t["entries"]:
                    if e["dir"] and not e["deleted"]:
                        item = by_cluster.get(e["cluster"])
                        self.assertIsNotNone(item, e["path"])
                        top = e["path"].count("/") == 1
                        self.assertEqual((item["name"], item["kind"]), (e["name"], 140 if top else 142), e["path"])
                lost = json.loads(run("scan", self.image(name), "--list", "lost", "--json").stdout)["items"]
                self.assertTrue(all(i["kind"] in (145, 162, 168) for i in lost))
                roots = json.loads(run("scan", self.image(name), "--list", "search-root", "--json").stdout)["items"]
                self.assertTrue(roots and all(i["parent_cluster"] == 0 for i in roots))

    def test_save_recovers_deleted_files_with_their_times(self):
        checked = 0
        for name, t in self.truth.items():
            for e in t["entries"]:
                if e["dir"] or not e["deleted"] or not e.get("intact") or not e["contiguous"] or e["size"] == 0:
                    continue
                for copy in ("1", "none"):
                    with self.subTest(image=name, path=e["path"], fat=copy), tempfile.TemporaryDirectory() as out:
                        run("save", self.image(name), e["path"], "--to", out, "--fat", copy)
                        saved = os.path.join(out, e["name"])
                        with open(saved, "rb") as f:
                            self.assertEqual(f.read(), self.content(e))
                        when = calendar.timegm(time.strptime(e["date"], "%Y-%m-%d %H:%M:%S"))
                        self.assertEqual(int(os.stat(saved).st_mtime), when)
                        checked += 1
        self.assertGreater(checked, 10)

    def test_save_brings_back_a_lost_directory_tree(self):
        for name, t in self.truth.items():
            for d in t["lost_dirs"]:
                if d["why"] != "root entry wiped":
                    continue
                with self.subTest(image=name, cluster=d["cluster"]), tempfile.TemporaryDirectory() as out:
                    p = run("save", self.image(name), "@%d" % d["cluster"], "--to", out, "-r", "--json")
                    report = json.loads(p.stdout)
                    self.assertEqual(report["failed"], 0)
                    folder = os.path.join(out, "# %d" % d["cluster"])
                    for e in d["entries"]:
                        path = os.path.join(folder, e["name"])
                        if e["dir"]:
                            self.assertTrue(os.path.isdir(path), path)
                        elif not e["deleted"]:
                            with open(path, "rb") as f:
                                self.assertEqual(f.read(), self.content(e))
        # Without a terminal nobody can answer the overwrite question: the item fails.
        t = self.truth["fat16"]
        e = next(e for e in t["entries"] if not e["dir"] and not e["deleted"])
        with tempfile.TemporaryDirectory() as out:
            run("save", self.image("fat16"), e["path"], "--to", out)
            p = run("save", self.image("fat16"), e["path"], "--to", out, check=False)
            self.assertEqual(p.returncode, 1)
            self.assertEqual(run("save", self.image("fat16"), e["path"], "--to", out, "--overwrite", "none").returncode, 0)
            self.assertEqual(run("save", self.image("fat16"), e["path"], "--to", out, "--overwrite", "all").returncode, 0)

    def test_bad_clusters_and_fat_copies_that_disagree(self):
        t = self.truth["fat16"]
        lost = next(d for d in t["lost_dirs"] if d["why"] == "root entry wiped")
        frag = next(e for e in t["entries"] if e["path"] == "/FRAG/Fragmented File.bin")
        fat1 = t["reserved_sectors"] * 512
        fat2 = fat1 + t["sectors_per_fat"] * 512
        with tempfile.TemporaryDirectory() as work:
            img = os.path.join(work, "patched.img")
            shutil.copyfile(self.image("fat16"), img)
            with open(img, "r+b") as f:
                # The lost directory's cluster marked bad in FAT1: the scan leaves it unread.
                f.seek(fat1 + 2 * lost["cluster"])
                f.write((0xFFF7).to_bytes(2, "little"))
                # FAT1 ends the fragmented file after its first cluster; FAT2 still holds the chain.
                f.seek(fat1 + 2 * frag["clusters"][0])
                f.write((0xFFFF).to_bytes(2, "little"))
            clusters = lambda *extra: {i["cluster"] for i in json.loads(run("scan", img, "--json", *extra).stdout)["items"]}
            self.assertNotIn(lost["cluster"], clusters())
            self.assertIn(lost["cluster"], clusters("--no-skip-bad"))

            out = os.path.join(work, "out")
            run("save", img, frag["path"], "--to", out, "--fat", "2")
            with open(os.path.join(out, frag["name"]), "rb") as f:
                self.assertEqual(f.read(), self.content(frag))
            # FAT1 does not fit the file: without a terminal to choose another copy it fails...
            p = run("save", img, frag["path"], "--to", os.path.join(work, "one"), "--fat", "1", check=False)
            self.assertEqual(p.returncode, 1)
            self.assertIn(b"FAT1", p.stderr)
            self.assertFalse(os.path.exists(os.path.join(work, "one", frag["name"])))
            # ...and with --force-fat the short chain is read as it stands, and fails at its end.
            p = run("save", img, frag["path"], "--to", os.path.join(work, "forced"), "--fat", "1", "--force-fat", check=False)
            self.assertEqual(p.returncode, 1)
            self.assertIn(("cannot read %s" % frag["name"]).encode().lower(), p.stderr.lower())
            listed = json.loads(run("ls", img, "/FRAG", "--json").stdout)["items"]
            verdict = {i["name"]: i.get("verdict") for i in listed}
            self.assertEqual(verdict[frag["name"]], 201)  # fits in one copy but not the other

    def test_deleted_files_in_pieces_come_back_where_their_content_confirms(self):
        # Each file goes over two holes and on past the last filler; a filler between its second
        # and third piece is deleted after it, so the free clusters from its first on are not its.
        rng = random.Random(7)
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as z:
            for i in range(6):
                z.writestr("part%d.bin" % i, bytes(rng.getrandbits(8) for _ in range(3000)))
        notes = "".join("notes line %05d of a file with no check\n" % i for i in range(450)).encode()
        mt = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        with tempfile.TemporaryDirectory() as work:
            img = os.path.join(work, "pieces.img")
            subprocess.run(["mkfs.fat", "-C", "-F", "16", "-s", "1", img, "8192"], check=True, capture_output=True)
            put = lambda data, to: (open(os.path.join(work, "f"), "wb").write(data),
                                    subprocess.run(["mcopy", "-i", img, os.path.join(work, "f"), to], check=True, env=mt))
            mtools = lambda *a: subprocess.run(list(a), check=True, env=mt)
            later = []
            for folder, name, data in (("D1", "ARCHIVE.ZIP", archive.getvalue()), ("D2", "NOTES.TXT", notes)):
                third = len(data) // 512 // 3
                mtools("mmd", "-i", img, "::/" + folder)
                for i, clusters in enumerate((2, third, 2, third, 2, 2, 2), 1):
                    put(b"%d" % i * 512 * clusters, "::/%s/F%d.BIN" % (folder, i))
                mtools("mdel", "-i", img, "::/%s/F2.BIN" % folder, "::/%s/F4.BIN" % folder)
                put(data, "::/%s/%s" % (folder, name))
                later += ["::/%s/F6.BIN" % folder, "::/%s/%s" % (folder, name)]
            mtools("mdel", "-i", img, *later)
            out = os.path.join(work, "out")
            report = json.loads(run("save", img, "/D1/#RCHIVE.ZIP", "/D2/#OTES.TXT", "--to", out, "--json").stdout)
            pieces = {i["name"]: i.get("pieces") for i in report["items"]}
            with open(os.path.join(out, "#RCHIVE.ZIP"), "rb") as f:
                self.assertEqual(f.read(), archive.getvalue())
            self.assertEqual(pieces["#RCHIVE.ZIP"], {"confirmed": True, "message": 70037})
            # No check for text: the free clusters from its first on, said to be a guess.
            self.assertEqual(pieces["#OTES.TXT"], {"confirmed": False, "message": 70036})
            said = run("save", img, "/D2/#OTES.TXT", "--to", out, "--overwrite", "all").stdout
            self.assertIn(b"(read as a guess", said)

    @unittest.skipIf(os.environ.get("HARROW_SANITIZED") == "1", "a sanitizer keeps freed memory in quarantine")
    def test_json_listing_of_a_large_directory_takes_the_memory_of_its_text(self):
        with tempfile.TemporaryDirectory() as work:
            img, files = os.path.join(work, "big.img"), os.path.join(work, "files")
            os.mkdir(files)
            for i in range(8000):
                open(os.path.join(files, "F%05d.TXT" % i), "wb").close()
            subprocess.run(f"truncate -s 16M {img} && mkfs.fat -F 16 {img} && mmd -i {img} ::/BIG && mcopy -i {img} {files}/* ::/BIG/",
                           shell=True, check=True, capture_output=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
            peaks = []
            for extra in ([], ["--json"]):
                p = subprocess.run([sys.executable, "-c", PEAK_KIB, CLI, "ls", img, "/BIG", *extra], capture_output=True, env=ENV)
                peaks.append(int(p.stderr.split()[-1]))
            self.assertLess(peaks[1], peaks[0] + 4096)
            # The layout of one document dumped whole, keys in order, as scripts have read it.
            listed = json.loads(p.stdout)
            self.assertEqual(len(listed["items"]), 8002)
            self.assertEqual(p.stdout.decode(), json.dumps(listed, indent=2, ensure_ascii=False, sort_keys=True) + "\n")

    @classmethod
    def tearDownClass(cls):
        for name in IMAGES:
            if sha256(cls.image(name)) != cls.digests[name]:
                raise AssertionError(f"{name}.img changed while it was read")


if __name__ == "__main__":
    CLI, FIXTURES = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], "-v"])
