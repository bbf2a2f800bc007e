"""panicforkiv in a real kernel, against our own BMC (bmc/bmc.py):

- one boot: load and unload in the first kernel (debug 0 and 1, with and
  without the stand-in driver, the KCS interface from the fifth of five
  ACPI SPMI tables), the /proc file "debug", then a panic with
  no crash kernel: the hook once, the halt status at the BMC, QEMU's exit
  status 1;
- the same panic with debug 0: nothing printed, the same record;
- one boot: the same kernel and initramfs loaded as crash kernel with
  kexec -p, a panic: the notifier sees the crash kernel, the machine_kexec
  probe stops the other CPU and calls the hook; the crash kernel loads the
  module in second-kernel mode, which announces "dumping", and a write of
  2 to "message" sends "halt";
- one boot: a planned kexec reboot: the probe calls the hook, nobody
  stops, the BMC hears nothing.
"""

import os
import re
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emu  # noqa: E402
import modlog as L  # noqa: E402
import peers  # noqa: E402

V = "1.0.0"
PANIC_QEMU = ["-device", "pvpanic", "-action", "panic=exit-failure"]
PANIC_LINE = "Kernel panic - not syncing: sysrq triggered crash"
HOOK_CALLED = "tarnex: tarnex_hook called (call 1, result 0)"
HALT_OEM, DUMPING_OEM = "03 4b 0f ff", "03 4a 0f ff"
ADDR = r"\([0-9a-f]{16}\)"

# debug 1, first kernel, KCS from the SMBIOS record (QEMU has no SPMI table)
LOAD_DEBUG_FIRST = [
    "<6>panicforkiv: ver.%s initialize start." % V,
    "<6>panicforkiv: get_symbols: start.",
    "<6>panicforkiv: get_symbols: get kallsyms_lookup_name.",
    "<6>panicforkiv: get_symbols: kallsyms_lookup_name " + ADDR,
    "<6>panicforkiv: get_symbols: get bust_spinlocks.",
    "<6>panicforkiv: get_symbols: bust_spinlocks " + ADDR,
    "<6>panicforkiv: get_symbols: get saved_command_line.",
    "<6>panicforkiv: get_symbols: saved_command_line " + ADDR,
    "<6>panicforkiv: get_symbols: end.",
    "<6>panicforkiv: get_kernel_mode: start.",
    "<6>panicforkiv: get_kernel_mode: kernel command line = console=ttyS0 .*",
    "<6>panicforkiv: get_kernel_mode: kernel mode = 1st kernel",
    "<6>panicforkiv: get_kernel_mode: end.",
    # the SPMI tables of spmi_tables(), in order
    "<6>panicforkiv: SPMI" + ADDR + ": IPMI: SPMI table too short 56",
    "<6>panicforkiv: SPMI" + ADDR + ": IPMI: Bad SPMI legacy 0",
    "<6>panicforkiv: SPMI" + ADDR + ": IPMI interface is not KCS type",
    "<6>panicforkiv: SPMI" + ADDR + ": IPMI interface do not use I/O ports",
    "<6>panicforkiv: IPMI: KCS interface address: 00000ca2",
    "<6>panicforkiv: IPMI: Success. KCS interface address: 00000ca2",
    "<6>panicforkiv: get_tarnex_hook: start.",
    "<6>panicforkiv: get_tarnex_hook: end.",
    "<6>panicforkiv: ver.%s initialized." % V,
]
# the same without SPMI tables: the SMBIOS type-38 record QEMU provides
FIND_KCS_DMI = [
    "<4>panicforkiv: SPMI: Could not get SPMI table with ACPI",
    "<4>panicforkiv: IPMI: Retrieving the DMI table instead of the SPMI table.",
    "<6>panicforkiv: DMI: KCS interface address: 00000ca2",
    "<6>panicforkiv: IPMI: Success. KCS interface address: 00000ca2",
]


def spmi_body(iface=1, legacy=1, space=1, address=0xCA2, gsi=5, length=29):
    """The body of an ACPI SPMI table (after the 36-byte header, which QEMU
    builds): interface type, the reserved byte that must be 1, IPMI 2.0,
    interrupt type GSI, the GSI, the generic address of the KCS data port
    (space 1 is I/O, 0 memory) and the UID, cut to length bytes."""
    b = bytes([iface, legacy, 0x00, 0x02, 0x02, 0, 0, 0]) + gsi.to_bytes(4, "little")
    b += bytes([space, 8, 0, 1]) + address.to_bytes(8, "little") + bytes(5)
    return b[:length]


