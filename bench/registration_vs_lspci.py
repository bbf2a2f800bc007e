"""Registration time on the lab's emulated server: wall time of `tarnex -r`
against `lspci -n`, alternating in one boot, and the configuration-space
accesses each makes, counted per function by kprobes on the kernel's sysfs
config handlers.

    python3 bench/registration_vs_lspci.py
"""

import os
import re
import statistics
import sys
from collections import Counter, defaultdict

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "lab"))
import lab  # noqa: E402

SCENARIO = os.path.join(HERE, "guest", "registration_vs_lspci.sh")
EVENT = re.compile(r"\s(cfgrd|cfgwr): \(\S+\) fn=\"([^\"]*)\" off=(\d+) len=(\d+)")


def accesses(trace):
    """{function: Counter of (kind, width)} from the kprobe trace."""
    per = defaultdict(Counter)
    for line in trace.splitlines():
        m = EVENT.search(line)
        if m:
            per[m.group(2)][(m.group(1), int(m.group(4)))] += 1
    return per


def summary(boot, out=sys.stdout):
    times = defaultdict(list)
    for line in boot.read("registration_vs_lspci", "times").splitlines():
        prog, _, _, rc, usec = line.split()
        if rc != "rc=0":
            raise lab.LabError("%s failed in the timing runs: %s" % (prog, line))
        times[prog].append(int(usec.split("=")[1]) / 1000.0)
    out.write("Registration against lspci: wall time per run in one boot (ms, software "
              "emulation, %d runs each)\n" % len(times["tarnex"]))
    for prog, label in (("tarnex", "tarnex -r"), ("lspci", "lspci -n"), ("tarnex-l", "tarnex -l")):
        t = times[prog]
        out.write("  %-10s %s   median %.1f  min %.1f  max %.1f\n"
                  % (label, " ".join("%.1f" % x for x in t), statistics.median(t), min(t), max(t)))
    for prog, label in (("tarnex", "tarnex -r"), ("lspci", "lspci -n")):
        per = accesses(boot.read("registration_vs_lspci", "trace." + prog))
        reads = [sum(n for (k, _), n in c.items() if k == "cfgrd") for c in per.values()]
        writes = sum(n for c in per.values() for (k, _), n in c.items() if k == "cfgwr")
        out.write("%s: %d functions touched, %d config reads (%s per function), %d writes\n"
                  % (label, len(per), sum(reads), "/".join(str(x) for x in sorted(set(reads))),
                     writes))
        for fn in sorted(per):
            out.write("    %s  %s\n" % (fn, "  ".join(
                "%s %dB x%d" % ("read" if k == "cfgrd" else "write", w, n)
                for (k, w), n in sorted(per[fn].items()))))


def main():
    with lab.Machine(scenarios=[SCENARIO]) as m:
        summary(m.boot([SCENARIO], disks=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
