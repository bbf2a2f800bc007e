"""Shows tarnex on an emulated storage server: a real Debian kernel in QEMU
(software emulation) with PCI Express and SHPC hot-plug bridges, two SCSI
HBAs with a disk each, and the stand-in tarnex driver that publishes what it
receives. Nothing on this host is touched: the kernel image is unpacked into
a cache (/var/tmp/tarnex-emu), never installed.

At the end the panic module panicforkiv is armed and the kernel panics: the
module calls the driver's hook and tells the BMC, a small BMC of our own
(tests/emu/bmc/bmc.py) behind QEMU's KCS interface, that the machine halted.

    python3 examples/demo_server.py
"""

import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "emu"))
import emu  # noqa: E402
import modlog  # noqa: E402
import peers  # noqa: E402
import records as R  # noqa: E402

PANIC_LINE = "Kernel panic - not syncing: sysrq triggered crash"
APP_CMDS = {0x30: "Clear Message Flags", 0x31: "Get Message Flags", 0x33: "Get Message",
            0x34: "Send Message"}

KIND = {R.BRIDGE_SHPC: "SHPC bridge", R.BRIDGE_PCIE: "PCIe downstream port"}


def say(text=""):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def indent(text, prefix="    "):
    return "".join(prefix + l + "\n" for l in text.rstrip("\n").splitlines()) if text else ""


def show(boot, step, title, args):
    d = ("demo", step)
    say("\n== %s\n$ tarnex %s" % (title, args))
    sys.stdout.write(boot.read(*d, "out"))
    sys.stdout.write(boot.read(*d, "err"))
    say("(exit status %s)" % boot.read(*d, "rc").strip())
    log = [l.split(">", 1)[-1] for l in boot.read(*d, "log").splitlines()]
    say("  log: " + " | ".join(log))
    return R.received(boot.read(*d, "received", default=""))


def show_requests(reqs):
    for r in reqs:
        say("  driver got request %04x (32-bit caller: %s): %s"
            % (0xC0040000 | r.code, "yes" if r.compat else "no", r.verdict))
        for line in r.lines[1:]:
            if line.startswith(("array", "table", " bridge", " hba")):
                say("    " + shorten(line))


def shorten(line):
    keep = ("array", "table", "bridge", "hba", "kind", "addr", "sec_bus", "first_dev", "slots",
            "hba_count", "alt_pm", "pm_cap", "count", "total_size", "max_hba_count", "err_num",
            "device_err_num", "sa1", "slot_cfg", "sec_cfg")
    words = line.split()
    out = [w for w in words if w.split("=")[0] in keep or "=" not in w]
    return " ".join(out)


def show_panic(boot, events):
    """The last act: panicforkiv armed, the panic, the BMC's record."""
    d = ("demo_panic", "pfk_arm")
    say("\n== The panic module: panicforkiv, armed with debug 0 (it prints only its "
        "version lines)\n$ insmod panicforkiv.ko")
    for line in modlog.module_lines(boot.read(*d, "klog")):
        say("    " + line)
    say("  /proc/panicforkiv holds: %s; debug reads %s; the stand-in's tarnex_hook: %s"
        % (" ".join(boot.read(*d, "proc").split()), boot.read(*d, "debug").strip(),
           boot.read(*d, "hook").strip()))
    say("\n$ echo c > /proc/sysrq-trigger    (a panic, no crash kernel loaded)")
    console = modlog.console_lines(boot.console)
    after = console[console.index(PANIC_LINE):] if PANIC_LINE in console else []
    for line in after:
        if line.startswith(("Kernel panic", "tarnex:", "panicforkiv:", "panic_exit:")):
            say("  console: " + line)
    say("  QEMU's exit status: %d (the guest panicked)" % boot.rc)
    say("\n== What our BMC was told (its own record, times from the panic line on the "
        "console)")
    t0 = modlog.tap_time(boot.tap, PANIC_LINE) or 0.0
    for e in events:
        if e["ev"] == "request" and e["netfn"] == 6:
            say("  +%5.1f ms  %-19s %s" % ((e["t"] - t0) * 1e3, APP_CMDS.get(e["cmd"], e["cmd"]),
                                          e["data"]))
        elif e["ev"] == "response" and e["cmd"] in (0x31, 0x33) and e["data"]:
            say("  +%5.1f ms    answer: %s" % ((e["t"] - t0) * 1e3, e["data"]))
        elif e["ev"] == "status":
            say("  +%5.1f ms    the controller at IPMB 0x24 records machine status \"%s\" "
                "(0x%02x, OEM bytes %s)" % ((e["t"] - t0) * 1e3, e["status"], e["code"], e["oem"]))
    st = [e["status"] for e in events if e["ev"] == "status"]
    say("  recorded: %s" % (", ".join(st) if st else "NOTHING"))


