"""End-to-end scenarios in the lab's emulated server: what only a real kernel
shows (its SCSI_IOCTL_GET_PCI, sysfs configuration space and hot-plug
registers, the 32-bit compat ioctl path, ACPI and SMBIOS, procfs, panic,
kdump and kexec, a KCS BMC on the other side).

    python3 tests/lab/test_scenarios.py BOOT     # one boot and its rows

Each row names a boot, a step directory the guest wrote (or none: the boot
itself) and what must be there, literally.
"""

import glob
import os
import re
import sys
import unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(TOP, "lab"))
import lab  # noqa: E402
import records as R  # noqa: E402

V = "1.0.0"
HOOK = "tarnex: tarnex_hook called (call 1, result 0)"
HALT_SEND = "00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e"
HALT = [("halt", 0x0B, "03 4b 0f ff")]
DUMPING = [("dumping", 0x0A, "03 4a 0f ff")]
HALT_REQUESTS = [(6, 0x30, "eb"), (6, 0x34, HALT_SEND), (6, 0x31, ""), (6, 0x33, "")]


def spmi_tables(work):
    """QEMU options for five ACPI SPMI tables, tried in this order: one too
    short, one with the reserved byte 0, an SSIF interface, a KCS interface
    in memory space, and the usable KCS interface at 0xCA2."""
    def body(iface=1, legacy=1, space=1, length=29):
        b = bytes([iface, legacy, 0, 2, 2, 0, 0, 0, 5, 0, 0, 0, space, 8, 0, 1])
        return (b + (0xCA2).to_bytes(8, "little") + bytes(5))[:length]
    args = []
    for i, b in enumerate([body(length=20), body(legacy=0), body(iface=4), body(space=0), body()]):
        path = os.path.join(work, "spmi%d.bin" % i)
        with open(path, "wb") as f:
            f.write(b)
        args += ["-acpitable", "sig=SPMI,rev=5,oem_id=TARNEX,oem_table_id=LABSPMI%d,data=%s"
                 % (i, path)]
    return args


PANIC_END = dict(panic=True, args=["lab.nomods=1"])
BOOTS = {  # name: (Machine options, boot options)
    "server": ({}, dict(scenarios=["add", "register", "edit", "mod_load", "mod_halt"], disks=2,
                        panic=True, spmi=True)),
    "kdump": (dict(kdump=True, memory=1024),
              dict(scenarios=["kdump_first"],
                   args=["lab.nomods=1", "crashkernel=256M", "crash_kexec_post_notifiers"])),
    "kexec": (dict(kdump=True), dict(scenarios=["kexec_reboot"], panic=True,
                                     args=["lab.nomods=1", "ignore_loglevel"])),
    "ipmi_sim": (dict(bmc="ipmi_sim"), dict(scenarios=["mod_halt"], **PANIC_END)),
    "linux_event": ({}, dict(scenarios=["linux_event"], **PANIC_END)),
}


def hba(bus_id, revision_id, pm_cap, alt_pm=0):
    d, b, df = bus_id.split(":")
    return dict(magic=R.HBA_INFO_MAGIC, alt_pm=alt_pm, domain=int(d, 16), bus=int(b, 16),
                device=int(df[:2], 16), function=int(df[3]), revision_id=revision_id,
                pm_cap=pm_cap, header_type=0, bus_id=bus_id)


def bridge(bus_id, secondary_bus, hbas, shpc, slots=(1, 31)):
    """The machine's bridges: xio3130 downstream ports (revision 1, PCI
    Express capability at 0x90) and SHPC bridges (SHPC at 0x40, 31 slots
    from device 1 at 33 MHz conventional PCI; slots (0, 0) while no
    adapter's search has reached the bridge)."""
    d, b, df = bus_id.split(":")
    regs = slots + (0x1F, 0, 0xE001011F, 0x01000000) if shpc else (0, 0, 0, 0, 0, 0)
    return dict(magic=R.BRIDGE_SHPC if shpc else R.BRIDGE_PCIE, domain=0, bus=int(b, 16),
                device=int(df[:2], 16), function=0, revision_id=0 if shpc else 1, header_type=1,
                bus_id=bus_id, class_code=0x604, secondary_bus=secondary_bus,
                cap_offset=0x40 if shpc else 0x90,
                **dict(zip(("first_device", "slot_count", "slots_available1", "slots_available2",
                            "slot_config", "sec_bus_config"), regs)),
                hba_count=len(hbas), hbas=hbas)


