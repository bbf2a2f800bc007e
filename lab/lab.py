"""The lab: an emulated storage server for tarnex and panicforkiv.

A real Debian kernel boots in QEMU (software emulation) on a q35 machine with
PCI Express and SHPC hot-plug bridges, two SCSI adapters with a disk each,
power-managed functions behind every kind of bridge and a KCS BMC. The
initramfs holds busybox, the i386 tarnex, the driver module (the stand-in
tarnex/ or a vendor's own), the stand-in SCSI adapter emuhba/, panicforkiv,
panic_exit/ and the scenario scripts of guest/scen, which /init runs in turn.

    m = Machine(kernel="6.12", bmc="own")   # kernel: a series or a release
    b = m.boot(["register"], disks=2)
    b.read("register", "register", "received")        # what a step left
    b.events                                          # what our BMC was told

Nothing is installed into the host's kernel: the Debian image is fetched
with apt-get download and unpacked into $TARNEX_LAB_CACHE (default
/var/tmp/tarnex-lab), modules are built there with Kbuild.

    python3 lab/lab.py boot SCEN[,SCEN...] [--disks N] [--driver KO] [--keep DIR]
"""

import base64
import fcntl
import glob
import hashlib
import io
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
CACHE = os.environ.get("TARNEX_LAB_CACHE", "/var/tmp/tarnex-lab")
PACKAGES = ["qemu-system-x86", "busybox-static", "kmod", "cpio", "libc6-i386", "gcc", "make",
            "libc6-dev", "pciutils", "binutils", "openipmi", "xz-utils"]
BOOT_KMODS = ["scsi_mod", "sd_mod", "megaraid_sas", "sym53c8xx"]      # loaded by /init
EXTRA_KMODS = ["ipmi_si", "ipmi_devintf", "ipmi_msghandler"]          # for scenarios
# Debian's kexec is linked against Xen's libraries: they come along
KEXEC_DEBS = ["kexec-tools", "libxenmisc4.17", "libxentoollog1", "libxencall1",
              "libxenevtchn1", "libxengnttab1", "libxenforeignmemory1", "libxendevicemodel1",
              "libxentoolcore1"]
PANIC_LINE = "Kernel panic - not syncing: sysrq triggered crash"
TIMEOUT = int(os.environ.get("TARNEX_LAB_TIMEOUT", "420"))


class LabError(Exception):
    pass


def log(msg):
    sys.stderr.write("lab: %s\n" % msg)
    sys.stderr.flush()


def run(cmd, **kw):
    """subprocess.run that raises with the command's output on failure."""
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)
    out = p.stdout.decode("utf-8", "replace")
    if p.returncode:
        raise LabError("%s failed (%d):\n%s" % (" ".join(cmd), p.returncode, out[-4000:]))
    return out


class _CacheLock:
    """One preparation at a time per cache."""

    def __enter__(self):
        os.makedirs(CACHE, exist_ok=True)
        self.f = open(os.path.join(CACHE, ".lock"), "w")
        fcntl.flock(self.f, fcntl.LOCK_EX)

    def __exit__(self, *exc):
        self.f.close()


# ---------------------------------------------------------------- preparation

# Debian 12's own kernels are 6.1.0-ABI-amd64, its updates 6.12.N+debR-amd64
_RELEASE = re.compile(r"^(\d+)\.(\d+)\.(\d+)(?:-(\d+)|\+deb(\d+))-amd64$")


def _of_series(rel, series):
    return bool(_RELEASE.match(rel)) and (rel == series or rel.startswith(series + "."))


def default_kernel(series=None):
    """The kernel to boot: series (else $TARNEX_LAB_KERNEL, else "6.1") is
    a series such as "6.1" or "6.12", meaning the newest Debian amd64
    headers of that series installed on the host (installed from the
    package lists when there are none), or one release such as
    "6.12.118+deb12-amd64"."""
    series = series or os.environ.get("TARNEX_LAB_KERNEL") or "6.1"
    key = lambda r: tuple(int(x or 0) for x in _RELEASE.match(r).groups())
    have = [os.path.basename(d)[len("linux-headers-"):]
            for d in glob.glob("/usr/src/linux-headers-*-amd64")]
    found = sorted((r for r in have if _of_series(r, series)), key=key)
    if not found:
        text = run(["apt-cache", "search", "--names-only",
                    "^linux-headers-%s[.-]" % re.escape(series)])
        found = sorted((l.split()[0][len("linux-headers-"):] for l in text.splitlines()
                        if _of_series(l.split()[0][len("linux-headers-"):], series)), key=key)
        if not found:
            raise LabError("no Debian amd64 kernel headers of %s" % series)
    return found[-1]


