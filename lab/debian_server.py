"""A real Debian 12 server on the emulated machine, driven by stages.

One QEMU run boots the root file system of debian_root.image() (a
throw-away qcow2 overlay) on the emulated server, with the data disk
"labdata" holding debian_stage.sh, the packages under test, the stand-in
tarnex driver and a table. The stage script runs at every boot: it
installs the packages beside kdump-tools and reboots; checks what that boot
did and panics; the crash kernel dumps and reboots; it purges the packages
and powers off. The guest's files come back on the second serial port; our
BMC (lab/bmc.py) records what the machine told it.

    python3 lab/debian_server.py [--keep DIR]
"""

import glob
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import debian_root  # noqa: E402
import lab  # noqa: E402

TIMEOUT = int(os.environ.get("TARNEX_DEBIAN_TIMEOUT", "2400"))
# Power-managed functions in each place an adapter can be, and the
# alternative list's item for the i82559er functions.
TABLE = """# power-managed functions of the emulated server
nic,/dev/emu0 0000:00:06.0
nvme,/dev/emu1 0000:04:00.0
slotb,/dev/emu2 0000:06:03.0
slota,/dev/emu3 0000:05:02.0
"""
ALTERPM = "8086:1209:*\n"
MEMORY = 1024
APPEND = ["root=/dev/vda", "rw", "console=ttyS0", "crashkernel=256M", "panic=10",
          "loglevel=4", "sym53c8xx.settle=0"]


def debs():
    """The two packages: $TARNEX_DEB_DIR, else built with make deb."""
    d = os.environ.get("TARNEX_DEB_DIR")
    if not d:
        d = os.path.join(TOP, "build", "deb")
        lab.run(["make", "-C", TOP, "deb"])
    found = [glob.glob(os.path.join(d, p + "_*.deb")) for p in ("tarnex", "panicforkiv-dkms")]
    if not all(found):
        raise lab.LabError("no packages in %s" % d)
    return [f[0] for f in found]


class Run:
    """What one run left: console text, guest files (.out), BMC events."""

    def __init__(self, work, rc, seconds, bmc_events):
        self.work, self.rc, self.seconds, self.bmc = work, rc, seconds, bmc_events
        with open(os.path.join(work, "console.log"), "rb") as f:
            self.console = f.read().decode("latin-1")
        self.out = os.path.join(work, "out")
        lab._unpack(os.path.join(work, "data.log"), self.out)

    def read(self, *parts):
        try:
            with open(os.path.join(self.out, *parts), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""


def run(work):
    t0 = time.monotonic()
    kernel = lab.default_kernel()
    with lab._CacheLock():
        lab.run(["sh", os.path.join(TOP, "tests", "tools", "ensure-packages.sh"),
                 "linux-headers-" + kernel] + lab.PACKAGES + debian_root.HOST_PACKAGES)
        drv = lab.build_module(os.path.join(HERE, "tarnex"), kernel)
    img = debian_root.image(kernel)
    data = os.path.join(work, "data")
    os.makedirs(os.path.join(data, "debs"))
    for deb in debs():
        shutil.copy(deb, os.path.join(data, "debs"))
    shutil.copy(drv, os.path.join(data, "tarnex.ko"))
    shutil.copy(os.path.join(HERE, "debian_stage.sh"), os.path.join(data, "stage.sh"))
    for name, text in (("hba_addr.conf", TABLE), ("alterpm.conf", ALTERPM)):
        with open(os.path.join(data, name), "w") as f:
            f.write(text)
    disk = debian_root.data_disk(data, os.path.join(work, "data.raw"))
    prepared = time.monotonic() - t0
    # the run writes into an overlay of the cached image, never flushed:
    # the machine's disk only lives as long as the run
    overlay = os.path.join(work, "root.qcow2")
    lab.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b", img["root"], overlay])
    bmc = lab.OwnBmc(work)
    rc, _, seconds, _ = lab.run_qemu(
        work, bmc, img["vmlinuz"], img["initrd"], APPEND, MEMORY, reboot=True, timeout=TIMEOUT,
        extra=["-drive", "if=none,id=root,format=qcow2,cache=unsafe,file=" + overlay,
               "-device", "virtio-blk-pci,drive=root,bus=pcie.0,addr=0x8",
               "-drive", "if=none,id=lab,format=raw,readonly=on,file=" + disk,
               "-device", "virtio-blk-pci,drive=lab,bus=pcie.0,addr=0x9"])
    r = Run(work, rc, seconds, bmc.events())
    r.prepared = prepared
    return r


if __name__ == "__main__":
    keep = sys.argv[2] if len(sys.argv) > 2 and sys.argv[1] == "--keep" else None
    work = keep or tempfile.mkdtemp(prefix="tarnex-debian-")
    os.makedirs(work, exist_ok=True)
    r = run(work)
    print("QEMU status %s after %.0f s (preparation %.0f s); files in %s"
          % (r.rc, r.seconds, r.prepared, work))