def fe00(hbas):
    return dict(request=R.HBA_ARRAY, result=0, errno=0, compat=1, count=len(hbas),
                err_num=0, hbas=hbas, problems=[])


def fe01(b1, b2, b3, b4, total_size, max_hba_count, b4_slots=(1, 31)):
    """The bridge table in the kernel's /sys/bus/pci/devices order."""
    return dict(request=R.SHPC_TABLE, result=0, errno=0, compat=1, count=4,
                total_size=total_size, max_hba_count=max_hba_count, err_num=0, device_err_num=0,
                bridges=[bridge("0000:02:00.0", 3, b1, False), bridge("0000:05:01.0", 6, b2, True),
                         bridge("0000:02:01.0", 4, b3, False),
                         bridge("0000:00:05.0", 5, b4, True, b4_slots)],
                problems=[])


NIC, NVME = hba("0000:00:06.0", 0, 0xC8), hba("0000:04:00.0", 2, 0x60)
GOOD = [fe00([NIC]), fe01([], [hba("0000:06:03.0", 9, 0xDC, 1)], [NVME],
                          [hba("0000:05:02.0", 9, 0xDC, 1)], 464, 1)]
RENAMED = """\
# power-managed functions of the emulated server
nic,/dev/lab0 0000:00:06.0
flash,/dev/lab1 0000:04:00.0 # behind downstream port 02:01.0
slotb,/dev/lab2 0000:06:03.0 # behind the SHPC bridge 05:01.0

slota,/dev/lab3 0000:05:02.0
twice,/dev/lab4 0000:04:00.0
"""
ETC, ETC1 = "alterpm.conf\nhba_addr.conf\n", "alterpm.conf\nhba_addr.conf\nhba_addr.conf.1\n"
NO_PM = ("device %s is not under the control of SHPC and it dose not have the power "
         "management function.")
LOADED = ["<6>panicforkiv: ver.%s initialize start." % V, "<6>panicforkiv: ver.%s initialized." % V]
REMOVED = ["<6>panicforkiv: ver.%s removed." % V]
PANIC = [lab.PANIC_LINE, "panicforkiv: panicforkiv_panic_handler: panic process for kiv start."]
HANDLER = "panicforkiv: panicforkiv_panic_handler: "

