"""Label delete benchmark: `tarnex -d` with 100,000 labels (5,000 of them in
the table) against a table of 10,000 lines, the changed table registered
with the stand-in driver and written back. Reports the median wall time of
the command itself (the namespace set-up excluded) and of the same run with
one label, so the cost of the labels shows apart from the rest."""

import argparse
import os
import re
import statistics
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "sandbox"))
from devfix import Machine  # noqa: E402
from sandbox import TARNEX_BIN, Sandbox  # noqa: E402

TIMED = 'date +%s%N >&2; "$@" 2>/dev/null; r=$?; date +%s%N >&2; exit $r'


def timed_delete(lines, labels):
    """Seconds taken by one `tarnex -d LABEL...` over a fresh table."""
    with Sandbox("".join("disk%d,/dev/sdb 0000:05:00.0\n" % i for i in range(lines))) as sb:
        m = Machine(sb)
        m.adapter("0000:05:00.0")
        r = sb.run_program(["/bin/sh", "-c", TIMED, "sh", TARNEX_BIN, "-d"] + labels,
                           preload=True, env=m.env(), timeout=600)
        if r.status != 0:
            sys.exit("tarnex -d ended with %d: %s" % (r.status, r.stderr[-500:]))
        left = sb.read("etc/hba_addr.conf").count("\n")
        stamps = [int(s) for s in re.findall(r"^\d+$", r.stderr, re.M)]
        return (stamps[-1] - stamps[0]) / 1e9, left


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--lines", type=int, default=10000)
    ap.add_argument("--labels", type=int, default=100000)
    ap.add_argument("--runs", type=int, default=5)
    a = ap.parse_args()
    # Every odd label: half the table's lines go, the rest are not found.
    labels = ["disk%d" % (2 * i + 1) for i in range(a.labels)]
    many = [timed_delete(a.lines, labels) for _ in range(a.runs)]
    one = [timed_delete(a.lines, labels[:1]) for _ in range(a.runs)]
    print("table: %d lines; median of %d runs" % (a.lines, a.runs))
    print("tarnex -d with %d labels: %.3f s (%d lines left)"
          % (a.labels, statistics.median(t for t, _ in many), many[0][1]))
    print("tarnex -d with 1 label:      %.3f s (%d lines left)"
          % (statistics.median(t for t, _ in one), one[0][1]))


if __name__ == "__main__":
    main()
