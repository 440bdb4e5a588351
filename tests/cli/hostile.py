"""What the checks of hostile input share: harrow-cli run under resource limits (a CPU-time limit
and a 1 GiB address space, so that runaway work or memory fails the check instead of the
machine), and volumes made with the real tools, then damaged by hand.

A check script imports this module, sets hostile.CLI from its first argument and runs unittest."""
import os
import resource
import shutil
import subprocess
import tempfile

CLI = None
# Sanitizer builds reserve terabytes of address space up front and run several times slower.
SANITIZED = os.environ.get("HARROW_SANITIZED") == "1"
GIB = 1 << 30


def run(args, cpu_seconds=20, memory=GIB, env=None, cwd=None, stdin=subprocess.DEVNULL, file_size=None):
    """harrow-cli ARGS under the limits (and a limit on the size of the files it writes, when
    given); the CompletedProcess (stdout and stderr as bytes)."""
    cpu = cpu_seconds * (5 if SANITIZED else 1)

    def limit():
        resource.setrlimit(resource.RLIMIT_CPU, (cpu, cpu))
        if not SANITIZED:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
        if file_size is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size, file_size))

    full_env = dict(os.environ, TZ="UTC", HARROW_LANG="en", HARROW_DRIVES="")
    full_env.update(env or {})
    return subprocess.run([CLI, *args], capture_output=True, env=full_env, cwd=cwd, stdin=stdin,
                          preexec_fn=limit, timeout=cpu * 3 + 30)


class Scratch:
    """A temporary folder, removed at exit: `with Scratch() as d: ...`."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="harrow-hostile-")
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def mkfat(path, mib, bits=32, files=None, cluster_sectors=None, sector_size=None):
    """A FAT volume of MIB MiB made by mkfs.fat, with FILES ({name in the volume: bytes}, folders
    made on the way) copied in by mtools."""
    with open(path, "wb") as f:
        f.truncate(mib << 20)
    cmd = ["mkfs.fat", "-F", str(bits), "-i", "12345678"]
    if cluster_sectors:
        cmd += ["-s", str(cluster_sectors)]
    if sector_size:
        cmd += ["-S", str(sector_size)]
    subprocess.run(cmd + [path], check=True, capture_output=True)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLS_NO_VFAT="0")
    made = set()
    for name, data in (files or {}).items():
        parts = name.strip("/").split("/")
        for i in range(1, len(parts)):
            folder = "/".join(parts[:i])
            if folder not in made:
                subprocess.run(["mmd", "-i", path, "::/" + folder], check=True, capture_output=True, env=env)
                made.add(folder)
        with tempfile.NamedTemporaryFile() as t:
            t.write(data)
            t.flush()
            subprocess.run(["mcopy", "-i", path, t.name, "::/" + "/".join(parts)], check=True, capture_output=True,
                           env=env)
    return path


def patch(path, offset, data):
    """Writes DATA at OFFSET of the file at PATH."""
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(data)
