"""Panic to the BMC's acknowledgement on the lab's emulated server: how long
after a panic the BMC has taken the halt status from panicforkiv (debug 0
and 1), side by side with Linux's own IPMI panic event (ipmi_msghandler
panic_op=event over ipmi_si) against the same BMC.

Times are the host's CLOCK_MONOTONIC: console lines as they arrive from the
guest's serial port and the BMC's own record. The guest's clock stands
still while the panicking CPU runs the notifiers with interrupts off.

    python3 bench/panic_ack_latency.py [--runs N]
"""

import argparse
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lab"))
import lab  # noqa: E402

CASES = [
    ("panicforkiv, debug 0", "mod_halt", ["lab.pfkdebug=0"]),
    ("panicforkiv, debug 1", "mod_halt", ["lab.pfkdebug=1"]),
    ("Linux panic_op=event", "linux_event", []),
]
FIGURES = [
    ("panic_to_done", "panic line -> BMC's acknowledgement"),
    ("entry_to_done", "notifier entry -> acknowledgement"),
    ("hook_to_done", "hook's console line -> acknowledgement"),
    ("panic_to_first_request", "panic line -> first request"),
    ("first_request_to_done", "first request -> acknowledgement"),
]


def first(lines, text):
    return next((t for t, line in lines if text in line), None)


def figures(boot):
    """Seconds from the panic line, the notifier's entry (debug 1) and the
    stand-in driver's hook line to the BMC's answer that hands the
    controller's acknowledgement over (Get Message), or for Linux's event to
    the answer to the Platform Event Message."""
    t_panic = first(boot.lines, "Kernel panic - not syncing")
    starts = {"panic": t_panic,
              "entry": first(boot.lines, "panicforkiv_panic_handler: panic process for kiv start."),
              "hook": first(boot.lines, "tarnex: tarnex_hook called")}
    t_first = done = None
    fetched = False
    for e in boot.events:
        if e["t"] < t_panic:
            continue
        if e["ev"] == "request" and t_first is None:
            t_first = e["t"]
        fetched = fetched or e["ev"] == "answer-fetched"
        if e["ev"] == "response" and done is None and (
                (e["cmd"] == 0x33 and fetched) or (e["netfn"] == 0x05 and e["cmd"] == 0x02)):
            done = e["t"]

    def span(a, b):
        return None if a is None or b is None else b - a
    return {"panic_to_done": span(t_panic, done), "entry_to_done": span(starts["entry"], done),
            "hook_to_done": span(starts["hook"], done),
            "panic_to_first_request": span(t_panic, t_first),
            "first_request_to_done": span(t_first, done)}


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args(argv)
    results = {name: [] for name, _, _ in CASES}
    with lab.Machine() as m:
        for _ in range(args.runs):
            for name, scenario, extra in CASES:
                results[name].append(figures(m.boot([scenario], args=["lab.nomods=1"] + extra,
                                                    panic=True)))
    print("Panic to the BMC's acknowledgement, own BMC, QEMU TCG, %d runs each "
          "(median [min..max])" % args.runs)
    print("%-42s" % "" + "".join("%-28s" % name for name, _, _ in CASES))
    for key, label in FIGURES:
        row = "%-42s" % label
        for name, _, _ in CASES:
            vals = [r[key] for r in results[name] if r[key] is not None]
            row += "%-28s" % ("-" if not vals else "%.1f [%.1f..%.1f] ms" % (
                statistics.median(vals) * 1e3, min(vals) * 1e3, max(vals) * 1e3))
        print(row)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
