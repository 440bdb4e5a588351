#!/usr/bin/env python3
"""harrowd --headless serving a FAT volume (mkfs.fat and mtools) and an NTFS volume (formatted by
Windows, from fixtures/ntfs-samples) over loopback: harrow-cli reads the same through it as
locally, and the server answers hostile bytes on a raw socket as the protocol and its bounds say.

usage: check_remote.py HARROW_CLI HARROWD NTFS_SAMPLES_DIR"""
import gzip
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import hostile

HARROWD = None
SAMPLES = None
ENV = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")
PASSWORD = "s3cret-pw"

PING, LOGIN_OK, OK, FAIL, DATA, DRIVE_OPENED, LOGIN, LOGOUT, SHUTDOWN = range(1, 10)
OPEN_DRIVE, CLOSE_DRIVE, READ_SECTORS, DRIVE_TYPE, VOLUME_INFO = range(11, 16)
# How long a test waits for what must come: only a server that hangs takes it. Nothing here asks
# how fast anything came, which tells the machine's speed (the suite also runs under ASan on two
# busy cores), not the server's behaviour.
PATIENCE = 120


def msg(code, payload=b""):
    return bytes([1, code]) + struct.pack("<I", len(payload)) + payload


def login_payload(password=PASSWORD):
    return password.encode().ljust(20, b"\0") + b"127.0.0.1".ljust(30, b"\0") + b"check".ljust(16, b"\0")


def read_request(first, count):
    return msg(READ_SECTORS, struct.pack("<II", first, count))