ROWS = [
    # -a: the kernel's SCSI_IOCTL_GET_PCI names the adapter behind each disk
    ("server", "add/add_sda", dict(rc="7\n", err="ERROR: there was a fatal error(ce2).\n",
                                   table="", etc=ETC, log=[NO_PM % "0000:03:00.0"], received=[])),
    ("server", "add/add_sdb", dict(rc="7\n", log=[NO_PM % "0000:06:02.0"], received=[])),
    ("server", "add/add_pm", dict(
        rc="0\n", err="", etc=ETC1,
        table="/dev/disk/lab-shpc,{S} 0000:06:04.0\n{P}1,{P} 0000:04:00.0\n",
        received=[fe00([]), fe01([], [hba("0000:06:04.0", 9, 0xDC)], [NVME], [], 428, 1, (0, 0))])),
    # -r: sysfs configuration space and SHPC registers, through the compat ioctl
    ("server", "register/register", dict(rc="0\n", err="", received=GOOD)),
    # a rename registers, then writes; a refusal leaves the table as it was
    ("server", "edit/rename", dict(rc="0\n", table=RENAMED, etc=ETC1, received=GOOD)),
    ("server", "edit/delete_refused", dict(
        rc="20\n", err="ERROR: /dev/tarnex: an input/output error has occurred(5:e73).\n",
        table=RENAMED, etc=ETC1, received=[GOOD[0], dict(GOOD[1], result=-1, errno=5)],
        log=["err_num 2 device_err_num 1", "feedbeef 0 0000:05:01.0(0) 0",
             "604 6 40 1 1f 1f 0 e001011f 1000000 0", "beef2bad 1 0000:06:03.0(9) dc"])),
    # panicforkiv's load, its hold on the driver, /proc and unload
    ("server", "mod_load/load", dict(rc="0\n", klog=LOADED, proc="debug\n", refcnt="1\n")),
    ("server", "mod_load/drv_busy", dict(rc="1\n")),
    ("server", "mod_load/debug_read", dict(out="rc=1\n0")),
    ("server", "mod_load/debug_w1", dict(out="rc=2\n", klog=[
        "<6>panicforkiv: write /proc/panicforkiv/debug 1 len = 2"])),
    ("server", "mod_load/debug_read1", dict(out="rc=1\n1")),
    ("server", "mod_load/debug_w2", dict(out="rc=-22\n", klog=[
        "<6>panicforkiv: write /proc/panicforkiv/debug 2 len = -22"])),
    ("server", "mod_load/debug_wbig", dict(out="rc=4095\n", klog=[
        "<6>panicforkiv: write /proc/panicforkiv/debug 1 len = 4095"])),
    ("server", "mod_load/debug_w0", dict(out="rc=1\n", klog=[])),
    ("server", "mod_load/unload", dict(klog=REMOVED, refcnt="0\n", proc="ls: /proc/panicforkiv: "
                                       "No such file or directory\n")),
    # debug 1: the KCS interface from the fifth of five ACPI SPMI tables
    ("server", "mod_load/load_dbg", dict(klog=[
        "<6>panicforkiv: ver.%s initialize start." % V,
        "<6>panicforkiv: get_symbols: start.",
        "<6>panicforkiv: get_symbols: get kallsyms_lookup_name.",
        "<6>panicforkiv: get_symbols: kallsyms_lookup_name (ADDR)",
        "<6>panicforkiv: get_symbols: get bust_spinlocks.",
        "<6>panicforkiv: get_symbols: bust_spinlocks (ADDR)",
        "<6>panicforkiv: get_symbols: get saved_command_line.",
        "<6>panicforkiv: get_symbols: saved_command_line (ADDR)",
        "<6>panicforkiv: get_symbols: end.",
        "<6>panicforkiv: get_kernel_mode: start.",
        "<6>panicforkiv: get_kernel_mode: kernel command line = ...",
        "<6>panicforkiv: get_kernel_mode: kernel mode = 1st kernel",
        "<6>panicforkiv: get_kernel_mode: end.",
        "<6>panicforkiv: SPMI(ADDR): IPMI: SPMI table too short 56",
        "<6>panicforkiv: SPMI(ADDR): IPMI: Bad SPMI legacy 0",
        "<6>panicforkiv: SPMI(ADDR): IPMI interface is not KCS type",
        "<6>panicforkiv: SPMI(ADDR): IPMI interface do not use I/O ports",
        "<6>panicforkiv: IPMI: KCS interface address: 00000ca2",
        "<6>panicforkiv: IPMI: Success. KCS interface address: 00000ca2",
        "<6>panicforkiv: get_tarnex_hook: start.",
        "<6>panicforkiv: get_tarnex_hook: end.",
        "<6>panicforkiv: ver.%s initialized." % V])),
    ("server", "mod_load/unload_dbg", dict(klog=[
        "<6>panicforkiv: put_tarnex_hook: start.", "<6>panicforkiv: put_tarnex_hook: end."]
        + REMOVED)),
    ("server", "mod_load/load_nodrv", dict(rc="0\n", klog=[
        LOADED[0], "<3>panicforkiv: cannot get tarnex_hook symbol.", LOADED[1]])),
    # a panic without a crash kernel: the hook once, "halt" at the BMC
    ("server", "mod_halt/arm", dict(rc="0\n")),
    ("server", None, dict(hook_calls=1, bmc_status=HALT, bmc_requests=HALT_REQUESTS,
                          console=PANIC + [
        HANDLER + "kdump is not ready.", HOOK,
        "panicforkiv: Setting system status to halt start...",
        "panicforkiv: Setting system status to halt succeeded.",
        "panicforkiv: Sending ipmi message succeeded.",
        HANDLER + "panic process for kiv completed.",
        "panic_exit: last panic notifier, telling QEMU"])),
    # kdump: the KCS interface from SMBIOS, the probe calls the hook, the
    # crash kernel announces "dumping", "message" sends "halt"
    ("kdump", "kdump_first/kexec", dict(rc="0\n", loaded="1\n")),
    ("kdump", "kdump_first/arm", dict(klog_has=[
        "<4>panicforkiv: SPMI: Could not get SPMI table with ACPI",
        "<4>panicforkiv: IPMI: Retrieving the DMI table instead of the SPMI table.",
        "<6>panicforkiv: DMI: KCS interface address: 00000ca2",
        "<6>panicforkiv: IPMI: Success. KCS interface address: 00000ca2"])),
    ("kdump", "kdump_second/load", dict(proc="debug\nmessage\n", klog_has=[
        "<6>panicforkiv: get_kernel_mode: kernel mode = 2nd kernel"], klog_quiet_tail=[
        "<6>panicforkiv: Please wait for a few seconds.",
        "<6>panicforkiv: Setting system status to dumping.",
        "<6>panicforkiv: Setting system status to dumping start...",
        "<6>panicforkiv: Setting system status to dumping succeeded.",
        "<6>panicforkiv: Sending ipmi message succeeded.", LOADED[1]])),
    ("kdump", "kdump_second/msg_halt", dict(out="rc=1\n")),
    ("kdump", "kdump_second/msg_read", dict(out="rc=1\n2")),
    ("kdump", "kdump_second/msg_bad", dict(out="rc=-22\n", klog=[
        "<6>panicforkiv: write /proc/panicforkiv/message 3 len = -22",
        "<3>panicforkiv: Sending impi message failed."])),
    ("kdump", "kdump_second/unload", dict(klog=REMOVED)),
    ("kdump", None, dict(hook_calls=1, bmc_status=DUMPING + HALT, console=PANIC + [
        HANDLER + "kdump is ready.", HANDLER + "panic process for kiv completed.",
        "panicforkiv: panic process for kiv start.",
        "xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=1",
        # panic() has stopped the other CPU with an NMI already: no answer
        "xen_smp_send_stop: smp_send_stop timeout allbutme=1",
        "panicforkiv: tarnex_hook start.", HOOK,
        "panicforkiv: panic process for kiv completed.",
        "LAB-INIT kernel=crash scen=kdump_second"])),
    # a planned kexec: the probe calls the hook, nobody stops, the BMC hears
    # nothing; in the new kernel, debug 0: a panic that prints nothing of
    # the module's own and sends "halt"
    ("kexec", "kexec_after/arm", dict(klog=LOADED)),
    ("kexec", None, dict(hook_calls=2, bmc_status=HALT, bmc_requests=HALT_REQUESTS,
                         quiet_after_panic=True, console=[
        "kexec_core: Starting new kernel", "panicforkiv: panic process for kiv start.",
        "xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=0",
        "xen_smp_send_stop: smp_send_stop msecs=1000 allbutme=0",
        "panicforkiv: tarnex_hook start.", HOOK, "panicforkiv: panic process for kiv completed.",
        "LAB-SCEN kexec_after", lab.PANIC_LINE, HOOK,
        "panic_exit: last panic notifier, telling QEMU"])),
    # OpenIPMI's ipmi_sim: the transport works, its answer fails the checksums
    ("ipmi_sim", None, dict(hook_calls=1, console=[
        HANDLER + "kdump is not ready.", HOOK,
        "panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=15 18 34 %s " % HALT_SEND,
        "panicforkiv: kcs_execute: resp_data_len=1 00 ",
        "panicforkiv: ipmi_set_machine_status: Check sum Error.",
        "panicforkiv: Setting system status to halt failed.",
        "panicforkiv: Sending ipmi message failed.",
        HANDLER + "panic process for kiv completed."])),
    # Linux's own panic event through ipmi_si: generator 0x41, revision 3,
    # OS critical stop 0x20, "sys", sensor-specific 0x6f, runtime stop 0xa1
    ("linux_event", "linux_event/si", dict(rc="0\n", dev="/dev/ipmi0\n")),
    ("linux_event", None, dict(bmc_events=["41 03 20 73 6f a1 79 73"])),
]