def spmi_tables(work):
    """QEMU options for five SPMI tables, tried in this order: one too short,
    one with the reserved byte 0, an SSIF interface, a KCS interface in
    memory space, and the usable KCS interface at 0xCA2."""
    bodies = [spmi_body(length=20), spmi_body(legacy=0), spmi_body(iface=4),
              spmi_body(space=0), spmi_body()]
    args = []
    for i, body in enumerate(bodies):
        path = os.path.join(work, "spmi%d.bin" % i)
        with open(path, "wb") as f:
            f.write(body)
        args += ["-acpitable", "sig=SPMI,rev=5,oem_id=TARNEX,oem_table_id=EMUSPMI%d,data=%s"
                 % (i, path)]
    return args


def kcs(frame, resp, reads):
    """The debug lines of one kcs_execute that succeeds."""
    return (["panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=%d %s " % (len(frame.split()), frame),
             "panicforkiv: kcs_write: start ...", "panicforkiv: kcs_write: exit 0",
             "panicforkiv: kcs_read: start ..."]
            + ["panicforkiv: kcs_read: READ_STATE."] * reads
            + ["panicforkiv: kcs_read: IDLE_STATE.", "panicforkiv: kcs_read: exit %d." % reads,
               "panicforkiv: kcs_execute: resp_data_len=%d %s " % (len(resp.split()), resp)])


def status_sequence(word, send_frame):
    """The debug lines of a machine-status sequence our BMC answers at once."""
    cks = ["panicforkiv: qel_ipmb_checksum: Start", "panicforkiv: qel_ipmb_checksum: Ret"] * 2
    return (["panicforkiv: Setting system status to %s start..." % word,
             "panicforkiv: ipmi_set_machine_status: start...",
             "panicforkiv: ipmi_clear_message_flags: Start"]
            + kcs("18 30 eb", "00", 3)
            + ["panicforkiv: ipmi_clear_message_flags: succeeded.",
               "panicforkiv: ipmi_clear_message_flags: Ret"]
            + cks + kcs("18 34 " + send_frame, "00", 3)
            + ["panicforkiv: ipmi_get_message_flags: Start"]
            + kcs("18 31", "00 01", 4)
            + ["panicforkiv: ipmi_get_message_flags: succeeded.",
               "panicforkiv: ipmi_get_message_flags: Ret"]
            + kcs("18 33", "00 00 c4 1c 24 20 4b 00 71", 11)
            + cks + ["panicforkiv: ipmi_set_machine_status: succeeded.",
                     "panicforkiv: Setting system status to %s succeeded." % word])


HALT_SEND = "00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e"
DUMPING_SEND = "00 24 c0 1c 20 20 4b 0a 03 4a 0f ff 10"

_boots = {}


def panic_boot():
    """Boot 1: first-kernel cases, then the panic without a crash kernel."""
    if "first" not in _boots:
        work = tempfile.mkdtemp(prefix="tarnex-emu-pfk-")
        bmc = peers.OwnBmc(work)
        try:
            server = emu.Server(static=False, bmc=("extern", bmc.port),
                                extra_kos=[emu.panicforkiv_module(),
                                           emu.panic_exit_module()])
            try:
                boot = server.boot(["mod_load", "mod_halt"], disks=0,
                                   kernel_args=["emu.nomods=1"],
                                   qemu_extra=PANIC_QEMU + spmi_tables(work),
                                   expect_rc=(1,), end_marker=PANIC_LINE, tap=True)
            finally:
                _boots.setdefault("servers", []).append(server)
        finally:
            bmc.stop()
        _boots["first"] = (boot, bmc.events())
    return _boots["first"]


def quiet_boot():
    """Boot 3: the panic without a crash kernel, debug 0."""
    if "quiet" not in _boots:
        work = tempfile.mkdtemp(prefix="tarnex-emu-pfk-")
        bmc = peers.OwnBmc(work)
        try:
            server = emu.Server(static=False, bmc=("extern", bmc.port),
                                extra_kos=[emu.panicforkiv_module(),
                                           emu.panic_exit_module()])
            try:
                boot = server.boot(["mod_halt"], disks=0,
                                   kernel_args=["emu.nomods=1", "emu.pfkdebug=0"],
                                   qemu_extra=PANIC_QEMU, expect_rc=(1,), end_marker=PANIC_LINE,
                                   tap=True)
            finally:
                _boots.setdefault("servers", []).append(server)
        finally:
            bmc.stop()
        _boots["quiet"] = (boot, bmc.events())
    return _boots["quiet"]