class Harrowd:
    """harrowd --headless on a free loopback port, its log in a file."""

    def __init__(self, scratch, drives, stall_limit=None):
        self.log_path = os.path.join(scratch, f"harrowd-{time.monotonic_ns()}.log")
        password_file = os.path.join(scratch, "password")
        with open(os.open(password_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write(PASSWORD + "\n")
        args = [HARROWD, "--headless", "--bind", "127.0.0.1", "--port", "0", "--password-file", password_file,
                "--log", self.log_path]
        for letter, path in drives.items():
            args += ["--drive", f"{letter}={path}"]
        if stall_limit is not None:
            args += ["--stall-limit", str(stall_limit)]
        self.sockets = []
        self.proc = subprocess.Popen(args, stderr=subprocess.PIPE, env=ENV)
        line = self.proc.stderr.readline().decode()
        self.port = int(line.rsplit(":", 1)[1])

    def url(self, letter):
        return f"harrowd://127.0.0.1:{self.port}/{letter}"

    def connect(self, logged_in=False):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=PATIENCE)
        self.sockets.append(s)
        if logged_in:
            s.sendall(msg(LOGIN, login_payload()))
            assert reply(s)[0] == LOGIN_OK
        return s

    def log(self):
        with open(self.log_path, encoding="utf-8") as f:
            return f.read()

    def stop(self, close_sockets=True):
        # An open connection holds the shutdown until its client closes (or the stall limit).
        for s in self.sockets if close_sockets else []:
            s.close()
        self.proc.send_signal(signal.SIGTERM)
        code = self.proc.wait(timeout=PATIENCE)
        self.proc.stderr.close()
        return code


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        piece = s.recv(n - len(data))
        if not piece:
            raise EOFError(f"closed after {len(data)} of {n} bytes")
        data += piece
    return data


def reply(s):
    header = recv_exact(s, 6)
    assert header[0] == 1, header
    (length,) = struct.unpack_from("<I", header, 2)
    return header[1], recv_exact(s, length)


def closed(s, timeout=PATIENCE):
    s.settimeout(timeout)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True


def cli(*args, password=PASSWORD):
    env = dict(ENV, HARROW_PASSWORD=password)
    return subprocess.run([hostile.CLI, *args], capture_output=True, env=env, timeout=300)


def ntfs_volume(scratch):
    """The NTFS partition of a Windows-made sample, as a volume file of its own."""
    path = os.path.join(scratch, "ntfs.img")
    with gzip.open(os.path.join(SAMPLES, "ntfs-lastaccess.raw.gz"), "rb") as src, open(path, "wb") as out:
        src.seek(128 * 512)
        zero = bytes(1 << 16)
        while block := src.read(1 << 16):
            if block == zero[:len(block)]:
                out.seek(len(block), os.SEEK_CUR)
            else:
                out.write(block)
        out.truncate((518271 - 128 + 1) * 512)
    return path


class Remote(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="harrow-remote-")
        cls.big = os.urandom(3 << 20)
        cls.fat = hostile.mkfat(os.path.join(cls.scratch, "fat.img"), 64, files={
            "/BIG.BIN": cls.big, "/Docs/Long file name.txt": b"lines\n" * 3000, "/Docs/Deep/KEEP.TXT": b"kept",
            "/GONE.TXT": b"deleted" * 500})
        subprocess.run(["mdel", "-i", cls.fat, "::/GONE.TXT"], check=True, capture_output=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        cls.ntfs = ntfs_volume(cls.scratch)
        # mkfs.fat takes no control character in a label: the one it wrote is overwritten, in the
        # boot sector and in the root directory alike.
        cls.evil = os.path.join(cls.scratch, "evil.img")
        subprocess.run(["mkfs.fat", "-C", "-n", "EVILLABEL", cls.evil, "1024"], check=True, capture_output=True)
        with open(cls.evil, "r+b") as f:
            image = f.read().replace(b"EVILLABEL  ", b"EV\nIL\x1b[2J  ")
            f.seek(0)
            f.write(image)
        cls.server = Harrowd(cls.scratch, {"F": cls.fat, "L": cls.evil, "N": cls.ntfs})

    @classmethod
    def tearDownClass(cls):
        code = cls.server.stop()
        subprocess.run(["rm", "-rf", cls.scratch])
        assert code == 0, f"harrowd exited {code}"  # a sanitizer's report at exit, say

    def test_listings_scans_and_saved_files_equal_local_ones(self):
        for letter, image, scan in (("F", self.fat, []), ("N", self.ntfs, ["--list", "all-files"])):
            remote = self.server.url(letter)
            for args in (["ls", "{}", "-r"], ["scan", "{}", *scan], ["info", "{}", "--json"]):
                here = cli(*[a.format(image) for a in args])
                there = cli(*[a.format(remote) for a in args])
                self.assertEqual(here.returncode, 0, here.stderr)
                self.assertEqual((there.returncode, there.stdout), (0, here.stdout), f"{args[0]} {letter}: {there.stderr}")
            saved = {}
            for name, source in (("local", image), ("remote", remote)):
                to = os.path.join(self.scratch, f"save-{letter}-{name}")
                p = cli("save", source, "/", "--to", to, "-r", "--overwrite", "all")
                self.assertIn(p.returncode, (0, 1), p.stderr)
                saved[name] = {os.path.relpath(os.path.join(d, f), to): open(os.path.join(d, f), "rb").read()
                               for d, _, files in os.walk(to) for f in files}
            self.assertTrue(saved["local"])
            self.assertEqual(saved["remote"], saved["local"], letter)
        self.assertEqual(cli("cat", self.server.url("F"), "/BIG.BIN").stdout, self.big)

    def test_the_drive_list_and_a_wrong_password(self):
        p = cli("drives", "--server", f"127.0.0.1:{self.server.port}")
        self.assertEqual(p.returncode, 0, p.stderr)
        listed = p.stdout.decode()
        self.assertRegex(listed, f"(?m)^F:  3  .*  {self.server.url('F')}$")
        # A label is shown as info shows it: it can neither make a line of its own nor reach the
        # terminal. NTFS keeps its label in a file record, which the server reads for it.
        self.assertIn(f"L:  3  EV\\nIL\\033[2J     {self.server.url('L')}\n", listed)
        self.assertTrue(all(re.match(r"[A-Z]:  \d  ", line) for line in listed.splitlines()), listed)
        label = re.search(r"(?m)^label: +(.*)$", cli("info", self.ntfs).stdout.decode()).group(1)
        self.assertTrue(label)
        self.assertIn(f"N:  3  {label:<16}  {self.server.url('N')}\n", listed)
        p = cli("ls", self.server.url("F"), password="wrong")
        self.assertEqual(p.returncode, 2)
        self.assertIn(b"Wrong password", p.stderr)

        # Discovery: the request gets the 52-byte answer, nothing else does.
        udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        udp.settimeout(PATIENCE)
        self.server.sockets.append(udp)
        for datagram in (b"\xff" * 7, b"\0" * 6, msg(PING)):
            udp.sendto(datagram, ("127.0.0.1", self.server.port + 1))
        answer = udp.recv(100)
        self.assertEqual((len(answer), answer[:6]), (52, bytes([1, OK, 46, 0, 0, 0])))
        udp.settimeout(0.5)
        self.assertRaises(socket.timeout, udp.recv, 100)

        s = self.server.connect()
        s.sendall(msg(LOGIN, login_payload("S3cret")))
        self.assertEqual(recv_exact(s, 6), msg(FAIL))
        self.assertTrue(closed(s))
        self.assertIn(f"[127.0.0.1] Illegal login (port:{s.getsockname()[1]})", self.server.log())

    def test_a_short_password_is_refused(self):
        # A password a few guesses find is no password.
        short = os.path.join(self.scratch, "short-password")
        with open(os.open(short, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
            f.write("s3cret\n")
        p = subprocess.run([HARROWD, "--headless", "--port", "0", "--password-file", short], capture_output=True,
                           env=ENV, timeout=PATIENCE)
        self.assertEqual(p.returncode, 2)
        self.assertIn(b"8 to 19 bytes", p.stderr)

    def test_without_a_display_it_runs_headless_and_says_so(self):
        env = {k: v for k, v in ENV.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        # The window's own flags are taken in either spelling, and mean nothing without one.
        p = subprocess.Popen([HARROWD, "/minimize", "--bind", "127.0.0.1", "--port", "0", "--password-file",
                              os.path.join(self.scratch, "password"), "-minimize"], stderr=subprocess.PIPE, env=env)
        try:
            said = p.stderr.readline().decode()
            # Only a build with the window has one to do without.
            if os.environ.get("HARROWD_WINDOW") == "1":
                self.assertIn("no display", said)
                said = p.stderr.readline().decode()
            self.assertIn("listening on 127.0.0.1:", said)
        finally:
            p.terminate()
            p.wait(PATIENCE)
            p.stderr.close()

    def test_a_password_file_others_may_read_or_write_is_refused(self):
        # A password others may read is theirs too; one they may write is theirs to choose.
        shared = os.path.join(self.scratch, "shared-password")
        with open(shared, "w") as f:
            f.write(PASSWORD + "\n")
        for mode in (0o640, 0o604, 0o620, 0o602):
            os.chmod(shared, mode)
            p = subprocess.run([HARROWD, "--headless", "--port", "0", "--password-file", shared],
                               capture_output=True, env=ENV, timeout=PATIENCE)
            self.assertEqual(p.returncode, 2, oct(mode))
            self.assertIn(b"chmod 600", p.stderr, oct(mode))

    def test_drive_requests_before_login_get_fail(self):
        s = self.server.connect()
        for request in (msg(OPEN_DRIVE, b"F:\\\0"), read_request(0, 1), msg(DRIVE_TYPE, b"F:\\\0"),
                        msg(VOLUME_INFO, b"F:\\\0")):
            s.sendall(request)
            self.assertEqual(recv_exact(s, 6), msg(FAIL), request)
        s.sendall(msg(PING))
        self.assertEqual(recv_exact(s, 6), msg(OK))
        s.sendall(msg(LOGIN, login_payload()))
        self.assertEqual(reply(s)[0], LOGIN_OK)
        s.sendall(msg(DRIVE_TYPE, b"F:\\\0"))
        self.assertEqual(reply(s), (DATA, b"\x03\x00"))

    def test_malformed_headers_and_requests(self):
        # Codes that are no request are read and dropped: the PING after each is the next answer.
        s = self.server.connect(logged_in=True)
        for code in (0, 2, 3, 4, 5, 6, 9, 10, 16, 255):
            s.sendall(msg(code, b"x" * code) + msg(PING))
            self.assertEqual(recv_exact(s, 6), msg(OK), code)
        s.sendall(msg(OPEN_DRIVE, b"F:\\\0"))
        self.assertEqual(reply(s)[0], DRIVE_OPENED)
        for request in (read_request(0, 2049),            # a reply of more than 1 MiB
                        read_request(1 << 31, 1),          # past the end of the volume
                        msg(READ_SECTORS, b"\0" * 7)):     # not a sector request
            s.sendall(request)
            self.assertEqual(recv_exact(s, 6), msg(FAIL), request)
        s.sendall(read_request(0, 2048))
        self.assertEqual(reply(s), (DATA, open(self.fat, "rb").read(1 << 20)))
        # A path that is no drive letter names no file of the server's.
        s.sendall(msg(OPEN_DRIVE, self.fat.encode() + b"\x1b[2J\n\0"))
        self.assertEqual(recv_exact(s, 6), msg(FAIL))
        self.assertIn(f"Open {self.fat}?[2J?\n", self.server.log())

        # A login of the wrong length is refused even with the right password; a wrong marker
        # or a length beyond the request buffer ends the connection without a word.
        for bad, answer in ((msg(LOGIN, login_payload()[:65]), msg(FAIL)), (msg(LOGIN, login_payload() + b"\0"), msg(FAIL)),
                            (b"\0" + msg(PING)[1:], b""), (bytes([1, PING]) + struct.pack("<I", 2043), b""),
                            (bytes([1, LOGIN]) + struct.pack("<I", 0xFFFFFFFF), b"")):
            s = self.server.connect()
            s.sendall(bad)
            self.assertEqual(s.recv(6), answer, bad[:6])
            self.assertTrue(closed(s), bad[:6])

    @staticmethod
    def stall(server):
        """One client that stops in the middle of a header, another that stops reading its replies."""
        half = server.connect(logged_in=True)
        half.sendall(msg(PING)[:3])
        deaf = server.connect(logged_in=True)
        deaf.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        deaf.sendall(msg(OPEN_DRIVE, b"F:\\\0") + read_request(0, 2048) * 64)

    def test_fifty_readers_are_not_held_up_by_stalled_clients(self):
        # The stalled clients outlast the test: a server that waited on them would hold every
        # reader until it dropped them, however fast the machine.
        server = Harrowd(self.scratch, {"F": self.fat}, stall_limit=86400)
        try:
            self.stall(server)
            results = [None] * 50

            def read(i):
                results[i] = cli("cat", server.url("F"), "/BIG.BIN").stdout

            threads = [threading.Thread(target=read, args=(i,)) for i in range(len(results))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual([r == self.big for r in results], [True] * len(results))
            self.assertEqual(server.log().count("Logout"), len(results))
            self.assertNotIn("Socket", server.log())  # neither stalled client was dropped
        finally:
            server.stop()

    def test_stalled_clients_are_dropped_after_the_stall_limit(self):
        server = Harrowd(self.scratch, {"F": self.fat}, stall_limit=1)
        try:
            stalled_at = time.monotonic()
            self.stall(server)
            self.assertTrue(closed(server.sockets[0]))
            while "Socket send error" not in server.log() and time.monotonic() - stalled_at < PATIENCE:
                time.sleep(0.1)
            # Each was dropped a whole stall limit after it last moved a byte, never sooner.
            self.assertGreaterEqual(time.monotonic() - stalled_at, 1)
            self.assertIn("Socket send error", server.log())
            self.assertIn("Socket read error", server.log())
        finally:
            server.stop()

    def test_shutdown_tells_every_client(self):
        server = Harrowd(self.scratch, {"F": self.fat})
        clients = [server.connect(logged_in=i % 2 == 0) for i in range(3)]
        clients[0].sendall(msg(OPEN_DRIVE, b"F:\\\0"))
        self.assertEqual(reply(clients[0])[0], DRIVE_OPENED)
        code = []
        stopper = threading.Thread(target=lambda: code.append(server.stop(close_sockets=False)))
        stopper.start()
        for s in clients:
            self.assertEqual(recv_exact(s, 6), msg(SHUTDOWN))
            s.close()
        stopper.join()
        self.assertEqual(code, [0])


if __name__ == "__main__":
    hostile.CLI, HARROWD, SAMPLES = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