def _fetch(pkg, version=""):
    """The .deb of pkg (that version first) in the cache, fetched once; with
    a stale package list, once more after apt-get update."""
    debs = os.path.join(CACHE, "debs")
    os.makedirs(debs, exist_ok=True)
    for update in (None, False, True):
        if update:
            run(["apt-get", "update", "-qq"])
        for spec in ([] if update is None else [pkg + "=" + version] * bool(version) + [pkg]):
            log("fetching %s" % spec)
            if subprocess.run(["apt-get", "download", "-q", spec], cwd=debs,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0:
                break
        found = glob.glob(os.path.join(debs, "%s_*.deb" % pkg))
        if found:
            return found[0]
    raise LabError("apt-get download %s failed" % pkg)


def _unpacked(name, debs, after=None):
    """A cache directory with the .debs unpacked into it, made once."""
    root = os.path.join(CACHE, name)
    if not os.path.exists(os.path.join(root, ".done")):
        tmp = root + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        for deb in debs:
            run(["dpkg-deb", "-x", deb, tmp])
        if after:
            after(tmp)
        shutil.rmtree(root, ignore_errors=True)
        os.rename(tmp, root)
        open(os.path.join(root, ".done"), "w").close()
    return root


def kernel_image(kernel):
    """(vmlinuz, module directory) of Debian's linux-image-KERNEL, the
    version of its installed headers, unpacked with depmod run on it."""
    version = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "linux-headers-" + kernel],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()
    root = _unpacked("kimg-" + kernel, [_fetch("linux-image-" + kernel, version)],
                     lambda tmp: run(["depmod", "-b", tmp, kernel]))
    return (os.path.join(root, "boot", "vmlinuz-" + kernel),
            os.path.join(root, "lib", "modules", kernel))


def build_module(src, kernel, w1=True):
    """The Kbuild module in src built for kernel in a copy under the cache,
    failing on any compiler warning (W=1 unless w1 is off)."""
    files = sorted(os.path.join(src, f) for f in os.listdir(src)
                   if f.endswith((".c", ".h")) or f == "Kbuild")
    h = hashlib.sha256()
    for f in files:
        with open(f, "rb") as fh:
            h.update(f.encode() + fh.read())
    out = os.path.join(CACHE, "ko-%s-%s-%s" % (os.path.basename(src), kernel, h.hexdigest()[:12]))
    if not glob.glob(os.path.join(out, "*.ko")):
        tmp = out + ".tmp"
        shutil.rmtree(tmp, ignore_errors=True)
        os.makedirs(tmp)
        for f in files:
            shutil.copy(f, tmp)
        text = run(["make", "-C", "/usr/src/linux-headers-" + kernel, "M=" + tmp]
                   + (["W=1"] if w1 else []) + ["modules"])
        bad = [l for l in text.splitlines() if re.search(r"warning:|error:", l)]
        if bad:
            raise LabError("%s does not build cleanly:\n%s" % (src, "\n".join(bad)))
        shutil.rmtree(out, ignore_errors=True)
        os.rename(tmp, out)
    return glob.glob(os.path.join(out, "*.ko"))[0]


def build_tools():
    """The static guest tools of tools/*.c."""
    out = os.path.join(CACHE, "tools")
    os.makedirs(out, exist_ok=True)
    built = []
    for c in sorted(glob.glob(os.path.join(HERE, "tools", "*.c"))):
        exe = os.path.join(out, os.path.basename(c)[:-2])
        if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(c):
            run(["gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-static", "-o", exe, c])
        built.append(exe)
    return built