def kdump_boot():
    """Boot 2: kexec -p, panic, the crash kernel."""
    if "kdump" not in _boots:
        work = tempfile.mkdtemp(prefix="tarnex-emu-pfk-")
        bmc = peers.OwnBmc(work)
        try:
            server = emu.Server(static=False, bmc=("extern", bmc.port), memory=1024, kdump=True,
                                extra_kos=[emu.panicforkiv_module()])
            try:
                boot = server.boot(["kdump_first"], disks=0,
                                   kernel_args=["emu.nomods=1", "crashkernel=256M",
                                                "crash_kexec_post_notifiers"])
            finally:
                _boots.setdefault("servers", []).append(server)
        finally:
            bmc.stop()
        _boots["kdump"] = (boot, bmc.events())
    return _boots["kdump"]


def planned_kexec_boot():
    """Boot 4: kexec -l and kexec -e with the module armed; the console
    shows every level (the probe's messages are level 6 and there is no
    panic to turn the console up)."""
    if "planned" not in _boots:
        work = tempfile.mkdtemp(prefix="tarnex-emu-pfk-")
        bmc = peers.OwnBmc(work)
        try:
            server = emu.Server(static=False, bmc=("extern", bmc.port), kdump=True,
                                extra_kos=[emu.panicforkiv_module()])
            try:
                boot = server.boot(["kexec_reboot"], disks=0,
                                   kernel_args=["emu.nomods=1", "ignore_loglevel"])
            finally:
                _boots.setdefault("servers", []).append(server)
        finally:
            bmc.stop()
        _boots["planned"] = (boot, bmc.events())
    return _boots["planned"]


def tearDownModule():
    for s in _boots.get("servers", []):
        s.close()


class Steps:
    """Reading a scenario's step directories."""
    SCEN = ""

    def rd(self, *parts, default=None):
        return self.boot.read(self.SCEN, *parts, default=default)

    def mod(self, step):
        return L.module_lines(self.rd(step, "klog"))

    def assertLines(self, got, patterns):
        self.assertEqual(len(got), len(patterns), "\n".join(got))
        for g, p in zip(got, patterns):
            self.assertRegex(g, "^" + p + "$" if p.endswith(".*") or ADDR in p else
                             "^" + re.escape(p) + "$")


