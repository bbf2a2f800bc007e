"""The two records the tarnex command hands to the driver, decoded from raw bytes.

Whatever stands in for the driver (the lab's kernel module, the sandbox's
interposed ioctl) writes one JSON object per line for each request it got:

    {"request": 3221552640, "result": 0, "errno": 0, "record": HEX, "hbas": [HEX|null, ...]}

- request: the ioctl request number, 0xC004FE00 (hba_info_array) or
  0xC004FE01 (shpc_info_table);
- result, errno: what the caller saw: 0 and 0, or -1 and the error number;
- record: the top record as read, before the driver wrote anything back: the
  header and as many elements as its own count says;
- hbas (0xC004FE01 only): for each bridge element in order, the
  hba_info_array its `hbas` address points to, header and `count` elements,
  or null when the pointer was 0 or could not be followed.

The writer copies the sizes the counts give and follows pointers; it judges
nothing. Other lines and further keys (such as "compat") pass through.
decode() gives plain dicts and lists that tests compare literally, reserved
fields and addresses left out, with "problems": what does not hold together
(bad magic, counts and sizes that disagree, bus IDs without their NUL or with
bytes after it, reserved fields not 0, adapters outside their bridge).
"""

import json
import struct

HBA_ARRAY, SHPC_TABLE = 0xC004FE00, 0xC004FE01
HBA_INFO_MAGIC, BRIDGE_SHPC, BRIDGE_PCIE = 0xBEEF2BAD, 0xFEEDBEEF, 0x7ED4BEEF

HBA = struct.Struct("<IIHBBBBBB20s")                     # 36 bytes
HBA_KEYS = ("magic", "alt_pm", "domain", "bus", "device", "function", "revision_id",
            "pm_cap", "header_type", "bus_id")
BRIDGE = struct.Struct("<IIHBBBBBB20sHBBBBHIIIIQII")     # 76 bytes
BRIDGE_KEYS = ("magic", "reserved0", "domain", "bus", "device", "function", "revision_id",
               "reserved1", "header_type", "bus_id", "class_code", "secondary_bus",
               "cap_offset", "first_device", "slot_count", "reserved2", "slots_available1",
               "slots_available2", "slot_config", "sec_bus_config", "reserved3", "hba_count",
               "hbas")
SHPC_ONLY = ("first_device", "slot_count", "slots_available1", "slots_available2",
             "slot_config", "sec_bus_config")


def _bus_id(raw, what, problems):
    text, nul, rest = raw.partition(b"\0")
    if not nul:
        problems.append("%s: bus_id without its NUL" % what)
    elif rest.strip(b"\0"):
        problems.append("%s: bus_id not zero after its NUL" % what)
    return text.decode("latin-1")


def _elements(raw, head, st, keys, what, problems):
    if len(raw) < head:
        problems.append("%s: %d bytes, shorter than its header" % (what, len(raw)))
        return 0, []
    count = struct.unpack_from("<I", raw)[0]
    if len(raw) != head + st.size * count:
        problems.append("%s: %d bytes for count %d" % (what, len(raw), count))
    n = min(count, (len(raw) - head) // st.size)
    out = []
    for i in range(n):
        e = dict(zip(keys, st.unpack_from(raw, head + st.size * i)))
        e["bus_id"] = _bus_id(e["bus_id"], "%s %d" % (what, i + 1), problems)
        out.append(e)
    return count, out


def _array(raw, what, problems):
    count, hbas = _elements(raw, 8, HBA, HBA_KEYS, what, problems)
    err_num = struct.unpack_from("<i", raw, 4)[0] if len(raw) >= 8 else 0
    if err_num:
        problems.append("%s: err_num %d when sent" % (what, err_num))
    for i, h in enumerate(hbas, 1):
        if h["magic"] != HBA_INFO_MAGIC:
            problems.append("%s %d: bad magic %#x" % (what, i, h["magic"]))
        if h["alt_pm"] > 1 or h["pm_cap"] == 0:
            problems.append("%s %d: alt_pm %d pm_cap %d" % (what, i, h["alt_pm"], h["pm_cap"]))
    return count, err_num, hbas


def _bridge(i, b, raw, problems):
    what = "bridge %d" % i
    if b["magic"] not in (BRIDGE_SHPC, BRIDGE_PCIE):
        problems.append("%s: bad magic %#x" % (what, b["magic"]))
    if any(b.pop("reserved%d" % k) for k in range(4)) or b["class_code"] != 0x0604:
        problems.append("%s: reserved field not 0 or class_code not 0x0604" % what)
    if b["magic"] == BRIDGE_PCIE and any(b[k] for k in SHPC_ONLY):
        problems.append("%s: SHPC values on a PCI Express port" % what)
    if b["bus_id"] != "%04x:%02x:%02x.%x" % (b["domain"], b["bus"], b["device"], b["function"]):
        problems.append("%s: bus_id does not name the bridge" % what)
    del b["hbas"]
    if raw is None:
        problems.append("%s: hbas array missing" % what)
        b["hbas"] = []
        return 0
    count, _, b["hbas"] = _array(bytes.fromhex(raw), what + " hbas", problems)
    if count != b["hba_count"]:
        problems.append("%s: hba_count %d, its array %d" % (what, b["hba_count"], count))
    for j, h in enumerate(b["hbas"], 1):
        slots = range(b["first_device"], b["first_device"] + b["slot_count"])
        if (h["domain"], h["bus"]) != (b["domain"], b["secondary_bus"]) or (
                b["magic"] == BRIDGE_SHPC and h["device"] not in slots):
            problems.append("%s hbas %d: not in the bridge's slots" % (what, j))
    return 8 + HBA.size * count


def decode(line):
    """One dump line (text or already parsed) as plain dicts and lists."""
    d = json.loads(line) if isinstance(line, str) else dict(line)
    if "request" not in d:
        return d
    raw, problems = bytes.fromhex(d.pop("record")), []
    if d["request"] == HBA_ARRAY:
        d["count"], d["err_num"], d["hbas"] = _array(raw, "array", problems)
    elif d["request"] == SHPC_TABLE:
        count, bridges = _elements(raw, 20, BRIDGE, BRIDGE_KEYS, "table", problems)
        head = struct.unpack_from("<IIii", raw, 4) if len(raw) >= 20 else (0, 0, 0, 0)
        d.update(count=count, total_size=head[0], max_hba_count=head[1], err_num=head[2],
                 device_err_num=head[3], bridges=bridges)
        arrays = d.pop("hbas", [])
        if len(arrays) != len(bridges):
            problems.append("table: %d hbas arrays for %d bridges" % (len(arrays), len(bridges)))
        arrays += [None] * len(bridges)
        total = 20 + BRIDGE.size * count + sum(_bridge(i, b, arrays[i - 1], problems)
                                               for i, b in enumerate(bridges, 1))
        if head[0] != total or head[1] != max([b["hba_count"] for b in bridges] + [0]):
            problems.append("table: total_size %d max_hba_count %d disagree" % head[:2])
        if head[2] or head[3]:
            problems.append("table: err_num %d device_err_num %d when sent" % head[2:])
    else:
        problems.append("unknown request %#x" % d["request"])
    d["problems"] = problems
    return d


def decode_dump(text):
    """Every line of a dump, decoded."""
    return [decode(line) for line in text.splitlines() if line.strip()]
