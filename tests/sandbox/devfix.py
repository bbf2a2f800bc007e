"""Device fixtures for the label edits and the label add.

A Machine dresses a Sandbox as a node the command can register on and add
labels from:

    m = Machine(sb)                      # alterpm.conf, empty PCI tree
    m.adapter("0000:05:00.0")            # a PCI function with power management
    m.disk("sdb", 16, "0000:05:00.0")    # /dev/sdb, SCSI_IOCTL_GET_PCI answer
    m.partition("sdb1", 17)              # /dev/sdb1 (no answer of its own)
    m.proc_devices(block={253: "mxvol"})
    r = m.run("-a", "/dev/sdb1")
    m.dump()                             # what the stand-ins saw

Disk nodes use block major DISK_MAJOR, one of the numbers Linux keeps for
local and experimental use: should a node ever be opened without the
stand-in, the host has no driver behind it.
"""

import json
import os
import stat

from pcifix import Function, PmCap, write_tree

DISK_MAJOR = 240
MXVOL_MAJOR = 241

# TARNEX_STUB_REFUSE values for the driver's two requests, written as signed
# 32-bit numbers: the i386 stand-in reads them with strtol, which would cut
# 0xc004fe00 down to LONG_MAX, while strtoul takes the negative form too.
REFUSE_ARRAY = str(0xc004fe00 - 2 ** 32)
REFUSE_BRIDGES = str(0xc004fe01 - 2 ** 32)


class Machine:
    def __init__(self, sb):
        self.sb = sb
        self.adapters = []
        self.scsi_lines = []
        sb.write("etc/alterpm.conf", "")
        os.makedirs(sb.path("sys_pci"), exist_ok=True)
        os.makedirs(sb.path("dev"), exist_ok=True)
        self.proc_devices()
        self.write_scsi()

    # -- PCI and driver --------------------------------------------------
    def adapter(self, bus_id):
        """A PCI function with a power-management capability, so that a
        table naming it registers."""
        if bus_id not in self.adapters:
            self.adapters.append(bus_id)
            write_tree(self.sb.path("sys_pci"), [Function(bus_id, cls=0x010000, caps=[PmCap()])])

    # -- /proc/devices ---------------------------------------------------
    def proc_devices(self, char=None, block=None, text=None):
        """Writes /proc/devices: the usual lines plus the given {major: name}."""
        if text is None:
            char_lines = "".join("%3d %s\n" % kv for kv in sorted((char or {}).items()))
            block_lines = "".join("%3d %s\n" % kv for kv in sorted((block or {}).items()))
            text = ("Character devices:\n  1 mem\n  4 tty\n%s\nBlock devices:\n  8 sd\n%s"
                    % (char_lines, block_lines))
        self.sb.write("proc_devices", text)

    # -- nodes -----------------------------------------------------------
    def node(self, rel, major, minor, char=False):
        """A device node under the fixture /dev."""
        p = self.sb.path(os.path.join("dev", rel))
        os.makedirs(os.path.dirname(p), exist_ok=True)
        kind = stat.S_IFCHR if char else stat.S_IFBLK
        os.mknod(p, 0o600 | kind, os.makedev(major, minor))
        return p

    def disk(self, name, minor, answer=None, major=DISK_MAJOR):
        """A disk node; answer is the adapter's bus ID that SCSI_IOCTL_GET_PCI
        gives ("!ERRNO" fails the request, "open!ERRNO" the open). A bus ID
        answer also puts that adapter on the PCI tree."""
        self.node(name, major, minor)
        if answer is not None:
            self.scsi_lines.append("%d:%d %s" % (major, minor, answer))
            self.write_scsi()
            if not answer.startswith(("!", "open!")):
                self.adapter(answer)

    def partition(self, name, minor, major=DISK_MAJOR):
        self.node(name, major, minor)

    def link(self, rel, target):
        p = self.sb.path(os.path.join("dev", rel))
        os.makedirs(os.path.dirname(p), exist_ok=True)
        os.symlink(target, p)

    def diag(self):
        """The volume manager's diagnostic node /dev/mxvol/_diag."""
        self.node("mxvol/_diag", 10, 250, char=True)

    def write_scsi(self):
        self.sb.write("scsi.list", "".join(l + "\n" for l in self.scsi_lines))

    # -- multipath -------------------------------------------------------
    def multipath(self, disk, mpdev, link=None):
        """The multipath driver's sysfs: /sys/devices/tovx (the sign of the
        driver) and /sys/block/DISK/device leading into
        /sys/devices/tovx/MPDEV; its files come from mp_file."""
        os.makedirs(self.sb.path("sys_devices/tovx"), exist_ok=True)
        block = self.sb.path("sys_block/%s" % disk)
        os.makedirs(block, exist_ok=True)
        os.symlink(link or "../../devices/tovx/%s/%s" % (mpdev, disk),
                   os.path.join(block, "device"))
        os.makedirs(self.sb.path("sys_devices/tovx/%s" % mpdev), exist_ok=True)

    def mp_file(self, mpdev, name, text):
        """A file of the multipath device; a "scsi_host_" one begins with a
        SCSI host number."""
        self.sb.write("sys_devices/tovx/%s/%s" % (mpdev, name), text)

    def scsi_host(self, number, bus_id, target=None):
        """/sys/class/scsi_host/hostN/device, leading to the adapter."""
        d = self.sb.path("sys_scsi_host/host%s" % number)
        os.makedirs(d, exist_ok=True)
        os.symlink(target or "../../../devices/pci0000:00/0000:00:1e.0/%s/host%s"
                   % (bus_id, number), os.path.join(d, "device"))
        if bus_id:
            self.adapter(bus_id)

    def plain_sysfs_disk(self, disk):
        """/sys/block/DISK/device of an ordinary SCSI disk."""
        block = self.sb.path("sys_block/%s" % disk)
        os.makedirs(block, exist_ok=True)
        os.symlink("../../devices/pci0000:00/0000:00:1e.0/0000:05:00.0/host0/target0:0:0/0:0:0:0",
                   os.path.join(block, "device"))

    # -- the volume manager's query command -------------------------------
    def mxvinfo(self, body):
        """A scripted /usr/sbin/mxvinfo; every call appends its arguments
        to mxvinfo.calls in the fixture."""
        calls = self.sb.path("mxvinfo.calls")
        self.sb.write("usr_sbin/mxvinfo",
                      "#!/bin/sh\necho \"$*\" >> %s\n%s\n" % (calls, body), mode=0o755)

    def mxvinfo_calls(self):
        if not self.sb.exists("mxvinfo.calls"):
            return []
        return self.sb.read("mxvinfo.calls").splitlines()

    # -- runs --------------------------------------------------------------
    def env(self, **extra):
        env = {"TARNEX_STUB_SCSI": self.sb.path("scsi.list"),
               "TARNEX_STUB_DUMP": self.sb.path("stub.dump")}
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def run(self, *args, env=None, **kw):
        e = self.env()
        e.update(env or {})
        return self.sb.run(*args, preload=True, env=e, **kw)

    def dump(self):
        if not self.sb.exists("stub.dump"):
            return []
        return [json.loads(l) for l in self.sb.read("stub.dump").splitlines() if l.strip()]

    def opens(self, path):
        return [d for d in self.dump() if d.get("open") == path]

    def requests(self, number):
        return [d for d in self.dump() if d.get("request") == number]

    def registered_bus_ids(self):
        """Bus IDs of the plain array of the last accepted registration."""
        arrays = [d for d in self.dump() if d.get("request") == 0xc004fe00]
        if not arrays:
            return None
        return [h["bus_id"] for h in arrays[-1]["hbas"]]
