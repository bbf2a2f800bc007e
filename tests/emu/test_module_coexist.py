"""panicforkiv beside the kernel's own IPMI driver on the same KCS interface
(ipmi_si and ipmi_devintf bound to it, ipmi_msghandler panic_op=event),
with Get Device ID requests in flight through /dev/ipmi0:

- a panic: the BMC gets the kernel's Platform Event Message and the
  module's halt status, each whole, and the hook is called once;
- kdump (no post-notifiers): the first kernel stops in the middle of
  ipmi_si's traffic, and the crash kernel's module still announces
  "dumping" (and "halt" through /proc) whole;
- ipmi_si busy in the crash kernel itself: the same.

Each case prints what the BMC recorded (message, order, host-clock time
after the console's panic line).
"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu  # noqa: E402
import modlog as L  # noqa: E402
import peers  # noqa: E402
from test_module_panic import (HALT_OEM, HALT_SEND, HOOK_CALLED,  # noqa: E402
                               PANIC_LINE, PANIC_QEMU)

# generator 0x41 (kernel), revision 3, OS critical stop, the panic text's
# first three letters ("sys", of "sysrq triggered crash"), runtime stop
LINUX_EVENT = "41 03 20 73 6f a1 79 73"
MODULE_REQUESTS = [(6, 0x30, "eb"), (6, 0x34, HALT_SEND), (6, 0x31, ""), (6, 0x33, "")]
_boots = {}


def boot(name, scenario, kernel_args, kdump=False):
    if name not in _boots:
        work = tempfile.mkdtemp(prefix="tarnex-emu-coexist-")
        # answers to Get Device ID take 50 ms, so that ipmi_si's requests
        # are in flight at any moment
        bmc = peers.OwnBmc(work, slow_ms=50)
        try:
            kos = [emu.panicforkiv_module()] + ([] if kdump else [emu.panic_exit_module()])
            server = emu.Server(static=False, bmc=("extern", bmc.port), extra_kos=kos,
                                kdump=kdump, memory=1024 if kdump else 512)
            _boots.setdefault("servers", []).append(server)
            if kdump:
                # no crash_kexec_post_notifiers: the CPUs stop wherever
                # ipmi_si was, as on a default kdump setup
                b = server.boot([scenario], disks=0, kernel_args=[
                    "emu.nomods=1", "crashkernel=256M"] + kernel_args, tap=True)
            else:
                b = server.boot([scenario], disks=0, kernel_args=["emu.nomods=1"] + kernel_args,
                                qemu_extra=PANIC_QEMU, expect_rc=(1,), end_marker=PANIC_LINE,
                                tap=True)
        finally:
            bmc.stop()
        _boots[name] = (b, bmc.events())
        report(name, *_boots[name])
    return _boots[name]


def after_panic(b, events):
    t0 = L.tap_time(b.tap, "Kernel panic - not syncing")
    return t0, [e for e in events if t0 is not None and e["t"] >= t0]


def report(name, b, events):
    """What the BMC recorded from the panic on, for the closing note."""
    t0, evs = after_panic(b, events)
    out = ["\n%s (%s): BMC record after the panic line" % (name, emu.kernel_release())]
    for e in evs:
        if e["ev"] in ("request", "event", "status", "bad-message", "ipmb-dropped",
                       "answer-fetched", "connect", "disconnect"):
            what = {k: v for k, v in e.items() if k not in ("t", "ev")}
            out.append("  +%8.1f ms %-14s %s" % ((e["t"] - t0) * 1000, e["ev"], what))
    sys.stderr.write("\n".join(out) + "\n")


def module_requests(evs):
    return [(e["netfn"], e["cmd"], e["data"]) for e in evs
            if e["ev"] == "request" and e["netfn"] == 6 and e["cmd"] in (0x30, 0x31, 0x33, 0x34)]


class InFlightAtPanic(unittest.TestCase):
    """Requests in flight through /dev/ipmi0 when the kernel panics."""

    @classmethod
    def setUpClass(cls):
        cls.boot, cls.events = boot("ipmi_si busy at panic", "coexist", ["emu.ipmiload=4"])
        cls.console = L.console_lines(cls.boot.console)

    def test_ipmi_si_holds_the_interface_and_traffic_flows(self):
        self.assertIn("/dev/ipmi0", self.boot.read("coexist", "si", "dev"))
        self.assertIn("0ca2-0ca2 : ipmi_si", self.boot.read("coexist", "si", "ioports"))
        self.assertEqual(self.boot.read("coexist", "arm", "rc").strip(), "0")
        t0, _ = after_panic(self.boot, self.events)
        self.assertGreater(len([e for e in self.events if e["ev"] == "request"
                                and e["cmd"] == 1 and e["t"] < t0]), 16)
        self.assertIn("bad=0", self.boot.read("coexist", "ipmiload.before"))

    def test_bmc_gets_the_event_and_the_halt_status_whole(self):
        self.assertEqual(self.boot.rc, 1)
        _, evs = after_panic(self.boot, self.events)
        self.assertEqual([e["data"] for e in evs if e["ev"] == "event"], [LINUX_EVENT])
        self.assertEqual([(e["status"], e["oem"]) for e in evs if e["ev"] == "status"],
                         [("halt", HALT_OEM)])
        self.assertEqual(module_requests(evs), MODULE_REQUESTS)
        self.assertFalse([e for e in self.events if e["ev"] in ("bad-message", "ipmb-dropped")])
        self.assertIsNone(L.in_order(self.console, [
            PANIC_LINE, "panicforkiv: panicforkiv_panic_handler: kdump is not ready.",
            HOOK_CALLED, "panicforkiv: Sending ipmi message succeeded.",
            "panic_exit: last panic notifier, telling QEMU"]))
        self.assertEqual(sum("tarnex_hook called" in l for l in self.console), 1)


class KdumpBesideIpmiSi(unittest.TestCase):
    """Under kdump no panic notifier runs: the crash kernel's module meets
    the interface in the middle of whatever ipmi_si was doing when the
    first kernel's CPUs stopped."""
    NAME, ARGS = "kdump, ipmi_si busy", ["emu.ipmisi=1", "emu.ipmiload=4"]

    @classmethod
    def setUpClass(cls):
        cls.boot, cls.events = boot(cls.NAME, "kdump_first", cls.ARGS, kdump=True)
        klog = L.module_lines(cls.boot.read("kdump_second", "load", "klog", default=""))
        sys.stderr.write("%s: the crash kernel's first write steps: %s\n" % (cls.NAME, " | ".join(
            [l for l in klog if ": kcs_write:" in l or ": recover:" in l][:5])))

    def test_crash_kernel_announces_dumping(self):
        if "emu.ipmisi=1" in self.ARGS:
            self.assertIn("0ca2-0ca2 : ipmi_si",
                          self.boot.read("kdump_first", "si", "ioports"))
        self.assertEqual(self.boot.read("kdump_first", "kexec", "rc").strip(), "0")
        self.assertIn("<6>panicforkiv: Setting system status to dumping succeeded.",
                      L.module_lines(self.boot.read("kdump_second", "load", "klog")))
        _, evs = after_panic(self.boot, self.events)
        self.assertEqual([(e["status"], e["oem"]) for e in evs if e["ev"] == "status"],
                         [("dumping", "03 4a 0f ff"), ("halt", HALT_OEM)])
        self.assertFalse([e for e in self.events if e["ev"] in ("bad-message", "ipmb-dropped")])
        self.assertEqual([e["ev"] for e in evs if e["ev"] == "event"], [])
        self.assertEqual(sum("tarnex_hook called" in l for l in L.console_lines(
            self.boot.console)), 1)

    def test_the_crash_kernel_recovers_the_interface_ipmi_si_left(self):
        if "emu.ipmisi=1" not in self.ARGS:
            self.skipTest("ipmi_si only in the crash kernel")
        klog = L.module_lines(self.boot.read("kdump_second", "load", "klog"))
        first = [l for l in klog if ": kcs_write: " in l][:4]
        self.assertEqual(first, ["<6>panicforkiv: kcs_write: start ...",
                                 "<3>panicforkiv: kcs_write: not WRITE_STATE.",
                                 "<6>panicforkiv: kcs_write: exit 2",
                                 "<6>panicforkiv: kcs_write: start ..."])


class CrashKernelBesideBusyIpmiSi(KdumpBesideIpmiSi):
    """ipmi_si busy in the crash kernel itself while the module talks."""
    NAME, ARGS = "crash kernel with ipmi_si busy", ["emu.crashsi=4"]


def tearDownModule():
    for s in _boots.get("servers", []):
        s.close()


if __name__ == "__main__":
    unittest.main(verbosity=2)
