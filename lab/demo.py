"""Shows tarnex and panicforkiv on the lab's emulated storage server: a real
Debian kernel in QEMU (software emulation) with PCI Express and SHPC
hot-plug bridges, SCSI adapters with disks, a KCS BMC and the driver module
(the stand-in, which publishes what it receives, or your own with
--driver). Nothing on this host is touched.

    python3 lab/demo.py [--driver tarnex.ko] [--kernel ABI]
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lab  # noqa: E402
import records as R  # noqa: E402

KIND = {R.BRIDGE_SHPC: "SHPC bridge", R.BRIDGE_PCIE: "PCIe downstream port"}
APP_CMDS = {0x30: "Clear Message Flags", 0x31: "Get Message Flags", 0x33: "Get Message",
            0x34: "Send Message"}


def say(text=""):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def show(boot, step, title, args):
    """One run of the command: output, status, log; returns the requests the
    driver published."""
    say("\n== %s\n$ tarnex %s" % (title, args))
    sys.stdout.write(boot.read("demo", step, "out") + boot.read("demo", step, "err"))
    say("(exit status %s)" % boot.read("demo", step, "rc").strip())
    log = [l.split(">", 1)[-1] for l in boot.read("demo", step, "log").splitlines()]
    say("  log: " + " | ".join(log))
    return R.decode_dump(boot.read("demo", step, "received", default=""))


def adapters(hbas):
    return ", ".join("%s (PM at 0x%02x%s)" % (h["bus_id"], h["pm_cap"],
                                              ", alternative PM" if h["alt_pm"] else "")
                     for h in hbas) or "none"


def show_requests(reqs):
    for r in reqs:
        verdict = "accepted" if r["result"] == 0 else "refused (errno %d)" % r["errno"]
        say("  the driver got request %08x from a %s caller: %s%s" % (
            r["request"], "32-bit" if r.get("compat") else "64-bit", verdict,
            "; PROBLEMS: " + "; ".join(r["problems"]) if r["problems"] else ""))
        if r["request"] == R.HBA_ARRAY:
            say("    adapters behind no hot-plug bridge: " + adapters(r["hbas"]))
        for b in r.get("bridges", []):
            slots = (", slots %d..%d" % (b["first_device"], b["first_device"] + b["slot_count"] - 1)
                     if b["slot_count"] else "")
            say("    %-21s %s (bus %02x%s): %s" % (KIND.get(b["magic"], "?"), b["bus_id"],
                                                  b["secondary_bus"], slots, adapters(b["hbas"])))
    if not reqs:
        say("  (the driver published nothing)")


def show_panic(boot):
    d = ("demo_panic", "pfk_arm")
    say("\n== The panic module: panicforkiv, armed with debug 0 (it prints only its "
        "version lines)\n$ insmod panicforkiv.ko")
    for line in boot.read(*d, "klog").splitlines():
        if "panicforkiv: ver." in line:
            say("    " + line.split("] ", 1)[-1])
    say("  /proc/panicforkiv holds: %s; the driver's tarnex_hook: %s"
        % (" ".join(boot.read(*d, "proc").split()), boot.read(*d, "hook", default="-").strip()))
    say("\n$ echo c > /proc/sysrq-trigger    (a panic, no crash kernel loaded)")
    for _, line in boot.lines:
        line = line.split("] ", 1)[-1]
        if line.startswith(("Kernel panic", "tarnex:", "panicforkiv:", "panic_exit:")):
            say("  console: " + line)
    say("  QEMU's exit status: %d (the guest panicked)" % boot.rc)
    say("\n== What our BMC was told (its own record, times from the panic line)")
    t0 = next((t for t, l in boot.lines if lab.PANIC_LINE in l), 0.0)
    for e in boot.events:
        if e["ev"] == "request" and e["netfn"] == 6:
            say("  +%5.1f ms  %-19s %s" % ((e["t"] - t0) * 1e3, APP_CMDS.get(e["cmd"], e["cmd"]),
                                          e["data"]))
        elif e["ev"] == "response" and e["cmd"] in (0x31, 0x33) and e["data"]:
            say("  +%5.1f ms    answer: %s" % ((e["t"] - t0) * 1e3, e["data"]))
        elif e["ev"] == "status":
            say("  +%5.1f ms    the controller at IPMB 0x24 records machine status \"%s\" "
                "(0x%02x, OEM bytes %s)" % ((e["t"] - t0) * 1e3, e["status"], e["code"], e["oem"]))


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--driver", help="your tarnex driver module, built for the lab's kernel")
    ap.add_argument("--kernel", help="Debian kernel ABI to boot")
    a = ap.parse_args(argv)
    say("Preparing the emulated server (first run: packages and a kernel download)...")
    with lab.Machine(a.kernel, driver=a.driver) as m:
        say("Booting it (QEMU, software emulation: a minute or two)...")
        boot = m.boot(["demo", "demo_panic"], disks=2, panic=True)
        say("Booted and ran the tour in %.0f s." % boot.seconds)

        say("\n== The machine: disks and the adapter each hangs on")
        for line in boot.read("demo", "disks").splitlines():
            disk, hba, pm = line.split()
            say("  /dev/%s -> %s, power-management capability: %s" % (disk, hba, pm))
        say("  (sdc and sdd hang on a stand-in SCSI adapter, emuhba.ko, that drives two\n"
            "   power-managed functions: QEMU's own SCSI adapters have no such capability)")

        show(boot, "demo_add", "add the disks of QEMU's adapters: the kernel names each "
             "disk's adapter (SCSI_IOCTL_GET_PCI); registration fails, neither adapter has "
             "power management", "-a /dev/sda /dev/sdb")
        say("  (the table file was not written: %r)" % boot.read("demo", "demo_add", "table"))
        s_disk, p_disk = boot.read("demo", "names").split()
        show_requests(show(boot, "demo_add_pm", "add a disk and a partition on power-managed "
                           "adapters: registered (each adapter under its hot-plug bridge), "
                           "then written", "-a %s %s1" % (s_disk, p_disk)))
        show(boot, "demo_list", "list the table", "-l")
        show_requests(show(boot, "demo_rename", "rename a label: registered first, then "
                           "written with a backup", "-c %s shelf1" % s_disk))
        say("  files now: %s" % " ".join(boot.read("demo", "demo_rename", "etc").split()))
        show_requests(show(boot, "demo_refused", "delete a label while the stand-in refuses the "
                           "bridge table (err_num 2, device_err_num 1)", "-d shelf1"))
        same = (boot.read("demo", "demo_refused", "table")
                == boot.read("demo", "demo_refused", "table.before"))
        say("  table file unchanged: %s" % ("yes" if same else "no"))
        show_panic(boot)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
