"""Reading what the emulated server reported.

- Functions and Function: the guest's own reading of PCI configuration space
  (tools/emupci.c), in /sys/bus/pci/devices directory order.
- expected_records(): the records a correct registration hands the driver for
  a table, worked out from that reading alone.
- received(): what the stand-in driver published about the requests it got.
"""

import re
import struct

HBA_INFO_MAGIC = 0xBEEF2BAD
BRIDGE_SHPC = 0xFEEDBEEF
BRIDGE_PCIE = 0x7ED4BEEF

HBA_FMT = "<IIHBBBBBB20s"                      # 36 bytes
SHPC_FMT = "<IIHBBBBBB20sHBBBBHIIIIQII"        # 76 bytes
HBA_FIELDS = ("magic", "alt_pm", "domain", "bus", "device", "function", "revision_id",
              "pm_cap", "header_type", "bus_id")
SHPC_FIELDS = ("magic", "reserved0", "domain", "bus", "device", "function", "revision_id",
               "reserved1", "header_type", "bus_id", "class_code", "secondary_bus",
               "cap_offset", "first_device", "slot_count", "reserved2", "slots_available1",
               "slots_available2", "slot_config", "sec_bus_config", "reserved3", "hba_count",
               "hbas")
assert struct.calcsize(HBA_FMT) == 36 and struct.calcsize(SHPC_FMT) == 76

BUS_ID = re.compile(r"^([0-9a-f]{4}):([0-9a-f]{2}):([0-9a-f]{2})\.([0-7])$")


def parse_bus_id(text):
    m = BUS_ID.match(text)
    return tuple(int(x, 16) for x in m.groups()) if m else None


class Function:
    def __init__(self, name, cfg):
        self.name = name
        self.cfg = cfg
        self.addr = parse_bus_id(name)
        self.shpc_regs = None

    def u8(self, off):
        return self.cfg[off]

    def u16(self, off):
        return struct.unpack_from("<H", self.cfg, off)[0]

    @property
    def vendor(self):
        return self.u16(0)

    @property
    def device_id(self):
        return self.u16(2)

    @property
    def class_word(self):
        return self.u16(0x0A)

    def caps(self):
        """(id, offset) of the capability list, in order."""
        out, seen = [], set()
        if not self.u16(0x06) & 0x10:
            return out
        p = self.u8(0x34) & 0xFC
        while p and p not in seen:
            seen.add(p)
            out.append((self.u8(p), p))
            p = self.u8(p + 1) & 0xFC
        return out

    def cap(self, cid):
        for i, off in self.caps():
            if i == cid:
                return off
        return 0


def functions(pci_text):
    """Functions in directory order from the emupci output."""
    fns, by_name = [], {}
    for line in pci_text.splitlines():
        w = line.split()
        if w and w[0] == "fn":
            f = Function(w[1], bytes.fromhex(w[2]))
            fns.append(f)
            by_name[f.name] = f
        elif w and w[0] == "shpc":
            by_name[w[1]].shpc_regs = [int(x, 16) for x in w[3:8]]
    return fns


def bridge_elements(fns):
    """The hot-plug bridge elements, in the order of the table, which is the
    directory order: dicts with the shpc_info fields."""
    out = []
    for f in fns:
        if f.class_word != 0x0604:
            continue
        shpc, pcie = f.cap(0x0C), f.cap(0x10)
        regs = [0, 0, 0, 0]
        if shpc:
            kind, cap = BRIDGE_SHPC, shpc
            regs = f.shpc_regs[1:5]
        elif pcie:
            flags = f.u16(pcie + 2)
            if (flags >> 4) & 0xF != 6 or not flags & 0x100:
                continue
            if not f.u16(pcie + 0x14) & 0x2:
                continue
            kind, cap = BRIDGE_PCIE, pcie
        else:
            continue
        d, b, dev, fn = f.addr
        out.append(dict(magic=kind, reserved0=0, domain=d, bus=b, device=dev, function=fn,
                        revision_id=f.u8(8), reserved1=0, header_type=f.u8(0x0E),
                        bus_id=f.name, class_code=0x0604, secondary_bus=f.u8(0x19),
                        cap_offset=cap, first_device=0, slot_count=0, reserved2=0,
                        slots_available1=regs[0], slots_available2=regs[1],
                        slot_config=regs[2], sec_bus_config=regs[3], reserved3=0,
                        hba_count=0, hbas=[]))
    return out


def shpc_slots(e):
    mode = e["sec_bus_config"] & 7
    sa1, sa2 = e["slots_available1"], e["slots_available2"]
    count = {0: sa1 & 0x1F, 1: sa2 & 0x1F, 2: (sa1 >> 8) & 0x1F, 3: (sa1 >> 16) & 0x1F,
             4: (sa1 >> 24) & 0x1F}[mode]
    return (e["slot_config"] >> 8) & 0x1F, count


def table_bus_ids(table_text):
    """Bus IDs of the entry lines of a table, in order."""
    ids = []
    for line in table_text.splitlines():
        words = line.split("#", 1)[0].split()
        if len(words) == 2:
            ids.append(words[1])
    return ids


