#!/usr/bin/env python3
"""harrow-cli find against ls -r on the fixture volumes named: every item find prints matches its
filter, and every item ls -r lists that matches is printed; what find prints is saved byte for
byte through save --from-list."""
import fnmatch
import json
import os
import subprocess
import sys
import tempfile
import unittest

CLI = None
FIXTURES = None
IMAGES = None
ENV = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")


def run(*args, stdin=None, check=True):
    p = subprocess.run([CLI, *args], capture_output=True, env=ENV, timeout=300, input=stdin)
    if check and p.returncode != 0:
        raise AssertionError(f"harrow-cli {' '.join(args)} exited {p.returncode}: {p.stderr.decode(errors='replace')}")
    return p


def image(name):
    return os.path.join(FIXTURES, name + ".img")


def name_matches(item, glob):
    name, glob = item["name"].lower(), glob.lower()
    if fnmatch.fnmatchcase(name, glob) or not (item["deleted"] and name.startswith("#")):
        return fnmatch.fnmatchcase(name, glob)
    # A deleted short name lost its first letter; a deleted long name is whole after the '#'.
    firsts = [""] if item.get("short_name") else "abcdefghijklmnopqrstuvwxyz0123456789_"
    return any(fnmatch.fnmatchcase(c + name[1:], glob) for c in firsts)

class Find(unittest.TestCase):
    def listed(self, name):
        """ls -r's items, without each directory's own dots, each with whether it is deleted or
        below a deleted directory."""
        items = [i for i in json.loads(run("ls", image(name), "-r", "--json").stdout)["items"]
                 if not i["path"].endswith(("/.", "/.."))]
        deleted_dirs = {i["path"] for i in items if i["dir"] and i["deleted"]}
        for i in items:
            parents = [i["path"][:k] for k in range(len(i["path"])) if i["path"][k] == "/"]
            i["gone"] = i["deleted"] or any(p in deleted_dirs for p in parents)
        return items

    def test_find_prints_exactly_what_ls_lists_that_matches(self):
        cases = [
            (["--name", "*.txt"], lambda i: name_matches(i, "*.txt")),
            (["--name", "*.TXT", "--name", "dir*"], lambda i: name_matches(i, "*.txt") or name_matches(i, "dir*")),
            (["--type", "d"], lambda i: i["dir"]),
            (["--deleted", "--type", "f"], lambda i: i["gone"] and not i["dir"]),
            (["--live"], lambda i: not i["gone"]),
            (["--size", "+1k", "--size", "-20k"], lambda i: not i["dir"] and 1024 <= i["size"] <= 20480),
            (["--size", "0"], lambda i: not i["dir"] and i["size"] == 0),
            (["--newer", "2024-01-15T10:00", "--older", "2024-06-01"],
             lambda i: i["date"] is not None and "2024-01-15 10:00" <= i["date"] < "2024-06-01"),
        ]
        for name in IMAGES:
            items = self.listed(name)
            for args, want in cases:
                with self.subTest(image=name, args=args):
                    found = json.loads(run("find", image(name), *args, "--json").stdout)["items"]
                    self.assertEqual([i["path"] for i in found], [i["path"] for i in items if want(i)])
                    text = run("find", image(name), *args).stdout.decode().splitlines()
                    self.assertEqual(len(text), len(found))
            # Below an ITEM, which a repeated option must not take for one of its values.
            if "/DIR1" not in {i["path"] for i in items}:
                continue
            found = run("find", image(name), "--name", "*.txt", "--name", "x", "/DIR1").stdout.decode().splitlines()
            self.assertEqual(found, [i["path"] for i in items if i["path"].startswith("/DIR1/") and name_matches(i, "*.txt")])

    @unittest.skipUnless("fat16" in sys.argv[3:], "FAT truth")
    def test_found_files_save_byte_for_byte_from_the_list(self):
        checked = 0
        for name in IMAGES:
            with open(os.path.join(FIXTURES, name + ".truth.json")) as f:
                truth = {e["path"]: e for e in json.load(f)["entries"]}
            for args in (["--live", "--type", "f"], ["--deleted", "--intact", "--type", "f"]):
                found = run("find", image(name), *args).stdout
                items = json.loads(run("find", image(name), *args, "--json").stdout)["items"]
                # Each listed twice, and saved once.
                with tempfile.TemporaryDirectory() as out:
                    saved = json.loads(run("save", image(name), "--from-list", "-", "--to", out, "--json",
                                           stdin=found + found).stdout)["items"]
                    paths = found.decode().splitlines()
                    self.assertEqual(len(saved), len(paths), args)
                    for path, item, result in zip(paths, items, saved):
                        self.assertEqual(result["name"], item["name"])
                        e = truth.get(path)
                        if e is None or (e["deleted"] and not e.get("intact")):
                            continue
                        with open(os.path.join(FIXTURES, e["content"]), "rb") as want, open(result["target"], "rb") as got:
                            self.assertEqual(got.read(), want.read(), (name, path))
                        checked += 1
        self.assertGreater(checked, 20)

    @unittest.skipUnless("fat16" in sys.argv[3:], "FAT only")
    def test_a_listed_directory_brings_what_it_holds_once(self):
        with tempfile.TemporaryDirectory() as out:
            inside = run("find", image("fat16"), "/DIR1", "--type", "f").stdout
            self.assertTrue(inside)
            listing = inside + b"/DIR1\n" + inside
            run("save", image("fat16"), "--from-list", "-", "-r", "--to", out, "--overwrite", "none", stdin=listing, check=False)
            self.assertEqual(os.listdir(out), ["DIR1"])
            self.assertFalse([n for n in os.listdir(os.path.join(out, "DIR1")) if "~2" in n])

    @unittest.skipUnless("fat16" in sys.argv[3:], "FAT only")
    def test_bad_filters_are_command_lines_that_cannot_work(self):
        for args in (["--size", "10x"], ["--newer", "2024-02-30"], ["--name", "[abc"],
                     ["--size", "+2k", "--size", "-1k"], ["--deleted", "--live"]):
            self.assertEqual(run("find", image("fat16"), *args, check=False).returncode, 2, args)
        for args in ([], ["--from-list", "/no/such/list"]):
            self.assertEqual(run("save", image("fat16"), *args, "--to", tempfile.gettempdir(), check=False).returncode, 2)

    def test_after_a_scan_lost_items_are_found_by_their_addresses(self):
        for name in IMAGES:
            lost = [p for p in run("find", image(name), "--scan").stdout.decode().splitlines() if p.startswith("@")]
            self.assertTrue(lost, name)
            for path in lost[:10]:
                run("ls", image(name), path, "--scan")
            # What only the scan found is never live; nor, on FAT, below a lost directory's address.
            self.assertFalse([p for p in run("find", image(name), "--scan", "--live").stdout.splitlines() if p[:1] == b"@"])
            if name != "ntfs":
                self.assertFalse(run("find", image(name), lost[0].split("/")[0], "--scan", "--live").stdout)

if __name__ == "__main__":
    CLI, FIXTURES, IMAGES = sys.argv[1], sys.argv[2], sys.argv[3:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