class FirstKernel(Steps, unittest.TestCase):
    SCEN = "mod_load"

    @classmethod
    def setUpClass(cls):
        cls.boot, cls.events = panic_boot()

    def test_load_with_debug_0_prints_the_two_version_lines(self):
        self.assertEqual(self.rd("load", "rc").strip(), "0")
        self.assertEqual(self.mod("load"), ["<6>panicforkiv: ver.%s initialize start." % V,
                                            "<6>panicforkiv: ver.%s initialized." % V])
        self.assertEqual(self.rd("load", "proc").split(), ["debug"])

    def test_the_hook_holds_the_driver_until_unload(self):
        self.assertEqual(self.rd("refcnt.before").strip(), "0")
        self.assertEqual(self.rd("load", "refcnt").strip(), "1")
        self.assertNotEqual(self.rd("drv_busy", "rc").strip(), "0", "tarnex unloaded under us")
        self.assertEqual(self.rd("unload", "refcnt").strip(), "0")
        self.assertEqual(self.mod("unload"), ["<6>panicforkiv: ver.%s removed." % V])
        self.assertEqual(self.rd("unload", "proc", default=""), "", "/proc/panicforkiv left")

    def test_debug_file_reads_and_writes(self):
        cases = [  # step, procio output, module lines
            ("debug_read", "rc=1\n0", None),
            ("debug_read_off", "rc=0\n", None),
            ("debug_w1", "rc=2\n", ["<6>panicforkiv: write /proc/panicforkiv/debug 1 len = 2"]),
            ("debug_read1", "rc=1\n1", ["<6>panicforkiv: read /proc/panicforkiv/debug 1 len = 1"]),
            ("debug_w2", "rc=-22\n", ["<6>panicforkiv: write /proc/panicforkiv/debug 2 len = -22"]),
            ("debug_wneg", "rc=-22\n",
             ["<6>panicforkiv: write /proc/panicforkiv/debug -1 len = -22"]),
            ("debug_wtext", "rc=-22\n",
             ["<6>panicforkiv: write /proc/panicforkiv/debug 0 len = -22"]),
            ("debug_wbig", "rc=4095\n",
             ["<6>panicforkiv: write /proc/panicforkiv/debug 1 len = 4095"]),
            ("debug_w0", "rc=1\n", []),
            ("debug_read0", "rc=1\n0", None),
        ]
        for step, out, lines in cases:
            with self.subTest(step=step):
                self.assertEqual(self.rd(step, "out"), out)
                if lines is not None:
                    self.assertEqual(self.mod(step), lines)
        self.assertEqual(self.rd("debug_read1", "param").strip(), "1")

    def test_load_and_unload_with_debug_1(self):
        self.assertLines(self.mod("load_dbg"), LOAD_DEBUG_FIRST)
        self.assertEqual(self.mod("unload_dbg"), ["<6>panicforkiv: put_tarnex_hook: start.",
                                                  "<6>panicforkiv: put_tarnex_hook: end.",
                                                  "<6>panicforkiv: ver.%s removed." % V])

    def test_no_kernel_warnings(self):
        log = self.rd("dmesg")
        self.assertTrue(log)
        for bad in ("WARNING:", "BUG:", "Call Trace", "general protection", "Oops"):
            self.assertNotIn(bad, log)

    def test_without_the_driver_load_goes_on_without_the_hook(self):
        self.assertEqual(self.rd("drv_out", "rc").strip(), "0")
        self.assertEqual(self.rd("load_nodrv", "rc").strip(), "0")
        self.assertEqual(self.mod("load_nodrv"), [
            "<6>panicforkiv: ver.%s initialize start." % V,
            "<3>panicforkiv: cannot get tarnex_hook symbol.",
            "<6>panicforkiv: ver.%s initialized." % V])
        self.assertEqual(self.rd("load_nodrv", "proc").split(), ["debug"])
        self.assertEqual(self.mod("unload_nodrv"), ["<6>panicforkiv: ver.%s removed." % V])


class PanicWithoutCrashKernel(Steps, unittest.TestCase):
    SCEN = "mod_halt"

    @classmethod
    def setUpClass(cls):
        cls.boot, cls.events = panic_boot()
        cls.console = L.console_lines(cls.boot.console)

    def test_qemu_exit_status_shows_the_panic(self):
        self.assertEqual(self.boot.rc, 1)
        self.assertEqual(self.rd("arm", "rc").strip(), "0")
        self.assertEqual(self.rd("hook.before").strip(), "calls=0")

    def test_notifier_calls_the_hook_once_and_sends_halt(self):
        want = ([PANIC_LINE,
                 "panicforkiv: panicforkiv_panic_handler: panic process for kiv start.",
                 "panicforkiv: panicforkiv_panic_handler: kdump is not ready.",
                 HOOK_CALLED]
                + status_sequence("halt", HALT_SEND)
                + ["panicforkiv: Sending ipmi message succeeded.",
                   "panicforkiv: panicforkiv_panic_handler: panic process for kiv completed.",
                   "panic_exit: last panic notifier, telling QEMU"])
        start = self.console.index(want[1])
        got = [l for l in self.console[start:] if l.startswith(("panicforkiv:", "tarnex:",
                                                                "panic_exit:"))]
        self.assertEqual(got, want[1:])
        self.assertIsNone(L.in_order(self.console, want[:2]))
        self.assertEqual(sum("tarnex_hook called" in l for l in self.console), 1)

    def test_bmc_records_halt(self):
        st = [e for e in self.events if e["ev"] == "status"]
        self.assertEqual([(e["status"], e["code"], e["oem"]) for e in st],
                         [("halt", 0x0B, HALT_OEM)])
        reqs = [(e["netfn"], e["cmd"], e["data"]) for e in self.events if e["ev"] == "request"]
        self.assertEqual(reqs, [(6, 0x30, "eb"), (6, 0x34, HALT_SEND), (6, 0x31, ""),
                                (6, 0x33, "")])
        self.assertFalse([e for e in self.events if e["ev"] in ("bad-message", "early-message",
                                                                 "ipmb-dropped")])

    def test_p3_is_measured(self):
        p = L.p3(self.boot, self.events)
        sys.stderr.write("\nP3 (debug 1, own BMC): notifier entry -> acknowledgement %s, "
                         "panic line -> acknowledgement %s\n"
                         % (L.ms(p["entry_to_done"]), L.ms(p["panic_to_done"])))
        self.assertGreater(p["entry_to_done"], 0)
        self.assertLess(p["entry_to_done"], 30.0)


