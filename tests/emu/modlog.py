"""Reading what the panicforkiv scenarios leave: raw kernel log pieces
(dmesg -r), the console, the BMC's record, and the P3 figures that come
from the console's host times (emu.ConsoleTap) and the BMC's own log."""

import re

RAW = re.compile(r"^<(\d+)>\[\s*([0-9.]+)\] ?(.*)$")
STAMP = re.compile(r"^\[\s*[0-9.]+\] ?")


def klog(text):
    """[(level, seconds, message)] of a raw kernel log piece; the level is
    the syslog priority's level bits."""
    out = []
    for line in text.splitlines():
        m = RAW.match(line)
        if m:
            out.append((int(m.group(1)) & 7, float(m.group(2)), m.group(3)))
    return out


def module_lines(text):
    """'<level>message' of the module's own lines in a raw log piece: those
    that start with "panicforkiv: ", leaving out the module loader's taint
    notes, which carry the module's name too."""
    loader = ("loading out-of-tree module taints kernel.",
              "module verification failed: signature and/or required key missing")
    return ["<%d>%s" % (lvl, msg) for lvl, _, msg in klog(text)
            if msg.startswith("panicforkiv: ") and not any(n in msg for n in loader)]


def console_lines(console):
    """Console lines without the kernel's time stamps and carriage returns."""
    return [STAMP.sub("", l.rstrip("\r")) for l in console.splitlines()]


def in_order(lines, wanted):
    """The first wanted line that is missing from lines in that order, or None."""
    i = 0
    for w in wanted:
        while i < len(lines) and lines[i] != w:
            i += 1
        if i == len(lines):
            return w
        i += 1
    return None


def tap_time(tap, text, after=0.0):
    """Host time of the first console line containing text (after a time)."""
    for t, line in tap:
        if t >= after and text in line:
            return t
    return None


def p3(boot, events):
    """P3 figures of one panic boot (seconds, host monotonic clock): from the
    console's "Kernel panic" line and, when the module printed it (debug 1),
    from the notifier's entry line, to the BMC's answer that hands the
    controller's acknowledgement of the status over (Get Message), or for
    Linux's panic event to the BMC's answer to the Platform Event Message."""
    if not boot.tap:
        return None
    t_panic = tap_time(boot.tap, "Kernel panic - not syncing")
    t_entry = tap_time(boot.tap, "panicforkiv_panic_handler: panic process for kiv start.")
    # the stand-in driver's own line when the hook is called: the module's
    # first sign of life with debug 0
    t_hook = tap_time(boot.tap, "tarnex: tarnex_hook called")
    t_first = t_ack = t_accept = t_event = None
    fetched = False
    for e in events:
        if t_panic is None or e["t"] < t_panic:
            continue
        if e["ev"] == "request" and t_first is None:
            t_first = e["t"]
        if e["ev"] == "response" and e["cmd"] == 0x34 and t_accept is None:
            t_accept = e["t"]
        if e["ev"] == "answer-fetched":
            fetched = True
        if e["ev"] == "response" and e["cmd"] == 0x33 and fetched and t_ack is None:
            t_ack = e["t"]
        if e["ev"] == "response" and e["netfn"] == 0x05 and e["cmd"] == 0x02 and t_event is None:
            t_event = e["t"]
    done = t_ack or t_event

    def span(a, b):
        return None if a is None or b is None else b - a
    return {"panic_to_done": span(t_panic, done), "entry_to_done": span(t_entry, done),
            "hook_to_done": span(t_hook, done),
            "panic_to_first_request": span(t_panic, t_first),
            "first_request_to_done": span(t_first, done),
            "panic_to_accept": span(t_panic, t_accept)}


def ms(x):
    return "-" if x is None else "%.1f ms" % (x * 1000.0)
