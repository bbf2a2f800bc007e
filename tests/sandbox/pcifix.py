"""PCI fixture trees: binary configuration spaces laid out like sysfs.

A Function describes one PCI function; write_tree() puts each one's 256-byte
(or shorter) configuration space into DIR/<name>/config, DIR being a tree
like /sys/bus/pci/devices (a Sandbox's "sys_pci" directory, for instance).

    fn = Function("0000:05:00.0", vendor=0x1000, device=0x0030, cls=0x010000,
                  caps=[PmCap()])
    br = Function("0000:00:1e.0", cls=0x060400, header_type=1,
                  secondary=5, subordinate=5,
                  caps=[ShpcCap(), PcieCap(port_type=6, slot_caps=0x12007b)])
    write_tree(sb.path("sys_pci"), [br, fn])

Capabilities are laid out from 0x40 upwards in list order unless given an
offset; the Status register's capability-list bit is set when there are any.
"""

import os
import struct

CONFIG_SIZE = 256

# Configuration header offsets (type 0 and type 1 headers).
VENDOR_ID = 0x00
DEVICE_ID = 0x02
COMMAND = 0x04
STATUS = 0x06
STATUS_CAP_LIST = 0x0010
REVISION_ID = 0x08
CLASS_PROG_IF = 0x09        # three bytes: prog-if, subclass, base class
HEADER_TYPE = 0x0e
HEADER_MULTI_FUNCTION = 0x80
PRIMARY_BUS = 0x18
SECONDARY_BUS = 0x19
SUBORDINATE_BUS = 0x1a
CAPABILITY_LIST = 0x34

CAP_ID_PM = 0x01
CAP_ID_SHPC = 0x0c
CAP_ID_EXP = 0x10

PCIE_TYPE_ENDPOINT = 0
PCIE_TYPE_ROOT_PORT = 4
PCIE_TYPE_UPSTREAM = 5
PCIE_TYPE_DOWNSTREAM = 6
PCIE_FLAGS_SLOT = 0x0100
SLTCAP_POWER_CONTROLLER = 0x0002


def bus_id(domain, bus, device, function):
    return "%04x:%02x:%02x.%x" % (domain, bus, device, function)


def parse_bus_id(name):
    dom, bus, rest = name.split(":")
    dev, fn = rest.split(".")
    return int(dom, 16), int(bus, 16), int(dev, 16), int(fn, 16)


class Cap:
    """A capability: its ID and the bytes that follow the ID and next pointer.

    offset: where it starts (default: after the previous one, 4-aligned).
    next: the next pointer to store instead of the real chain (loops, junk).
    """

    def __init__(self, cap_id, body=b"", offset=None, next=None):
        self.cap_id = cap_id
        self.body = bytes(body)
        self.offset = offset
        self.next = next

    def size(self):
        return 2 + len(self.body)


class PmCap(Cap):
    """Power management: PMC and PMCSR, version 3 by default."""

    def __init__(self, pmc=0x0003, pmcsr=0x0000, **kw):
        Cap.__init__(self, CAP_ID_PM, struct.pack("<HHH", pmc, pmcsr, 0), **kw)


class ShpcCap(Cap):
    """SHPC capability: select byte at +2, data DWORD at +4.

    A plain file cannot follow the select byte, so the data DWORD holds one
    fixed value (data) whatever is selected; select is the byte stored at +2.
    """

    def __init__(self, select=0, data=0, **kw):
        Cap.__init__(self, CAP_ID_SHPC, struct.pack("<BBI", select, 0, data), **kw)


class PcieCap(Cap):
    """PCI Express capability: Capabilities register at +2, Slot Capabilities
    at +0x14. slot defaults to True for downstream and root ports."""

    def __init__(self, port_type=PCIE_TYPE_ENDPOINT, version=2, slot=None, slot_caps=0, **kw):
        if slot is None:
            slot = port_type in (PCIE_TYPE_ROOT_PORT, PCIE_TYPE_DOWNSTREAM)
        flags = (version & 0xf) | (port_type & 0xf) << 4 | (PCIE_FLAGS_SLOT if slot else 0)
        body = bytearray(0x3c - 2)
        struct.pack_into("<H", body, 0x02 - 2, flags)
        struct.pack_into("<I", body, 0x14 - 2, slot_caps)
        Cap.__init__(self, CAP_ID_EXP, bytes(body), **kw)