class QuietPanic(Steps, unittest.TestCase):
    SCEN = "mod_halt"

    @classmethod
    def setUpClass(cls):
        cls.boot, cls.events = quiet_boot()
        cls.console = L.console_lines(cls.boot.console)

    def test_with_debug_0_the_panic_path_prints_nothing_and_sends_halt(self):
        self.assertEqual(self.boot.rc, 1)
        self.assertEqual(self.mod("arm"), ["<6>panicforkiv: ver.%s initialize start." % V,
                                           "<6>panicforkiv: ver.%s initialized." % V])
        after = self.console[self.console.index(PANIC_LINE):]
        self.assertEqual([l for l in after if l.startswith("panicforkiv")], [])
        self.assertIsNone(L.in_order(after, [HOOK_CALLED,
                                             "panic_exit: last panic notifier, telling QEMU"]))
        self.assertEqual(sum("tarnex_hook called" in l for l in self.console), 1)
        st = [(e["status"], e["oem"]) for e in self.events if e["ev"] == "status"]
        self.assertEqual(st, [("halt", HALT_OEM)])
        p = L.p3(self.boot, self.events)
        sys.stderr.write("\nP3 (debug 0, own BMC): panic line -> acknowledgement %s\n"
                         % L.ms(p["panic_to_done"]))


