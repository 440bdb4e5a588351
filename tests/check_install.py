#!/usr/bin/env python3
"""Installs the build into a scratch DESTDIR and checks what Debian's tools and users would: the
menu entries validate, the service unit verifies and starts harrowd as the settings file says,
the manual pages format without warnings and name every option the programs take, and the bash
completion offers the commands and options harrow-cli's parser knows. A check whose tool is
missing is skipped and says so.

usage: check_install.py CMAKE BUILD_DIR PREFIX GUI(ON|OFF) PNG_ICONS(ON|OFF)"""
import gzip
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

CMAKE = BUILD = PREFIX = None
GUI = PNG = False
ROOT = None  # the DESTDIR
PATIENCE = 120


def installed(*parts):
    return os.path.join(ROOT + PREFIX, *parts)


def needs(tool):
    return unittest.skipUnless(shutil.which(tool), f"{tool} is not installed")


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=PATIENCE, **kw)


def help_options(args):
    return set(re.findall(r"(?<![\w-])(--?[a-z][\w-]*)", run(args + ["--help"]).stdout.split("Options:", 1)[1]))


def subcommands():
    text = run([installed("bin", "harrow-cli"), "--help"]).stdout
    return re.findall(r"^  (\w+) ", text.split("Subcommands:", 1)[1], re.M)


class Installed(unittest.TestCase):
    def test_files(self):
        expected = ["bin/harrow-cli", "bin/harrowd", "share/man/man1/harrow-cli.1.gz", "share/man/man1/harrowd.1.gz",
                    "share/bash-completion/completions/harrow-cli", "lib/systemd/system/harrowd.service"]
        if GUI:
            expected += ["bin/harrow", "share/man/man1/harrow.1.gz", "share/applications/harrow.desktop",
                         "share/applications/harrowd.desktop", "share/icons/hicolor/scalable/apps/harrow.svg"]
        if GUI and PNG:
            expected += [f"share/icons/hicolor/{n}x{n}/apps/harrow.png" for n in (16, 22, 24, 32, 48, 64, 128, 256)]
        for path in expected:
            with self.subTest(path):
                self.assertTrue(os.path.isfile(installed(path)))

    @needs("desktop-file-validate")
    def test_desktop_files(self):
        if not GUI:
            self.skipTest("built without the desktop application")
        for name in ("harrow", "harrowd"):
            with self.subTest(name):
                r = run(["desktop-file-validate", installed("share/applications", name + ".desktop")])
                # Hints are advice on menus; errors and warnings are what desktops act on.
                problems = [line for line in r.stdout.splitlines() if ": hint: " not in line]
                self.assertEqual((r.returncode, problems), (0, []))


class Service(unittest.TestCase):
    def unit(self):
        with open(installed("lib/systemd/system/harrowd.service")) as f:
            return f.read()

    @needs("systemd-analyze")
    def test_verifies(self):
        # verify wants ExecStart's program where the unit says it is, which is the DESTDIR copy here.
        with tempfile.TemporaryDirectory() as scratch:
            unit = os.path.join(scratch, "harrowd.service")
            with open(unit, "w") as f:
                f.write(self.unit().replace("ExecStart=" + PREFIX, "ExecStart=" + ROOT + PREFIX))
            r = run(["systemd-analyze", "verify", "--man=no", unit])
            self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_starts_as_configured(self):
        """The ExecStart line, expanded as systemd does with the installed settings file, is a command
        line harrowd takes and listens where the settings say."""
        unit = self.unit()
        env = dict(kv.split("=", 1) for kv in re.search(r"^Environment=(.*)$", unit, re.M).group(1).split())
        defaults = re.search(r"^EnvironmentFile=-(.*)$", unit, re.M).group(1)
        with open(ROOT + defaults) as f:
            for name, value in re.findall(r"^(\w+)=(.*)$", f.read(), re.M):
                env[name] = " ".join(shlex.split(value))
        command = re.search(r"^ExecStart=(.*)$", unit, re.M).group(1)
        for setting, listening in ((None, "127.0.0.1:"), ("", "*:")):
            with self.subTest(HARROWD_BIND=setting), tempfile.TemporaryDirectory() as scratch:
                here = dict(env, HARROWD_PORT="0")
                if setting is not None:
                    here["HARROWD_BIND"] = setting
                with open(os.path.join(scratch, "password"), "w") as f:
                    f.write("service-pw\n")
                os.chmod(os.path.join(scratch, "password"), 0o600)  # harrowd refuses one others may read
                args = []
                for word in shlex.split(command.replace("%d", scratch)):
                    whole = re.fullmatch(r"\$(\w+)", word)
                    if whole:  # $VAR splits into words, ${VAR} stays one
                        args += here[whole.group(1)].split()
                    else:
                        args.append(re.sub(r"\$\{(\w+)\}", lambda m: here[m.group(1)], word))
                args[0] = ROOT + args[0]
                server = subprocess.Popen(args + ["--log", os.path.join(scratch, "log")], stderr=subprocess.PIPE,
                                          stdin=subprocess.DEVNULL, text=True)
                try:
                    first = server.stderr.readline()
                finally:
                    server.send_signal(signal.SIGTERM)
                    server.wait(PATIENCE)
                    server.stderr.close()
                self.assertIn("listening on " + listening, first)