def alterpm_items(text):
    items = []
    for line in text.splitlines():
        w = line.split("#", 1)[0].split()
        if w:
            v, d, r = w[0].lstrip(":").split(":", 2)
            items.append((int(v, 16) & 0xFFFF, int(d, 16), None if r.startswith("*")
                          else int(r, 16)))
    return items


def expected_records(fns, table_text, alterpm_text=""):
    """(plain array, bridge elements with their hbas, table header fields)
    that a correct registration of table_text sends."""
    by_addr = {f.addr: f for f in fns}
    elements = bridge_elements(fns)
    alt = alterpm_items(alterpm_text)
    plain, seen = [], set()
    for bus_id in table_bus_ids(table_text):
        addr = parse_bus_id(bus_id)
        target = plain
        for e in elements:
            if (e["domain"], e["secondary_bus"]) != addr[:2]:
                if e["magic"] == BRIDGE_SHPC:
                    e["first_device"], e["slot_count"] = shpc_slots(e)
                continue
            if e["magic"] == BRIDGE_PCIE:
                target = e["hbas"]
                break
            first, count = shpc_slots(e)
            e["first_device"], e["slot_count"] = first, count
            if first <= addr[2] < first + count:
                target = e["hbas"]
                break
        if addr in seen:
            continue
        seen.add(addr)
        f = by_addr[addr]
        alt_pm = int(any(v == f.vendor and d == f.device_id and (r is None or r == f.u8(8))
                         for v, d, r in alt))
        target.append(dict(magic=HBA_INFO_MAGIC, alt_pm=alt_pm, domain=addr[0], bus=addr[1],
                           device=addr[2], function=addr[3], revision_id=f.u8(8),
                           pm_cap=f.cap(0x01), header_type=f.u8(0x0E), bus_id=bus_id))
    for e in elements:
        e["hba_count"] = len(e["hbas"])
    header = dict(count=len(elements),
                  total_size=20 + 76 * len(elements) + sum(8 + 36 * len(e["hbas"])
                                                           for e in elements),
                  max_hba_count=max([len(e["hbas"]) for e in elements] + [0]),
                  err_num=0, device_err_num=0)
    return plain, elements, header


# ---------------------------------------------------------------- driver side

def _cstr(b):
    return b.split(b"\0", 1)[0].decode("latin-1")


def decode_hba_array(raw):
    count, err_num = struct.unpack_from("<Ii", raw, 0)
    hbas = []
    for i in range(count):
        v = dict(zip(HBA_FIELDS, struct.unpack_from(HBA_FMT, raw, 8 + 36 * i)))
        v["bus_id_raw"] = v["bus_id"]
        v["bus_id"] = _cstr(v["bus_id"])
        hbas.append(v)
    if len(raw) != 8 + 36 * count:
        raise ValueError("array of %d bytes for count %d" % (len(raw), count))
    return dict(count=count, err_num=err_num, hbas=hbas)


def decode_shpc_table(raw):
    count, total, maxc, err, dev_err = struct.unpack_from("<IIIii", raw, 0)
    elems = []
    for i in range(count):
        v = dict(zip(SHPC_FIELDS, struct.unpack_from(SHPC_FMT, raw, 20 + 76 * i)))
        v["bus_id_raw"] = v["bus_id"]
        v["bus_id"] = _cstr(v["bus_id"])
        elems.append(v)
    return dict(count=count, total_size=total, max_hba_count=maxc, err_num=err,
                device_err_num=dev_err, elements=elems)


class Request:
    def __init__(self, head):
        m = re.match(r"request ([0-9a-f]{4}) compat=(\d) comm=(\S*)", head)
        self.code = int(m.group(1), 16)
        self.compat = int(m.group(2))
        self.comm = m.group(3)
        self.lines = [head]
        self.verdict = None
        self.array = None
        self.table = None
        self.hbas = {}

    def __repr__(self):
        return "Request(%04x %s)" % (self.code, self.verdict)


def received(text):
    """The requests the stand-in driver published, in order."""
    reqs = []
    for line in text.splitlines():
        if line.startswith("request "):
            reqs.append(Request(line))
            continue
        if not reqs:
            continue
        r = reqs[-1]
        r.lines.append(line)
        w = line.split()
        if w[:2] == ["raw", "array"]:
            r.array = decode_hba_array(bytes.fromhex(w[2]))
        elif w[:2] == ["raw", "table"]:
            r.table = decode_shpc_table(bytes.fromhex(w[2]))
        elif w[:2] == ["raw", "hbas"]:
            r.hbas[int(w[2])] = decode_hba_array(bytes.fromhex(w[3]))
        elif w and w[0] == "verdict":
            r.verdict = line[len("verdict "):]
    return reqs


def disk_hbas(disks_text):
    """disk name -> the PCI function its sysfs device path runs through last."""
    out = {}
    for line in disks_text.splitlines():
        name, path = line.split(None, 1)
        ids = [c for c in path.split("/") if BUS_ID.match(c)]
        out[name] = ids[-1]
    return out


def listing(table_text):
    """The table as the writer prints it: blanks before the first token gone,
    one space between tokens, comments kept."""
    out = []
    for line in table_text.splitlines():
        code, sep, comment = line.partition("#")
        tokens = code.split() + ([sep + comment] if sep else [])
        out.append(" ".join(tokens))
    return "".join(l + "\n" for l in out)