def prepare(kernel, driver=None, kdump=False):
    """Everything a boot needs, as a dict of host paths."""
    tarnex = os.environ.get("TARNEX_BIN", os.path.join(TOP, "build", "bin", "tarnex"))
    if not os.path.exists(tarnex):
        raise LabError("%s is missing: build the command first (make)" % tarnex)
    with _CacheLock():
        run(["sh", os.path.join(TOP, "tests", "tools", "ensure-packages.sh"), "linux-headers-"
             + kernel] + PACKAGES)
        vmlinuz, moddir = kernel_image(kernel)
        kos = {"tarnex": driver or build_module(os.path.join(HERE, "tarnex"), kernel),
               "emuhba": build_module(os.path.join(HERE, "emuhba"), kernel),
               "panic_exit": build_module(os.path.join(HERE, "panic_exit"), kernel),
               "panicforkiv": build_module(os.path.join(TOP, "panicforkiv"), kernel)}
        sd_mod = glob.glob(moddir + "/kernel/drivers/scsi/sd_mod.ko*")[0]
        want = run(["modinfo", "-F", "vermagic", sd_mod])
        for name, ko in kos.items():
            if run(["modinfo", "-F", "vermagic", ko]) != want:
                raise LabError("%s is not built for %s" % (ko, kernel))
        kexec = kdump and _unpacked("kexec-tools", [_fetch(p) for p in KEXEC_DEBS])
        return {"kernel": kernel, "vmlinuz": vmlinuz, "moddir": moddir, "kos": kos,
                "tools": build_tools(), "tarnex": tarnex, "kexec": kexec}


# ---------------------------------------------------------------- initramfs

def _copy_elf(root, elf, dest, libdirs, guest_libdir):
    """elf at dest in root, with its program interpreter and libraries."""
    shutil.copy(elf, os.path.join(root, dest.lstrip("/")))
    m = re.search(r"interpreter: ([^\]]+)\]", run(["readelf", "-l", elf]))
    if not m:
        return
    os.makedirs(os.path.join(root, os.path.dirname(m.group(1)).lstrip("/")), exist_ok=True)
    shutil.copy(os.path.realpath(m.group(1)), os.path.join(root, m.group(1).lstrip("/")))
    os.makedirs(os.path.join(root, guest_libdir.lstrip("/")), exist_ok=True)
    todo, done = [elf], set()
    while todo:
        for name in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]",
                               run(["readelf", "-d", todo.pop()])):
            path = next((os.path.join(d, name) for d in libdirs
                         if os.path.exists(os.path.join(d, name))), None)
            if not path:
                raise LabError("%s: library %s not found" % (elf, name))
            if name not in done:
                done.add(name)
                todo.append(os.path.realpath(path))
                shutil.copy(os.path.realpath(path), os.path.join(root, guest_libdir.lstrip("/"),
                                                                 name))


def _kmod_closure(moddir, names):
    """Paths of the modules, relative to moddir, dependencies first."""
    deps = {}
    for line in open(os.path.join(moddir, "modules.dep")):
        m, _, rest = line.partition(":")
        deps[m] = rest.split()
    order = []

    def visit(m):
        if m not in order:
            for d in reversed(deps[m]):
                visit(d)
            order.append(m)
    for name in names:
        pat = re.compile(r"(^|/)%s\.ko(\.xz|\.zst)?$" % re.sub(r"[-_]", "[-_]", name))
        visit(next(m for m in deps if pat.search(m)))
    return order


def _cpio(root, out, mode):
    names = subprocess.run(["find", ".", "-print0"], cwd=root, stdout=subprocess.PIPE,
                           check=True).stdout
    with open(out, mode) as f:
        subprocess.run(["cpio", "--null", "-o", "-H", "newc", "--owner=0:0", "--quiet"],
                       cwd=root, input=names, stdout=f, check=True)


def _plain(path):
    return re.sub(r"\.ko\.xz$", ".ko", path)


