"""Runs the real tarnex as root inside a private mount and UTS namespace.

A Sandbox is a fixture tree in a temporary directory. Its subdirectories are
mounted over the command's fixed paths only inside the namespace of each run:

    etc/            -> /etc/opt/KVXRtarnex
    var/            -> /var/opt/KVXRtarnex   (log/ and lock/.tarnex.lock made here)
    sys_pci/        -> /sys/bus/pci/devices
    sys_block/      -> /sys/block
    sys_devices/    -> /sys/devices
    sys_scsi_host/  -> /sys/class/scsi_host
    proc_devices    -> /proc/devices         (a file)
    dev/            -> /dev                  (null, zero, urandom bound in)
    usr_sbin/       -> /usr/sbin

The host's own paths are never written.
"""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
TARNEX_BIN = os.environ.get("TARNEX_BIN", os.path.join(TOP, "build", "bin", "tarnex"))
TARNEX_STUB = os.environ.get("TARNEX_STUB", os.path.join(TOP, "build", "lib", "tarnex_stub.so"))


def _cached_runner():
    """The i386 runner the build chose, for runs outside ctest."""
    try:
        with open(os.path.join(TOP, "build", "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("TARNEX_RUNNER:"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return ""


TARNEX_RUNNER = os.environ.get("TARNEX_RUNNER", None)
if TARNEX_RUNNER is None:
    TARNEX_RUNNER = _cached_runner()
HOSTNAME = "node1"
LOG = "var/log/user.log"
LOCK = "var/lock/.tarnex.lock"
NOBODY = 65534

LOG_LINE = re.compile(
    r"^(?P<stamp>[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d) (?P<host>\S+) (?P<ident>\S+)"
    r"\[(?P<pid>\d+)\]: (?P<level>[A-Z]+): <(?P<sec>[0-9a-f]+)\.(?P<usec>[0-9a-f]+)>(?P<msg>.*)$")


class Result:
    def __init__(self, proc):
        self.status = proc.returncode
        self.stdout = proc.stdout.decode("latin-1")
        self.stderr = proc.stderr.decode("latin-1")

    def __repr__(self):
        return "Result(status=%r, stdout=%r, stderr=%r)" % (self.status, self.stdout, self.stderr)


class Sandbox:
    def __init__(self, table=None):
        self.root = tempfile.mkdtemp(prefix="tarnex-sb-")
        os.chmod(self.root, 0o755)
        for d in ("etc", "var/log", "var/lock"):
            os.makedirs(self.path(d))
        self.write(LOCK, "")
        if table is not None:
            self.write("etc/hba_addr.conf", table)

    # -- fixture files -------------------------------------------------
    def path(self, rel):
        return os.path.join(self.root, rel)

    def write(self, rel, data, mode=None):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data.encode("latin-1") if isinstance(data, str) else data)
        if mode is not None:
            os.chmod(p, mode)
        return p

    def read(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read().decode("latin-1")

    def exists(self, rel):
        return os.path.lexists(self.path(rel))

    def remove(self, rel):
        p = self.path(rel)
        if os.path.isdir(p) and not os.path.islink(p):
            shutil.rmtree(p)
        elif os.path.lexists(p):
            os.unlink(p)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.cleanup()

    # -- runs ----------------------------------------------------------
    def command(self, argv, user=None, preload=False, env=None):
        """The full command line that runs argv inside the namespace."""
        env = dict(env or {})
        prog = list(argv)
        if preload:
            env["LD_PRELOAD"] = TARNEX_STUB
        if TARNEX_RUNNER and is_i386(prog[0]):
            # Only the emulated program gets the i386 preload library.
            extra = []
            if "LD_PRELOAD" in env:
                extra = ["-E", "LD_PRELOAD=" + env.pop("LD_PRELOAD")]
            prog = [TARNEX_RUNNER] + extra + prog
        if user is not None:
            prog = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + prog
        envs = ["env"] + ["%s=%s" % kv for kv in env.items()]
        return (["unshare", "--mount", "--uts", "--propagation", "private", "--",
                 "/bin/sh", os.path.join(HERE, "enter.sh"), self.root, HOSTNAME] + envs + prog)

    def run_program(self, argv, user=None, preload=False, env=None, timeout=120, stdin=None):
        proc = subprocess.run(self.command(argv, user, preload, env), stdin=subprocess.DEVNULL
                              if stdin is None else stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=timeout)
        return Result(proc)

    def run(self, *args, **kw):
        return self.run_program([TARNEX_BIN] + list(args), **kw)

    def start(self, *args, user=None, preload=False, env=None):
        """Starts tarnex in the background; returns the Popen."""
        return subprocess.Popen(self.command([TARNEX_BIN] + list(args), user, preload, env),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)

    # -- log -----------------------------------------------------------
    def log_records(self, rel=LOG):
        """(level, message) for each record of the log, in order."""
        if not self.exists(rel):
            return []
        out = []
        for line in self.read(rel).splitlines():
            m = LOG_LINE.match(line)
            if m is None:
                raise AssertionError("malformed log line: %r" % line)
            out.append((m.group("level"), m.group("msg")))
        return out

    def log_messages(self, rel=LOG):
        return [msg for _, msg in self.log_records(rel)]


def is_i386(path):
    try:
        with open(path, "rb") as f:
            head = f.read(20)
    except OSError:
        return False
    return head[:4] == b"\x7fELF" and head[4] == 1 and head[18] == 3


class SandboxTest(unittest.TestCase):
    """Base class: a fresh sandbox per test in self.sb."""

    table = ""

    def setUp(self):
        self.sb = Sandbox(self.table)
        self.addCleanup(self.sb.cleanup)

    def assertRun(self, result, status, stderr=None, stdout=None):
        self.assertEqual(result.status, status, result)
        if stderr is not None:
            self.assertEqual(result.stderr, stderr, result)
        if stdout is not None:
            self.assertEqual(result.stdout, stdout, result)