def lab_read(path):
    with open(path, encoding="latin-1") as f:
        return f.read()


def console_lines(text):
    return [re.sub(r"^\[\s*[0-9.]+\] ?", "", l.rstrip("\r")) for l in text.splitlines()]


def module_lines(klog):
    """'<level>message' of the module's own lines in a raw kernel log piece,
    addresses and the command line masked."""
    out = []
    for line in klog.splitlines():
        m = re.match(r"^<(\d+)>\[\s*[0-9.]+\] ?(panicforkiv: .*)$", line)
        if m and "taints kernel" not in line and "verification failed" not in line:
            msg = re.sub(r"\([0-9a-f]{16}\)", "(ADDR)", m.group(2))
            out.append("<%d>%s" % (int(m.group(1)) & 7,
                                   re.sub(r"(kernel command line = ).*", r"\1...", msg)))
    return out


class Scenarios(unittest.TestCase):
    BOOT = None

    @classmethod
    def setUpClass(cls):
        machine, options = BOOTS[cls.BOOT]
        cls.machine = lab.Machine(**machine)
        options = dict(options, qemu=spmi_tables(cls.machine.dir) if options.pop("spmi", 0) else ())
        try:
            cls.boot = cls.machine.boot(**options)
        except BaseException:
            cls.machine.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.machine.close()

    def assertInOrder(self, got, want, block=False):
        """want appears in got in that order (with block: one after the other)."""
        for start in range(len(got)):
            i = start
            for w in want:
                while i < len(got) and got[i] != w and not block:
                    i += 1
                if i == len(got) or got[i] != w:
                    break
                i += 1
            else:
                return
        self.fail("not in order:\n%s\nin:\n%s" % ("\n".join(want), "\n".join(got)))

    def check_step(self, path, exp):
        b = self.boot
        names = dict(zip("SP", b.read("add", "names", default=" ").split()))
        for key, want in exp.items():
            got = b.read(*path.split("/"), {"klog_has": "klog", "klog_quiet_tail": "klog"}
                         .get(key, key))
            if key == "received":
                self.assertEqual(R.decode_dump(got), want)
            elif key == "log":
                self.assertInOrder([l.split(">", 1)[-1] for l in got.splitlines()], want, True)
            elif key == "klog":
                self.assertEqual(module_lines(got), want)
            elif key == "klog_has":
                self.assertInOrder(module_lines(got), want, True)
            elif key == "klog_quiet_tail":
                lines = [l for l in module_lines(got) if not re.search(r": (kcs_|qel_|ipmi_)", l)]
                self.assertEqual(lines[-len(want):], want)
            else:
                self.assertEqual(got, want.format(**names), key)

    def check_boot(self, exp):
        b = self.boot
        console = console_lines(b.console)
        self.assertInOrder(console, exp["console"]) if "console" in exp else None
        if "hook_calls" in exp:
            self.assertEqual(sum("tarnex_hook called" in l for l in console), exp["hook_calls"])
        if exp.get("quiet_after_panic"):
            after = console[console.index(lab.PANIC_LINE):]
            self.assertEqual([l for l in after if l.startswith("panicforkiv")], [])
        for key, ev, fields in (("bmc_status", "status", ("status", "code", "oem")),
                                ("bmc_requests", "request", ("netfn", "cmd", "data")),
                                ("bmc_events", "event", ("data",))):
            if key in exp:
                got = [tuple(e[f] for f in fields) for e in b.events if e["ev"] == ev]
                self.assertEqual(got, [w if isinstance(w, tuple) else (w,) for w in exp[key]])
        self.assertFalse([e for e in b.events if e["ev"] in ("bad-message", "early-message",
                                                            "ipmb-dropped")])
        dmesg = "".join(lab_read(p) for p in glob.glob(os.path.join(b.out, "**", "dmesg"),
                                                            recursive=True))
        for bad in ("WARNING:", "BUG:", "Call Trace", "general protection", "Oops"):
            self.assertNotIn(bad, dmesg)

    def test_rows(self):
        for boot, path, exp in ROWS:
            if boot == self.BOOT:
                with self.subTest(path=path or "boot"):
                    self.check_step(path, exp) if path else self.check_boot(exp)


if __name__ == "__main__":
    Scenarios.BOOT = sys.argv.pop(1)
    unittest.main(verbosity=2)
