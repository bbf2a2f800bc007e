"""Hot-plug topologies for registration tests, on top of pcifix.

    machine = Machine()
    br = machine.shpc_bridge("0000:00:1e.0", secondary=5, mode=2, avail1=0x400,
                             slot_config=0x100)
    machine.adapter("0000:05:01.0")
    machine.write(sb)          # sys_pci/ tree plus the stand-in's sidecars

An SHPC bridge's registers are served by the stand-in library (stub/shpc.c)
through the select/data window, from a "config.emul" sidecar next to the
bridge's config file; the same sidecar can make chosen reads or writes fail.
read_dump() decodes what the stand-in driver (stub/driver.c) wrote.
"""

import json
import os

from pcifix import (CAP_ID_SHPC, PCIE_TYPE_DOWNSTREAM, PCIE_TYPE_ROOT_PORT, Function, PcieCap,
                    PmCap, ShpcCap, write_tree)

BRIDGE_CLASS = 0x060400
SCSI_CLASS = 0x010000
HBA_INFO_MAGIC = 0xBEEF2BAD
BRIDGE_SHPC = 0xFEEDBEEF
BRIDGE_PCIE = 0x7ED4BEEF
SET_HBA_INFO = 0xC004FE00
SET_SHPC_INFO = 0xC004FE01
SLTCAP_POWER = 0x0002
SLTCAP_NO_POWER = 0x0078      # attention button and indicators, no power controller
DUMP = "stub_dump"


class Machine:
    """A list of pcifix Functions plus the sidecar lines of each."""

    def __init__(self):
        self.functions = []
        self.emul = {}

    def add(self, fn, emul=None):
        self.functions.append(fn)
        if emul:
            self.emul.setdefault(fn.name, []).extend(emul)
        return fn

    def shpc_bridge(self, addr, secondary, mode=0, avail1=0x1f, avail2=0, slot_config=0x100,
                    regs=None, pcie=False, revision=0, caps_before=(), **kw):
        """A PCI-to-PCI bridge with an SHPC whose registers 1..4 are avail1,
        avail2, slot_config and mode (the Secondary Bus Configuration), or
        regs {index: value}. pcie=True gives it a PCI Express downstream-port
        capability with a powered slot as well."""
        caps = list(caps_before) + [ShpcCap()]
        if pcie:
            caps.append(PcieCap(port_type=PCIE_TYPE_DOWNSTREAM, slot_caps=SLTCAP_POWER))
        fn = Function(addr, cls=BRIDGE_CLASS, header_type=1, revision=revision, primary=0,
                      secondary=secondary, subordinate=secondary, caps=caps, **kw)
        values = {1: avail1, 2: avail2, 3: slot_config, 4: mode}
        values.update(regs or {})
        cap = fn.cap_offset(CAP_ID_SHPC)
        lines = ["shpc 0x%x" % cap] + ["reg %d 0x%x" % iv for iv in sorted(values.items())]
        return self.add(fn, lines)

    def pcie_port(self, addr, secondary, port_type=PCIE_TYPE_DOWNSTREAM, slot=True,
                  slot_caps=SLTCAP_POWER, revision=0, **kw):
        """A PCI Express bridge: a switch downstream port by default."""
        cap = PcieCap(port_type=port_type, slot=slot, slot_caps=slot_caps)
        return self.add(Function(addr, cls=BRIDGE_CLASS, header_type=1, revision=revision,
                                 primary=0, secondary=secondary, subordinate=secondary,
                                 caps=[cap], **kw))

    def root_port(self, addr, secondary, **kw):
        return self.pcie_port(addr, secondary, port_type=PCIE_TYPE_ROOT_PORT, **kw)

    def plain_bridge(self, addr, secondary, subordinate=None, **kw):
        """A PCI-to-PCI bridge without hot-plug capabilities."""
        return self.add(Function(addr, cls=BRIDGE_CLASS, header_type=1, primary=0,
                                 secondary=secondary, subordinate=subordinate or secondary,
                                 **kw))

    def adapter(self, addr, pm=True, vendor=0x1000, device=0x0030, revision=1, caps=None, **kw):
        """A SCSI HBA function, with a power-management capability unless
        pm is False."""
        if caps is None:
            caps = [PmCap()] if pm else []
        return self.add(Function(addr, vendor=vendor, device=device, cls=SCSI_CLASS,
                                 revision=revision, caps=caps, **kw))

    def fail(self, addr, kind, offset, width=None):
        """Makes a read or write (kind "read"/"write") at offset fail with EIO."""
        self.emul.setdefault(addr, []).append(
            "fail-%s 0x%x%s" % (kind, offset, "" if width is None else " %d" % width))

    def write(self, sb):
        root = sb.path("sys_pci")
        write_tree(root, self.functions)
        for name, lines in self.emul.items():
            with open(os.path.join(root, name, "config.emul"), "w") as f:
                f.write("\n".join(lines) + "\n")
        return root


def read_dump(sb):
    """The stand-in driver's dump: one dict per open or request."""
    if not sb.exists(DUMP):
        return []
    return [json.loads(line) for line in sb.read(DUMP).splitlines()]


def requests(sb):
    return [d for d in read_dump(sb) if "request" in d]


def stub_env(sb, **extra):
    env = {"TARNEX_STUB_DUMP": sb.path(DUMP)}
    env.update({k: str(v) for k, v in extra.items()})
    return env


def bus_ids(array):
    """The bus IDs of a dumped hba_info_array, in order."""
    return [h["bus_id"] for h in array["hbas"]]