class ManPages(unittest.TestCase):
    def pages(self):
        return ["harrow-cli", "harrowd"] + (["harrow"] if GUI else [])

    def text(self, page):
        with gzip.open(installed("share/man/man1", page + ".1.gz"), "rt") as f:
            return f.read()

    @needs("groff")
    def test_groff_quiet(self):
        for page in self.pages():
            with self.subTest(page):
                r = run(["groff", "-ww", "-z", "-man"], input=self.text(page))
                self.assertEqual((r.returncode, r.stderr), (0, ""))

    @needs("mandoc")
    def test_mandoc_lint(self):
        for page in self.pages():
            with self.subTest(page):
                r = run(["mandoc", "-T", "lint", "-W", "warning", installed("share/man/man1", page + ".1.gz")])
                self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def test_every_option_documented(self):
        cli = installed("bin", "harrow-cli")
        programs = {"harrowd": [[installed("bin", "harrowd")]],
                    "harrow-cli": [[cli]] + [[cli, command] for command in subcommands()]}
        for page, commands in programs.items():
            text = re.sub(r"\\f[BIRP]", " ", self.text(page)).replace("\\-", "-")
            for command in commands:
                for option in help_options(command):
                    with self.subTest(page=page, option=option):
                        self.assertRegex(text, r"(?<![\w-])" + re.escape(option) + r"(?![\w-])")


@needs("bash")
class Completion(unittest.TestCase):
    def complete(self, *words):
        script = (f"source {shlex.quote(installed('share/bash-completion/completions/harrow-cli'))}\n"
                  f"COMP_WORDS=({' '.join(shlex.quote(w) for w in ('harrow-cli',) + words)})\n"
                  f"COMP_CWORD={len(words)}\n_harrow_cli\nprintf '%s\\n' \"${{COMPREPLY[@]}}\"\n")
        r = run(["bash", "--norc", "-c", script])
        self.assertEqual(r.stderr, "")
        return set(r.stdout.split())

    def test_parses(self):
        r = run(["bash", "-n", installed("share/bash-completion/completions/harrow-cli")])
        self.assertEqual((r.returncode, r.stderr), (0, ""))

    def test_offers_what_the_parser_takes(self):
        cli = installed("bin", "harrow-cli")
        commands = subcommands()
        self.assertEqual(self.complete("s"), {c for c in commands if c.startswith("s")})
        self.assertEqual({w for w in self.complete("") if not w.startswith("-")}, set(commands))
        global_options = help_options([cli]) - {"-h"}
        for command in commands:
            with self.subTest(command):
                self.assertEqual(self.complete("--lang", "en", command, "x.img", "-"),
                                 (help_options([cli, command]) | global_options) - {"-h"})
        self.assertEqual(self.complete("scan", "x.img", "--list", "a"), {"all-dirs", "all-files"})


def main():
    global CMAKE, BUILD, PREFIX, GUI, PNG, ROOT
    CMAKE, BUILD, PREFIX = sys.argv[1:4]
    GUI, PNG = (flag in ("ON", "1", "TRUE") for flag in sys.argv[4:6])
    with tempfile.TemporaryDirectory() as root:
        ROOT = root
        r = run([CMAKE, "--install", BUILD], env=dict(os.environ, DESTDIR=root))
        if r.returncode != 0:
            sys.exit(f"cmake --install failed:\n{r.stdout}{r.stderr}")
        result = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