def main():
    say("Preparing the emulated server (first run: packages and a kernel download)...")
    kos = [emu.panicforkiv_module(), emu.panic_exit_module()]
    work = tempfile.mkdtemp(prefix="tarnex-demo-bmc-")
    with peers.OwnBmc(work) as bmc, \
            emu.Server(static=False, extra_kos=kos, bmc=("extern", bmc.port)) as server:
        say("Booting it (QEMU, software emulation: about half a minute)...")
        boot = server.boot(["demo", "demo_panic"], qemu_extra=["-device", "pvpanic", "-action",
                                                               "panic=exit-failure"],
                           expect_rc=(1,), end_marker=PANIC_LINE, tap=True)
        events = bmc.events()
        say("Booted and ran the tour in %.0f s." % boot.seconds)
        fns = R.functions(boot.read("demo", "facts", "pci"))
        disks = R.disk_hbas(boot.read("demo", "facts", "disks"))
        by_name = {f.name: f for f in fns}

        say("\n== The machine, as its kernel sees it")
        say("Hot-plug bridges (in /sys/bus/pci/devices order, the order the driver gets):")
        for e in R.bridge_elements(fns):
            extra = ""
            if e["magic"] == R.BRIDGE_SHPC:
                first, count = R.shpc_slots(e)
                extra = ", SHPC slots: devices %d..%d" % (first, first + count - 1)
            say("  %s  %-20s secondary bus %02x%s" % (e["bus_id"], KIND[e["magic"]],
                                                       e["secondary_bus"], extra))
        say("Disks and the HBA each hangs on:")
        for disk, hba in sorted(disks.items()):
            f = by_name[hba]
            say("  /dev/%s -> %s (%04x:%04x), power management capability: %s"
                % (disk, hba, f.vendor, f.device_id,
                   "at 0x%02x" % f.cap(1) if f.cap(1) else "none"))

        say("  (sdc and sdd hang on a stand-in SCSI adapter, emuhba.ko, that drives two of the\n"
            "   machine's power-managed functions: QEMU's own SCSI adapters have no such\n"
            "   capability)")

        show(boot, "demo_add", "add the disks of QEMU's adapters: -a resolves them through the "
             "kernel (SCSI_IOCTL_GET_PCI), registers, and the registration fails because "
             "neither adapter has a power-management capability", "-a /dev/sda /dev/sdb")
        say("  (the table file was not written: %r)" % boot.read("demo", "demo_add", "table"))

        shpc_disk, pcie_disk = boot.read("demo", "names").split()
        show_requests(show(boot, "demo_add_pm", "add a disk and a partition on power-managed "
                           "adapters: registered, then written", "-a %s %s1"
                           % (shpc_disk, pcie_disk)))
        show(boot, "demo_list", "list the table", "-l")
        show_requests(show(boot, "demo_rename", "rename a label: registered first, then "
                           "written with a backup", "-c %s shelf1" % shpc_disk))
        say("  files now: %s" % " ".join(boot.read("demo", "demo_rename", "etc").split()))
        show_requests(show(boot, "demo_refused", "delete a label while the driver refuses the "
                           "bridge table (err_num 2, device_err_num 1)", "-d shelf1"))
        same = (boot.read("demo", "demo_refused", "table")
                == boot.read("demo", "demo_refused", "table.before"))
        say("  table file unchanged: %s" % ("yes" if same else "NO"))
        show_panic(boot, events)
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
