"""P3 on the emulated server: how long after a panic the BMC has taken the
halt status from panicforkiv, side by side with Linux's own IPMI panic
event (ipmi_msghandler panic_op=event over ipmi_si) against the same BMC.

Times are the host's CLOCK_MONOTONIC: console lines as they arrive from the
guest's serial port (emu.ConsoleTap) and the BMC's own record (bmc/bmc.py).
The guest's own time stamps do not move while the panicking CPU runs the
notifiers with interrupts off, so they cannot time this.

    python3 tests/emu/measure_p3.py [--runs N]
"""

import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu  # noqa: E402
import modlog as L  # noqa: E402
import peers  # noqa: E402
from test_module_panic import PANIC_LINE, PANIC_QEMU  # noqa: E402

CASES = [
    ("panicforkiv, debug 0", "mod_halt", ["emu.pfkdebug=0"]),
    ("panicforkiv, debug 1", "mod_halt", ["emu.pfkdebug=1"]),
    ("Linux panic_op=event", "linux_event", []),
]
FIGURES = [
    ("panic_to_done", "panic line -> BMC's acknowledgement"),
    ("entry_to_done", "notifier entry -> acknowledgement"),
    ("hook_to_done", "hook's console line -> acknowledgement"),
    ("panic_to_first_request", "panic line -> first request"),
    ("first_request_to_done", "first request -> acknowledgement"),
]


def one(kos, scenario, args):
    work = tempfile.mkdtemp(prefix="tarnex-emu-p3-")
    with peers.OwnBmc(work) as bmc:
        with emu.Server(static=False, bmc=("extern", bmc.port), extra_kos=kos) as server:
            boot = server.boot([scenario], disks=0, kernel_args=["emu.nomods=1"] + args,
                               qemu_extra=PANIC_QEMU, expect_rc=(1,), end_marker=PANIC_LINE,
                               tap=True)
            events = bmc.events()
    done = [e for e in events if e["ev"] in ("status", "event")]
    if not done:
        raise emu.EmuError("%s: the BMC got no status and no event" % scenario)
    return L.p3(boot, events)


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args(argv)
    kos = [emu.panicforkiv_module(), emu.panic_exit_module()]
    results = {name: [] for name, _, _ in CASES}
    for _ in range(args.runs):
        for name, scenario, extra in CASES:
            results[name].append(one(kos, scenario, extra))
    print("P3: panic to the BMC's acknowledgement, own BMC, QEMU TCG, %d runs each "
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