def build_initramfs(prep, out, scenarios=()):
    """An uncompressed newc cpio (unpacked faster than gzip under emulation).
    Scenarios given as host paths join guest/scen. With kexec prepared, a
    second archive adds /kdump/vmlinuz, /kdump/initrd (the first archive)
    and Debian's kexec, for a crash kernel or a planned kexec."""
    root = tempfile.mkdtemp(prefix="tarnex-lab-root-")
    kmod = os.path.join(root, "lib", "modules", prep["kernel"])
    for d in ("bin", "usr/bin", "usr/sbin", "proc", "sys", "dev", "tmp", "extra", "scen", "etc",
              "opt"):
        os.makedirs(os.path.join(root, d))
    shutil.copy("/bin/busybox", os.path.join(root, "bin"))
    for a in run(["/bin/busybox", "--list"]).split():
        if a != "busybox":
            os.symlink("busybox", os.path.join(root, "bin", a))
    boot = _kmod_closure(prep["moddir"], BOOT_KMODS)
    for m in boot + _kmod_closure(prep["moddir"], EXTRA_KMODS):
        os.makedirs(os.path.join(kmod, os.path.dirname(m)), exist_ok=True)
        if m.endswith(".ko"):
            shutil.copy(os.path.join(prep["moddir"], m), os.path.join(kmod, m))
        else:   # 6.12's .ko.xz: busybox's insmod reads plain modules only
            with open(os.path.join(kmod, _plain(m)), "wb") as f:
                subprocess.run(["xz", "-dc", os.path.join(prep["moddir"], m)], stdout=f,
                               check=True)
    for f in ("modules.order", "modules.builtin", "modules.builtin.modinfo"):
        shutil.copy(os.path.join(prep["moddir"], f), kmod)
    run(["depmod", "-b", root, prep["kernel"]])
    with open(os.path.join(root, "modules.order"), "w") as f:
        f.writelines("/lib/modules/%s/%s\n" % (prep["kernel"], _plain(m)) for m in boot)
    i386 = ["/lib32", "/usr/lib32", "/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu"]
    amd64 = ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"]
    _copy_elf(root, prep["tarnex"], "/usr/sbin/tarnex", i386, "/lib32")
    _copy_elf(root, "/usr/bin/lspci", "/usr/bin/lspci", amd64, amd64[0])
    for t in prep["tools"]:
        shutil.copy(t, os.path.join(root, "usr", "bin"))
    for name, ko in prep["kos"].items():
        shutil.copy(ko, os.path.join(root, "extra", name + ".ko"))
    shutil.copy(os.path.join(HERE, "guest", "init"), root)
    os.chmod(os.path.join(root, "init"), 0o755)
    for f in (glob.glob(os.path.join(HERE, "guest", "*.sh"))
              + glob.glob(os.path.join(HERE, "guest", "scen", "*.sh")) + list(scenarios)):
        shutil.copy(f, os.path.join(root, "scen"))
    with open(os.path.join(root, "etc", "passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\n")
    _cpio(root, out, "wb")
    shutil.rmtree(root)
    if prep["kexec"]:
        root = tempfile.mkdtemp(prefix="tarnex-lab-kexec-")
        os.makedirs(os.path.join(root, "kdump"))
        os.makedirs(os.path.join(root, "usr", "sbin"))
        shutil.copy(prep["vmlinuz"], os.path.join(root, "kdump", "vmlinuz"))
        shutil.copy(out, os.path.join(root, "kdump", "initrd"))
        k = prep["kexec"]
        _copy_elf(root, os.path.join(k, "sbin", "kexec"), "/usr/sbin/kexec",
                  [k + "/usr/lib/x86_64-linux-gnu", k + "/lib/x86_64-linux-gnu"] + amd64, amd64[0])
        _cpio(root, out, "ab")
        shutil.rmtree(root)
    return out


# ---------------------------------------------------------------- the BMC

class OwnBmc:
    """bmc.py on a free loopback port; args go to its command line."""

    def __init__(self, work, args=()):
        self.record = os.path.join(work, "bmc.jsonl")
        with open(os.path.join(work, "bmc.err"), "w") as err:
            self.proc = subprocess.Popen([sys.executable, os.path.join(HERE, "bmc.py"), "--record",
                                          self.record] + list(args), stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=err)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("port "):
            self.stop()
            raise LabError("the BMC did not start: %r" % line)
        self.port = int(line.split()[1])

    def events(self):
        """The record of this BMC's life (one boot attempt), as dicts."""
        with open(self.record) as f:
            return [json.loads(line) for line in f]

    def stop(self):
        _stop(self.proc)


IPMI_SIM_CONF = """name "tarnex_lab"
set_working_mc 0x20
  serial kcs 127.0.0.1 %d codec VM
"""
# the BMC at 0x20 and a management controller at IPMB 0x24
IPMI_SIM_EMU = """mc_setbmc 0x20
mc_add 0x20 0 no-device-sdrs 0x23 9 8 0x9f 0x1291 0xf02
mc_enable 0x20
mc_add 0x24 0x42 no-device-sdrs 0x01 1 0 0x29 0x000157 0x0abc
mc_enable 0x24
"""


class IpmiSim:
    """OpenIPMI's ipmi_sim with a controller at 0x24, on a free port."""

    def __init__(self, work, args=()):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        self.port = s.getsockname()[1]
        s.close()
        for name, text in (("ipmi_sim.conf", IPMI_SIM_CONF % self.port),
                           ("ipmi_sim.emu", IPMI_SIM_EMU)):
            with open(os.path.join(work, name), "w") as f:
                f.write(text)
        os.makedirs(os.path.join(work, "ipmi_sim.state"))
        with open(os.path.join(work, "ipmi_sim.log"), "w") as out:
            self.proc = subprocess.Popen(["ipmi_sim", "-n", "-c",
                                          os.path.join(work, "ipmi_sim.conf"), "-f",
                                          os.path.join(work, "ipmi_sim.emu"), "-s",
                                          os.path.join(work, "ipmi_sim.state")] + list(args),
                                         stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT)
        want = "0100007F:%04X" % self.port
        for _ in range(100):
            if any(l.split()[1] == want and l.split()[3] == "0A"
                   for l in open("/proc/net/tcp").readlines()[1:]):
                return
            time.sleep(0.1)
        self.stop()
        raise LabError("ipmi_sim did not listen on port %d" % self.port)

    def events(self):
        return []

    def stop(self):
        _stop(self.proc)


def _stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


BMCS = {"own": OwnBmc, "ipmi_sim": IpmiSim}


# ---------------------------------------------------------------- the machine

def machine_args(work):
    """q35 with a PCI Express switch (two hot-plug downstream ports), a
    PCIe-to-PCI bridge with an SHPC bridge behind it, two SCSI adapters
    with a disk each, power-managed functions behind each bridge and on the
    root bus, and a KCS interface at 0xca2."""
    a = []
    for name in ("sas", "spi", "nvme"):
        path = os.path.join(work, name + ".raw")
        with open(path, "wb") as f:
            f.truncate(16 << 20)
        a += ["-drive", "if=none,id=%s,file=%s,format=raw" % (name, path)]
    return a + [
        "-device", "pcie-root-port,id=rp1,bus=pcie.0,addr=0x4,chassis=1,slot=1",
        "-device", "x3130-upstream,id=up1,bus=rp1",
        "-device", "xio3130-downstream,id=dp1,bus=up1,port=0,chassis=2,slot=2",
        "-device", "xio3130-downstream,id=dp2,bus=up1,port=1,chassis=2,slot=3",
        "-device", "megasas-gen2,id=hba1,bus=dp1",
        "-device", "scsi-hd,drive=sas,bus=hba1.0,serial=LAB-SAS",
        "-device", "nvme,id=nvme1,bus=dp2,serial=LAB-NVME,drive=nvme",
        "-device", "pcie-pci-bridge,id=ppb1,bus=pcie.0,addr=0x5",
        "-device", "pci-bridge,id=pb1,bus=ppb1,addr=0x1,chassis_nr=3,shpc=on",
        "-device", "i82559er,id=nic1,bus=ppb1,addr=0x2",
        "-device", "lsi53c895a,id=hba2,bus=pb1,addr=0x2",
        "-device", "scsi-hd,drive=spi,bus=hba2.0,scsi-id=0,serial=LAB-SPI",
        "-device", "i82559er,id=nic2,bus=pb1,addr=0x3",
        "-device", "i82559er,id=nic4,bus=pb1,addr=0x4",
        "-device", "e1000e,id=nic3,bus=pcie.0,addr=0x6",
        # the bridges' hot-plug to the kernel's SHPC and pciehp drivers
        "-global", "ICH9-LPC.acpi-pci-hotplug-with-bridge-support=off",
        "-device", "isa-ipmi-kcs,bmc=bmc0,ioport=0xca2",
        # panic_exit.ko ends QEMU with status 1 through this device
        "-device", "pvpanic", "-action", "panic=exit-failure",
    ]


class ConsoleTap:
    """The console through a socket: each line with the host's
    time.monotonic() when it arrived (the guest's clock stands still while
    a panicking CPU runs the notifiers)."""

    def __init__(self):
        self.srv = socket.socket()
        self.srv.bind(("127.0.0.1", 0))
        self.srv.listen(1)
        self.srv.settimeout(TIMEOUT)
        self.port = self.srv.getsockname()[1]
        self.lines = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            conn, _ = self.srv.accept()
        except OSError:
            return
        part = b""
        with conn:
            for chunk in iter(lambda: conn.recv(65536), b""):
                *done, part = (part + chunk).split(b"\n")
                now = time.monotonic()
                self.lines += [(now, l.decode("latin-1").rstrip("\r")) for l in done]
        if part:
            self.lines.append((time.monotonic(), part.decode("latin-1")))

    def finish(self):
        self.thread.join(5)
        self.srv.close()
        return self.lines


def run_qemu(work, bmc, vmlinuz, initrd, append, memory, extra=(), reboot=False,
             timeout=TIMEOUT):
    """One run of the emulated server in work: the kernel and initramfs
    with the command line append, memory MiB, our BMC connection bmc,
    extra QEMU arguments. A reboot ends the run unless reboot is on.
    Returns QEMU's status (None after timeout seconds), its output, the
    seconds it ran and the console's timed lines (also in console.log)."""
    tap = ConsoleTap()
    cmd = ["qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-M", "q35",
           "-m", str(memory), "-smp", "2", "-nodefaults", "-display", "none",
           "-kernel", vmlinuz, "-initrd", initrd, "-append", " ".join(append),
           "-chardev", "socket,id=con,host=127.0.0.1,port=%d,logfile=%s"
           % (tap.port, os.path.join(work, "console.log")), "-serial", "chardev:con",
           "-chardev", "file,id=data,path=%s" % os.path.join(work, "data.log"),
           "-serial", "chardev:data",
           "-chardev", "socket,id=ipmi0,host=127.0.0.1,port=%d,reconnect=1" % bmc.port,
           "-device", "ipmi-bmc-extern,id=bmc0,chardev=ipmi0"]
    cmd += ([] if reboot else ["-no-reboot"]) + machine_args(work) + list(extra)
    with open(os.path.join(work, "qemu.cmd"), "w") as f:
        f.write(" ".join(cmd) + "\n")
    start = time.monotonic()
    try:
        p = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=timeout)
        rc, out = p.returncode, p.stdout.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        rc, out = None, ""
    finally:
        bmc.stop()
    return rc, out, time.monotonic() - start, tap.finish()


