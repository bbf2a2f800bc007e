"""Runs the real tarnex as root in a private mount and UTS namespace over a
fixture tree, with the stand-in library (stub/stub.c) preloaded.

A Sandbox is a temporary directory whose parts enter.sh mounts over the
command's fixed paths (etc/, var/, dev/, sys_pci/, sys_block/, sys_devices/,
sys_scsi_host/, proc_devices, usr_sbin/) for each run only. Its methods lay
out a node: adapters and bridges in configuration space, disks and their
SCSI_IOCTL_GET_PCI answers, the multipath driver's sysfs, the volume
manager; after a run, log() gives the log's messages and dump() what the
stand-in saw, the driver's records decoded by the lab's decoder.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "lab"))
import records  # noqa: E402  (the one decoder of the driver's records)

BIN = os.environ.get("TARNEX_BIN", os.path.join(TOP, "build", "bin", "tarnex"))
STUB = os.environ.get("TARNEX_STUB", os.path.join(TOP, "build", "lib", "tarnex_stub.so"))
RUNNER = os.environ.get("TARNEX_RUNNER", "")
EXTENDED = {"KVXRtarnex": "KOBRANT"}
LOG, LOCK = "var/log/user.log", "var/lock/.tarnex.lock"
TABLE = "/etc/opt/KVXRtarnex/hba_addr.conf"
DISK_MAJOR, MXVOL_MAJOR = 240, 241  # for local use: no host driver behind a stray open
SET_HBA_INFO, SET_SHPC_INFO = records.HBA_ARRAY, records.SHPC_TABLE
CAP_PM, CAP_SHPC, CAP_EXP = 0x01, 0x0c, 0x10
DOWNSTREAM, ROOT_PORT, UPSTREAM = 6, 4, 5
RECORD = re.compile(r"[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d node1 tarnex\[\d+\]: ([A-Z]+): "
                    r"<[0-9a-f]+\.[0-9a-f]+>")


def config(vendor=0x8086, device=0x1234, cls=0, revision=0, header_type=0, caps=(),
           buses=None, size=256, status=None):
    """256 bytes of configuration space (cut to size). caps: (id, body) or
    (id, body, offset, next) from 0x40 up; buses: primary, secondary,
    subordinate. Returns (bytes, {id: offset of its first capability})."""
    c = bytearray(256)
    struct.pack_into("<HH", c, 0, vendor, device)
    c[8] = revision
    c[9:12] = struct.pack("<I", cls)[:3]
    c[0x0e] = header_type
    if buses:
        c[0x18:0x1b] = bytes(buses)
    at, offsets, placed = 0x40, {}, []
    for cap in caps:
        cap_id, body, off, nxt = (tuple(cap) + (None, None))[:4]
        off = at if off is None else off
        placed.append((cap_id, body, off, nxt))
        offsets.setdefault(cap_id, off)
        at = (off + 2 + len(body) + 3) & ~3
    for i, (cap_id, body, off, nxt) in enumerate(placed):
        if nxt is None:
            nxt = placed[i + 1][2] if i + 1 < len(placed) else 0
        c[off:off + 2 + len(body)] = bytes([cap_id, nxt]) + bytes(body)
    if placed:
        c[0x34] = placed[0][2]
    struct.pack_into("<H", c, 6, (0x10 if placed else 0) if status is None else status)
    return bytes(c[:size]), offsets


def pm_cap(offset=None):
    return (CAP_PM, b"\3\0\0\0\0\0", offset)


def pcie_cap(port_type, slot=True, slot_caps=0x0002):
    body = bytearray(0x3a)
    struct.pack_into("<H", body, 0, 2 | port_type << 4 | (0x100 if slot else 0))
    struct.pack_into("<I", body, 0x12, slot_caps)
    return (CAP_EXP, bytes(body))


class Sandbox:
    def __init__(self, table=""):
        self.root = tempfile.mkdtemp(prefix="tarnex-sb-")
        os.chmod(self.root, 0o755)
        for d in ("var/log", "sys_pci", "dev", "usr_sbin"):
            os.makedirs(self.path(d))
        self.write(LOCK, "")
        self.write("etc/alterpm.conf", "")
        self.write("scsi.list", "")
        self.proc_devices()
        if table is not None:
            self.write("etc/hba_addr.conf", table)

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

    def listdir(self, rel):
        return sorted(os.listdir(self.path(rel)))

    def function(self, addr, emul=(), **kw):
        """Writes sys_pci/ADDR/config (and config.emul); returns the offsets
        of the capabilities."""
        data, offsets = config(**kw)
        self.write("sys_pci/%s/config" % addr, data)
        if emul:
            self.write("sys_pci/%s/config.emul" % addr, "".join(l + "\n" for l in emul))
        return offsets

    def adapter(self, addr, pm=True, vendor=0x1000, device=0x0030, revision=1, **kw):
        kw.setdefault("caps", [pm_cap()] if pm else [])
        return self.function(addr, vendor=vendor, device=device, cls=0x010000,
                             revision=revision, **kw)

    def bridge(self, addr, secondary, caps=(), **kw):
        return self.function(addr, cls=0x060400, buses=(0, secondary, secondary),
                             caps=caps, **{"header_type": 1, **kw})

    def shpc_bridge(self, addr, secondary, mode=0, avail1=0x1f, avail2=0, slot_config=0x100,
                    pcie=False, fail_select=False, **kw):
        """A bridge whose SHPC registers 1..4 hold avail1, avail2,
        slot_config and the bus mode, served by the stand-in."""
        caps = [(CAP_SHPC, bytes(6))] + ([pcie_cap(DOWNSTREAM)] if pcie else [])
        cap = config(caps=caps)[1][CAP_SHPC]
        regs = ["reg %d %#x" % iv for iv in enumerate((avail1, avail2, slot_config, mode), 1)]
        fail = ["fail-write %#x" % (cap + 2)] if fail_select else []
        self.bridge(addr, secondary, caps, emul=["shpc %#x" % cap] + regs + fail, **kw)
        return cap

    def port(self, addr, secondary, port_type=DOWNSTREAM, slot=True, slot_caps=0x0002, **kw):
        return self.bridge(addr, secondary, caps=[pcie_cap(port_type, slot, slot_caps)], **kw)

    def proc_devices(self, char=None, block=None):
        lines = lambda d: "".join("%3d %s\n" % kv for kv in sorted((d or {}).items()))
        self.write("proc_devices", "Character devices:\n  1 mem\n%s\nBlock devices:\n  8 sd\n%s"
                   % (lines(char), lines(block)))

    def node(self, rel, major, minor, char=False):
        p = self.path("dev/" + rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        os.mknod(p, 0o600 | (0o020000 if char else 0o060000), os.makedev(major, minor))

    def disk(self, name, minor, answer=None, major=DISK_MAJOR):
        """A disk node; answer is what SCSI_IOCTL_GET_PCI gives ("!ERRNO"
        fails it, "open!ERRNO" the open). A bus ID answer puts an adapter
        there."""
        self.node(name, major, minor)
        if answer is not None:
            with open(self.path("scsi.list"), "a") as f:
                f.write("%d:%d %s\n" % (major, minor, answer))
            if re.match(r"^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-7]$", answer):
                self.adapter(answer)

    def link(self, rel, target):
        p = self.path("dev/" + rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        os.symlink(target, p)

    def multipath(self, disk, mpdev, hosts=(), link=None):
        """The multipath driver's sysfs: /sys/block/DISK/device into
        /sys/devices/tovx/MPDEV, one scsi_host_N file per (host, bus ID)."""
        os.makedirs(self.path("sys_devices/tovx/" + mpdev))
        os.makedirs(self.path("sys_block/" + disk))
        os.symlink(link or "../../devices/tovx/%s/%s" % (mpdev, disk),
                   self.path("sys_block/%s/device" % disk))
        for n, (host, bus_id) in enumerate(hosts):
            self.write("sys_devices/tovx/%s/scsi_host_%d" % (mpdev, n), "%s\n" % host)
            os.makedirs(self.path("sys_scsi_host/host%s" % host))
            os.symlink("../../../devices/pci0000:00/%s/host%s" % (bus_id, host),
                       self.path("sys_scsi_host/host%s/device" % host))
            self.adapter(bus_id)

    def mxvinfo(self, body):
        """A scripted /usr/sbin/mxvinfo; each call appends its arguments to
        mxvinfo.calls."""
        self.write("usr_sbin/mxvinfo", "#!/bin/sh\necho \"$*\" >> %s\n%s\n"
                   % (self.path("mxvinfo.calls"), body), mode=0o755)

    def volume_manager(self):
        """The volume manager's driver, its diagnostic node and volume
        CLS/vol1; disks sdb and sdc on adapters 0000:05:00.0 and 0000:06:00.0."""
        self.proc_devices(block={MXVOL_MAJOR: "mxvol"})
        self.node("mxvol/_diag", 10, 250, char=True)
        self.node("mxvol/CLS/dsk/vol1", MXVOL_MAJOR, 1)
        self.disk("sdb", 16, "0000:05:00.0")
        self.disk("sdc", 32, "0000:06:00.0")

    def run(self, *args, argv=None, user=None, env=None, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, preexec_fn=None):
        """Runs tarnex ARGS (or argv) to its end: returncode, stdout, stderr."""
        env = dict(env or {}, TARNEX_STUB_SCSI=self.path("scsi.list"),
                   TARNEX_STUB_DUMP=self.path("stub.dump"))
        argv = argv or [BIN] + list(args)
        if RUNNER and argv[0] == BIN:
            argv = [RUNNER, "-E", "LD_PRELOAD=" + STUB] + argv
        else:
            env["LD_PRELOAD"] = STUB
        argv = ["env"] + ["%s=%s" % kv for kv in env.items()] + argv
        if user is not None:
            argv = ["setpriv", "--reuid=%d" % user, "--regid=%d" % user, "--clear-groups"] + argv
        enter = ["sh", os.path.join(HERE, "enter.sh"), self.root, "node1"]
        return subprocess.run(["unshare", "--mount", "--uts", "--propagation=private", "--"]
                              + enter + argv,
                              stdin=stdin, stdout=stdout, stderr=subprocess.PIPE, timeout=120,
                              encoding="latin-1", preexec_fn=preexec_fn)

    def log_records(self):
        """(level, message) of every log record, in order; a message without
        its line feed, which the next record runs into, is marked so."""
        out = []
        for line in (self.read(LOG) if self.exists(LOG) else "").splitlines():
            parts = RECORD.split(line)  # "", level, message, level, message...
            if parts[0] or len(parts) < 3:
                raise AssertionError("malformed log line %r" % line)
            out += [(parts[i], parts[i + 1] + (" (no line feed)" if i + 2 < len(parts) else ""))
                    for i in range(1, len(parts), 2)]
        return out

    def log(self):
        return [msg for _, msg in self.log_records()]

    def dump(self):
        return records.decode_dump(self.read("stub.dump")) if self.exists("stub.dump") else []

    def requests(self):
        return [d for d in self.dump() if "request" in d]

    def opens(self):
        return [(d["open"], d["flags"], d["errno"]) for d in self.dump() if "open" in d]

    def ioctls(self):
        return [(d["ioctl"], d["dev"], d["errno"]) for d in self.dump() if "ioctl" in d]

    def reset(self):
        """Forgets the log and the dump before the next run of a table row."""
        self.remove(LOG)
        self.remove("stub.dump")


class SandboxTest(unittest.TestCase):
    """A fresh sandbox per test in self.sb."""

    table = ""
    maxDiff = None

    def setUp(self):
        self.sb = Sandbox(self.table)
        self.addCleanup(shutil.rmtree, self.sb.root, True)

    def each(self, cases, check):
        """check(*row) for every row of a table, each in a subTest with a
        log and dump of its own."""
        for case in cases:
            with self.subTest(case=case):
                self.sb.reset()
                check(*case)

    def assertRun(self, r, status, stderr=None, stdout=None, log=None):
        """Status, and the texts given: stderr, stdout, and the log's
        messages but "start." and the option line."""
        self.assertEqual(r.returncode, status, r)
        if stderr is not None:
            self.assertEqual(r.stderr, stderr, r)
        if stdout is not None:
            self.assertEqual(r.stdout, stdout, r)
        if log is not None:
            self.assertEqual([m for m in self.sb.log() if m != "start." and
                              not re.match(r"option \d \d \d \d$", m)], log)