class Function:
    """One PCI function.

    addr: "domain:bus:device.function" (any text for a malformed entry name).
    cls: 24-bit class code, base class << 16 | subclass << 8 | prog-if.
    header_type: byte 0x0e as stored; multi=True adds the multi-function bit.
    primary/secondary/subordinate: bridge bus registers (type 1 headers).
    size: bytes of the config file (shorter than 256 to cut it off).
    status: the Status register instead of the one derived from caps.
    patch: {offset: bytes} written last, over everything else.
    """

    def __init__(self, addr, vendor=0x8086, device=0x1234, cls=0x000000, revision=0,
                 header_type=0, multi=False, caps=(), primary=None, secondary=None,
                 subordinate=None, size=CONFIG_SIZE, status=None, patch=None):
        self.name = addr
        self.vendor = vendor
        self.device = device
        self.cls = cls
        self.revision = revision
        self.header_type = header_type | (HEADER_MULTI_FUNCTION if multi else 0)
        self.caps = list(caps)
        self.primary = primary
        self.secondary = secondary
        self.subordinate = subordinate
        self.size = size
        self.status = status
        self.patch = dict(patch or {})

    def address(self):
        return parse_bus_id(self.name)

    def config(self):
        c = bytearray(CONFIG_SIZE)
        struct.pack_into("<HH", c, VENDOR_ID, self.vendor, self.device)
        struct.pack_into("<B", c, REVISION_ID, self.revision)
        c[CLASS_PROG_IF:CLASS_PROG_IF + 3] = struct.pack("<I", self.cls)[:3]
        c[HEADER_TYPE] = self.header_type
        for off, val in ((PRIMARY_BUS, self.primary), (SECONDARY_BUS, self.secondary),
                         (SUBORDINATE_BUS, self.subordinate)):
            if val is not None:
                c[off] = val
        status = 0
        offsets = []
        at = 0x40
        for cap in self.caps:
            off = cap.offset if cap.offset is not None else at
            if off + cap.size() > CONFIG_SIZE:
                raise ValueError("capability 0x%02x does not fit at 0x%02x" % (cap.cap_id, off))
            offsets.append(off)
            at = (off + cap.size() + 3) & ~3
        for i, cap in enumerate(self.caps):
            off = offsets[i]
            nxt = cap.next if cap.next is not None else (
                offsets[i + 1] if i + 1 < len(offsets) else 0)
            c[off] = cap.cap_id
            c[off + 1] = nxt
            c[off + 2:off + 2 + len(cap.body)] = cap.body
        if self.caps:
            c[CAPABILITY_LIST] = offsets[0]
            status |= STATUS_CAP_LIST
        struct.pack_into("<H", c, STATUS, self.status if self.status is not None else status)
        for off, data in self.patch.items():
            c[off:off + len(data)] = data
        return bytes(c[:self.size])

    def cap_offset(self, cap_id):
        """Offset at which the first capability with this ID is laid out."""
        at = 0x40
        for cap in self.caps:
            off = cap.offset if cap.offset is not None else at
            if cap.cap_id == cap_id:
                return off
            at = (off + cap.size() + 3) & ~3
        return 0


RESOURCE_LINE = "0x%016x 0x%016x 0x%016x" % (0, 0, 0)


def write_function(root, fn, attributes=False):
    """Writes root/<name>/config; with attributes also the vendor, device,
    class, irq and resource files that lspci reads besides config."""
    d = os.path.join(root, fn.name)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "config"), "wb") as f:
        f.write(fn.config())
    if attributes:
        for attr, text in (("vendor", "0x%04x" % fn.vendor), ("device", "0x%04x" % fn.device),
                           ("class", "0x%06x" % fn.cls), ("irq", "0"),
                           ("resource", "\n".join([RESOURCE_LINE] * 7))):
            with open(os.path.join(d, attr), "w") as f:
                f.write(text + "\n")
    return d


def write_tree(root, functions, attributes=False):
    """Writes every function under root (made if missing); returns root."""
    os.makedirs(root, exist_ok=True)
    for fn in functions:
        write_function(root, fn, attributes)
    return root


def directory_order(root):
    """Entry names in the order readdir gives them, dot entries left out."""
    return [e.name for e in os.scandir(root) if not e.name.startswith(".")]


def large_tree(count=4096, domains=1):
    """count functions: endpoints on buses 1.., eight functions per device,
    behind one bridge per bus; every fourth endpoint has a PM capability."""
    functions = []
    per_bus = 32 * 8
    for i in range(count):
        dom = (i // (per_bus * 255)) % max(domains, 1)
        bus = 1 + (i // per_bus) % 255
        dev = (i // 8) % 32
        fn = i % 8
        caps = [PmCap()] if i % 4 == 0 else []
        functions.append(Function(bus_id(dom, bus, dev, fn), vendor=0x1000 + (i % 7),
                                  device=0x0030 + (i % 13), cls=0x010700, revision=i & 0xff,
                                  multi=(fn == 0), caps=caps))
    return functions