class Boot:
    """What one boot left: QEMU's status, the console (text and timed
    lines), the BMC's record and the files the scenarios wrote."""

    def __init__(self, **kw):
        self.__dict__.update(kw)

    def read(self, *parts, default=None):
        try:
            with open(os.path.join(self.out, *parts), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            if default is None:
                raise
            return default


class Machine:
    """The emulated server for one kernel (its ABI, e.g. "6.1.0-57-amd64"),
    one BMC ("own": bmc.py, "ipmi_sim", with bmc_args for its command line)
    and one driver module (the stand-in unless a .ko is given). kdump puts
    the kernel, the initramfs and kexec into the initramfs."""

    def __init__(self, kernel=None, bmc="own", bmc_args=(), driver=None, kdump=False,
                 memory=512, scenarios=(), keep=None):
        self.prep = prepare(default_kernel(kernel), driver, kdump)
        self.bmc, self.bmc_args, self.memory = BMCS[bmc], bmc_args, memory
        self.keep = keep or os.environ.get("TARNEX_LAB_KEEP")
        self.dir = self.keep or tempfile.mkdtemp(prefix="tarnex-lab-")
        os.makedirs(self.dir, exist_ok=True)
        self.initrd = build_initramfs(self.prep, os.path.join(self.dir, "initramfs.cpio"),
                                      scenarios)

    def close(self):
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def boot(self, scenarios, disks=0, args=(), qemu=(), panic=False, tries=2):
        """Boots with /init running the scenarios (args join the kernel's
        command line, qemu QEMU's). A boot counts when QEMU
        ends with status 0 ("LAB-END" on the console) or, with panic, 1
        after a panic, and the guest's files arrived; else it is tried once
        more."""
        append = ["console=ttyS0", "panic=-1", "loglevel=4", "sym53c8xx.settle=0",
                  "lab.scen=" + ",".join(os.path.basename(s)[:-3] if s.endswith(".sh") else s
                                         for s in scenarios), "lab.disks=%d" % disks] + list(args)
        for attempt in range(1, tries + 1):
            work = os.path.join(self.dir, "boot-%d" % int(time.time() * 1000))
            os.makedirs(work)
            bmc = self.bmc(work, self.bmc_args)
            rc, qemu_out, seconds, lines = run_qemu(work, bmc, self.prep["vmlinuz"],
                                                    self.initrd, append, self.memory, list(qemu))
            console = "\n".join(l for _, l in lines)
            out = os.path.join(work, "out")
            got = _unpack(os.path.join(work, "data.log"), out)
            why = ("no end after %d s" % TIMEOUT if rc is None
                   else "QEMU status %d: %s" % (rc, qemu_out[-300:]) if rc != int(panic)
                   else "a module did not load" if "LAB-INSMOD-FAIL" in console
                   else "no panic" if panic and PANIC_LINE not in console
                   else "no LAB-END" if not panic and "LAB-END" not in console
                   else "no files from the guest" if not got else None)
            if why is None:
                log("boot %s: %.0f s" % (",".join(scenarios), seconds))
                return Boot(rc=rc, console=console, lines=lines, out=out, seconds=seconds,
                            events=bmc.events(), work=work)
            log("boot %s, attempt %d: %s (%s)" % (",".join(scenarios), attempt, why, work))
        raise LabError("the emulated server did not finish: %s\nconsole tail:\n%s"
                       % (why, console[-3000:]))


def _unpack(data_log, dest):
    """Unpacks every complete base64 tar the guest sent, later ones over
    earlier ones (a flush before a panic, then a crash kernel's files)."""
    with open(data_log, "rb") as f:
        text = f.read().decode("latin-1")
    blocks = re.findall(r"@@DATA-BEGIN\r?\n(.*?)@@DATA-END", text, re.S)
    for block in blocks:
        with tarfile.open(fileobj=io.BytesIO(base64.b64decode("".join(block.split())))) as t:
            t.extractall(dest)
    return bool(blocks)


def main(argv):
    import argparse
    ap = argparse.ArgumentParser(description="Boots the lab's emulated server once.")
    ap.add_argument("scenarios", help="SCEN[,SCEN...]: guest/scen/SCEN.sh or a host path")
    ap.add_argument("--kernel", help="Debian kernel ABI (default: %s)" % default_kernel())
    ap.add_argument("--disks", type=int, default=2)
    ap.add_argument("--driver", help="a tarnex driver module in place of the stand-in")
    ap.add_argument("--panic", action="store_true", help="the scenarios end in a panic")
    ap.add_argument("--keep", default=tempfile.mkdtemp(prefix="tarnex-lab-keep-"))
    a = ap.parse_args(argv)
    scens = a.scenarios.split(",")
    with Machine(a.kernel, driver=a.driver, keep=a.keep,
                 scenarios=[s for s in scens if "/" in s]) as m:
        b = m.boot(scens, disks=a.disks, panic=a.panic)
        print(b.console)
        print("\nfiles: %s (%.0f s)" % (b.out, b.seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