class Kdump(Steps, unittest.TestCase):
    SCEN = "kdump_second"

    @classmethod
    def setUpClass(cls):
        cls.boot, cls.events = kdump_boot()
        cls.console = L.console_lines(cls.boot.console)

    def test_crash_kernel_was_loaded(self):
        self.assertEqual(self.boot.read("kdump_first", "kexec", "rc").strip(), "0",
                         self.boot.read("kdump_first", "kexec", "err"))
        self.assertEqual(self.boot.read("kdump_first", "kexec", "loaded").strip(), "1")
        self.assertEqual(self.boot.read("kdump_first", "hook.before").strip(), "calls=0")

    def test_first_kernel_finds_the_kcs_interface_in_smbios(self):
        got = L.module_lines(self.boot.read("kdump_first", "arm", "klog"))
        self.assertIn("<6>panicforkiv: get_kernel_mode: kernel mode = 1st kernel", got)
        i = got.index(FIND_KCS_DMI[0])
        self.assertEqual(got[i:i + len(FIND_KCS_DMI)], FIND_KCS_DMI)

    def test_notifier_leaves_the_hook_to_the_probe(self):
        first = self.console[:self.console.index(
            next(l for l in self.console if "kernel=crash" in l))]
        want = [PANIC_LINE,
                "panicforkiv: panicforkiv_panic_handler: panic process for kiv start.",
                "panicforkiv: panicforkiv_panic_handler: kdump is ready.",
                "panicforkiv: panicforkiv_panic_handler: panic process for kiv completed.",
                "panicforkiv: panic process for kiv start.",
                "xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=1",
                # panic() has already stopped the other CPU with an NMI: it
                # never answers the module's stop request
                "xen_smp_send_stop: smp_send_stop timeout allbutme=1",
                "panicforkiv: tarnex_hook start.",
                HOOK_CALLED,
                "panicforkiv: panic process for kiv completed."]
        self.assertIsNone(L.in_order(first, want))
        for never in ("kdump is not ready.", "Setting system status to halt", "WARNING:"):
            self.assertFalse([l for l in first if never in l], never)
        self.assertEqual(sum("tarnex_hook called" in l for l in self.console), 1)

    def test_crash_kernel_announces_dumping(self):
        self.assertIn("kernel=crash", self.boot.console)
        got = self.mod("load")
        self.assertIn("<6>panicforkiv: get_kernel_mode: kernel mode = 2nd kernel", got)
        tail = got[got.index("<6>panicforkiv: Please wait for a few seconds."):]
        self.assertEqual([l for l in tail if not re.search(r": (kcs_|qel_|ipmi_)", l)], [
            "<6>panicforkiv: Please wait for a few seconds.",
            "<6>panicforkiv: Setting system status to dumping.",
            "<6>panicforkiv: Setting system status to dumping start...",
            "<6>panicforkiv: Setting system status to dumping succeeded.",
            "<6>panicforkiv: Sending ipmi message succeeded.",
            "<6>panicforkiv: ver.%s initialized." % V])
        self.assertEqual(self.rd("load", "proc").split(), ["debug", "message"])
        # five naps of 250 ticks (HZ 250) before the announcement
        times = {m: t for _, t, m in L.klog(self.rd("load", "klog"))}
        waited = (times["panicforkiv: Setting system status to dumping."]
                  - times["panicforkiv: Please wait for a few seconds."])
        self.assertGreater(waited, 4.9)
        log = self.boot.read("dmesg")
        for bad in ("WARNING:", "BUG:", "Call Trace"):
            self.assertNotIn(bad, log)

    def test_message_file_sends_halt(self):
        self.assertEqual(self.rd("msg_read", "out"), "rc=1\n0")
        self.assertEqual(self.rd("msg_halt", "out"), "rc=1\n")
        got = self.mod("msg_halt")
        self.assertEqual([l for l in got if not re.search(r": (kcs_|qel_|ipmi_)", l)], [
            "<6>panicforkiv: Setting system status to halt start...",
            "<6>panicforkiv: Setting system status to halt succeeded.",
            "<6>panicforkiv: write /proc/panicforkiv/message 2 len = 1",
            "<6>panicforkiv: Sending ipmi message succeeded."])
        self.assertEqual(self.rd("msg_read2", "out"), "rc=1\n2")
        self.assertEqual(self.rd("msg_bad", "out"), "rc=-22\n")
        self.assertEqual(self.mod("msg_bad"), [
            "<6>panicforkiv: write /proc/panicforkiv/message 3 len = -22",
            "<3>panicforkiv: Sending impi message failed."])
        self.assertEqual(self.rd("msg_read3", "out"), "rc=1\n2")
        self.assertEqual(self.mod("unload"), ["<6>panicforkiv: ver.%s removed." % V])

    def test_bmc_records_dumping_then_halt(self):
        st = [(e["status"], e["code"], e["oem"]) for e in self.events if e["ev"] == "status"]
        self.assertEqual(st, [("dumping", 0x0A, DUMPING_OEM), ("halt", 0x0B, HALT_OEM)])
        sends = [e["data"] for e in self.events if e["ev"] == "request" and e["cmd"] == 0x34]
        self.assertEqual(sends, [DUMPING_SEND, HALT_SEND])
        self.assertEqual(len([e for e in self.events if e["ev"] == "answer-fetched"]), 2)


class PlannedKexec(Steps, unittest.TestCase):
    SCEN = "kexec_reboot"

    @classmethod
    def setUpClass(cls):
        cls.boot, cls.events = planned_kexec_boot()
        cls.console = L.console_lines(cls.boot.console)

    def test_probe_calls_the_hook_on_the_way_out(self):
        self.assertEqual(self.rd("load", "rc").strip(), "0", self.rd("load", "err"))
        self.assertEqual(self.rd("hook.before").strip(), "calls=0")
        # machine_shutdown() has taken the other CPU offline before
        # machine_kexec: nothing to stop, no wait
        want = ["kexec_core: Starting new kernel",
                "panicforkiv: panic process for kiv start.",
                "xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=0",
                "xen_smp_send_stop: smp_send_stop msecs=1000 allbutme=0",
                "panicforkiv: tarnex_hook start.",
                HOOK_CALLED,
                "panicforkiv: panic process for kiv completed."]
        self.assertIsNone(L.in_order(self.console, want))
        self.assertEqual(sum("tarnex_hook called" in l for l in self.console), 1)
        self.assertFalse([l for l in self.console if "WARNING:" in l or "BUG:" in l])

    def test_the_new_kernel_came_up_and_nobody_told_the_bmc(self):
        self.assertIn("emu.scen=kexec_after", self.boot.read("kexec_after", "cmdline"))
        self.assertEqual(self.boot.read("kexec_after", "hook").strip(), "calls=0")
        self.assertEqual([e for e in self.events if e["ev"] in ("request", "status")], [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
