"""The emulated server: the real tarnex in a real Debian kernel under QEMU.

prepare() gets everything a boot needs (Debian packages, the Debian kernel
image that matches the installed headers, unpacked into a cache and never
installed, the stand-in driver built with Kbuild, the static guest tools and
the static build of the command); Server.boot() builds an initramfs and boots
the machine with software emulation, a time-out and one retry, and returns
what the guest's scenarios wrote.

The cache lives outside the clone: $TARNEX_EMU_CACHE, default /var/tmp/tarnex-emu.

Command line (from the top of the clone):
    python3 tests/emu/emu.py prepare
    python3 tests/emu/emu.py boot SCEN[,SCEN...] [--variant static] [--keep DIR]
"""

import base64
import fcntl
import glob
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
CACHE = os.environ.get("TARNEX_EMU_CACHE", "/var/tmp/tarnex-emu")

PACKAGES = ["qemu-system-x86", "busybox-static", "kmod", "cpio", "linux-headers-amd64",
            "libc6-i386", "gcc", "make", "libc6-dev", "gcc-multilib", "g++-multilib", "cmake",
            "pciutils", "binutils", "xz-utils"]

# Kernel modules loaded at boot, dependencies first (the HBAs' drivers).
BOOT_KMODS = ["scsi_mod", "sd_mod", "megaraid_sas", "sym53c8xx"]
# Kernel modules put into the initramfs for scenarios to load themselves.
EXTRA_KMODS = ["pvpanic-mmio", "pvpanic-pci", "ipmi_si", "ipmi_devintf", "ipmi_msghandler"]

BOOT_TIMEOUT = int(os.environ.get("TARNEX_EMU_TIMEOUT", "300"))
END_MARKER = "EMU-END"


class EmuError(Exception):
    pass


def log(msg):
    sys.stderr.write("emu: %s\n" % msg)
    sys.stderr.flush()


def run(cmd, **kw):
    """subprocess.run that raises with the command's output on failure."""
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.STDOUT)
    p = subprocess.run(cmd, **kw)
    if p.returncode != 0:
        out = p.stdout.decode("utf-8", "replace") if p.stdout else ""
        raise EmuError("%s failed (%d):\n%s" % (" ".join(cmd), p.returncode, out[-4000:]))
    return p.stdout.decode("utf-8", "replace") if p.stdout else ""


class CacheLock:
    """One preparation at a time per cache directory (tests may overlap)."""

    def __enter__(self):
        os.makedirs(CACHE, exist_ok=True)
        self.f = open(os.path.join(CACHE, ".lock"), "w")
        fcntl.flock(self.f, fcntl.LOCK_EX)
        return self

    def __exit__(self, *exc):
        fcntl.flock(self.f, fcntl.LOCK_UN)
        self.f.close()


def ensure_packages():
    run(["sh", os.path.join(TOP, "tests", "tools", "ensure-packages.sh")] + PACKAGES,
        stdout=None, stderr=None)


# The kernel the server boots: a series ("6.1", "6.12") means the newest
# Debian amd64 headers of that series installed on the host (installed
# from the package lists when there are none); a full release
# ("6.12.118+deb12-amd64") names one exactly. The image of the same
# release is fetched to match.
KVER = os.environ.get("TARNEX_EMU_KVER", "6.1")
# Debian 12's own kernels are 6.1.0-ABI-amd64, its updates 6.12.N+debR-amd64
_RELEASE = re.compile(r"^(\d+)\.(\d+)\.(\d+)(?:-(\d+)|\+deb(\d+))-amd64$")
_release = {}


def _release_key(rel):
    return tuple(int(x or 0) for x in _RELEASE.match(rel).groups())


def _of_series(rel, series):
    return bool(_RELEASE.match(rel)) and (rel == series or rel.startswith(series + "."))


def kernel_release(series=None):
    """The release of the chosen kernel (see KVER), installing its headers
    when no release of the series has them yet."""
    series = series or KVER
    if series in _release:
        return _release[series]
    have = [os.path.basename(d)[len("linux-headers-"):]
            for d in glob.glob("/usr/src/linux-headers-*-amd64") if os.path.isdir(d)]
    found = sorted((r for r in have if _of_series(r, series)), key=_release_key)
    if not found:
        text = run(["apt-cache", "search", "--names-only",
                    "^linux-headers-%s[.-]" % re.escape(series)])
        names = [l.split()[0][len("linux-headers-"):] for l in text.splitlines() if l.strip()]
        found = sorted((r for r in names if _of_series(r, series)), key=_release_key)
        if not found:
            raise EmuError("no Debian amd64 kernel headers of %s installed or available"
                           % series)
        run(["sh", os.path.join(TOP, "tests", "tools", "ensure-packages.sh"),
             "linux-headers-" + found[-1]], stdout=None, stderr=None)
    _release[series] = found[-1]
    return found[-1]


def headers_dir():
    return "/usr/src/linux-headers-" + kernel_release()


def _dpkg_version(pkg):
    p = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL)
    return p.stdout.decode().strip() if p.returncode == 0 else ""


def _download(debs, pkg, version):
    """apt-get download of the image, the headers' version first; with a
    stale package list, once more after apt-get update."""
    specs = ([pkg + "=" + version] if version else []) + [pkg]
    text = ""
    for update in (False, True):
        if update:
            run(["apt-get", "update", "-qq"])
        for spec in specs:
            p = subprocess.run(["apt-get", "download", "-q", spec], cwd=debs,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            text = p.stdout.decode("utf-8", "replace")
            found = glob.glob(os.path.join(debs, "%s_*.deb" % pkg))
            if found:
                return found
    raise EmuError("apt-get download %s failed:\n%s" % (pkg, text[-2000:]))


def kernel_image():
    """Unpacks linux-image-KVER (the version of the installed headers) into
    the cache once; returns (vmlinuz, image root)."""
    kver = kernel_release()
    root = os.path.join(CACHE, "kimg-" + kver)
    vmlinuz = os.path.join(root, "boot", "vmlinuz-" + kver)
    if os.path.exists(os.path.join(root, ".done")):
        return vmlinuz, root
    pkg = "linux-image-" + kver
    debs = os.path.join(CACHE, "debs")
    os.makedirs(debs, exist_ok=True)
    version = _dpkg_version("linux-headers-" + kver)
    found = glob.glob(os.path.join(debs, "%s_*.deb" % pkg))
    if not found:
        log("fetching %s %s" % (pkg, version))
        found = _download(debs, pkg, version)
    tmp = root + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    run(["dpkg-deb", "-x", found[0], tmp])
    # the package's postinst would run depmod; do it on the unpacked tree
    run(["depmod", "-b", tmp, kver])
    shutil.rmtree(root, ignore_errors=True)
    os.rename(tmp, root)
    open(os.path.join(root, ".done"), "w").close()
    return vmlinuz, root


def _tree_hash(paths):
    h = hashlib.sha256()
    for p in sorted(paths):
        h.update(p.encode())
        with open(p, "rb") as f:
            h.update(f.read())
    return h.hexdigest()[:16]


def build_module(name, src=None, extra_warnings=True):
    """Builds tests/emu/NAME (or the Kbuild module in src) in a copy under
    the cache, so that the clone stays clean; fails on any compiler
    warning (with the kernel's W=1 set unless extra_warnings is off).
    Returns the .ko path."""
    src = src or os.path.join(HERE, name)
    files = [os.path.join(src, f) for f in sorted(os.listdir(src))
             if f.endswith((".c", ".h")) or f == "Kbuild"]
    kdir = headers_dir()
    out = os.path.join(CACHE, "%s-%s-%s%s" % (name, kernel_release(), _tree_hash(files),
                                              "-w1" if extra_warnings else ""))
    kos = glob.glob(os.path.join(out, "*.ko"))
    if kos:
        return kos[0]
    tmp = out + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    for f in files:
        shutil.copy(f, tmp)
    text = run(["make", "-C", kdir, "M=" + tmp] + (["W=1"] if extra_warnings else [])
               + ["modules"])
    warnings = [l for l in text.splitlines() if re.search(r"warning:|error:", l)]
    if warnings:
        raise EmuError("%s build is not clean:\n%s" % (name, "\n".join(warnings)))
    shutil.rmtree(out, ignore_errors=True)
    os.rename(tmp, out)
    return glob.glob(os.path.join(out, "*.ko"))[0]


def build_tools():
    """Static x86_64 guest tools from tests/emu/tools/*.c."""
    out = os.path.join(CACHE, "tools")
    os.makedirs(out, exist_ok=True)
    built = []
    for c in sorted(glob.glob(os.path.join(HERE, "tools", "*.c"))):
        exe = os.path.join(out, os.path.basename(c)[:-2])
        if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(c):
            run(["gcc", "-O2", "-Wall", "-Wextra", "-Werror", "-static", "-o", exe, c])
        built.append(exe)
    return built


def dynamic_tarnex():
    path = os.environ.get("TARNEX_BIN", os.path.join(TOP, "build", "bin", "tarnex"))
    if not os.path.exists(path):
        raise EmuError("%s is missing: build the command first (make)" % path)
    return path


def static_tarnex():
    """The static i386 build, from its own tree (build-static)."""
    path = os.environ.get("TARNEX_STATIC_BIN")
    if path:
        return path
    bdir = os.environ.get("TARNEX_STATIC_BUILD", os.path.join(TOP, "build-static"))
    if not os.path.exists(os.path.join(bdir, "CMakeCache.txt")):
        run(["cmake", "-S", TOP, "-B", bdir, "-DTARNEX_STATIC=ON", "-DTARNEX_TESTS=OFF",
             "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
    run(["cmake", "--build", bdir, "--target", "tarnex", "-j2"])
    return os.path.join(bdir, "bin", "tarnex")


def panicforkiv_module():
    """panicforkiv.ko built from panicforkiv/ for the image's kernel, with
    the module's own flags and the kernel's W=1: a warning on either kernel
    fails the boot."""
    with CacheLock():
        return build_module("panicforkiv", os.path.join(TOP, "panicforkiv"))


def panic_exit_module():
    """panic_exit.ko (tests/emu/panic_exit): the last panic notifier, which
    makes QEMU exit with status 1 through the ISA pvpanic device."""
    with CacheLock():
        return build_module("panic_exit")


# Debian's kexec is linked against libxenctrl (for Xen hosts): its package
# and the libraries that one needs come along.
KEXEC_DEBS = ["kexec-tools", "libxenmisc4.17", "libxentoollog1", "libxencall1",
              "libxenevtchn1", "libxengnttab1", "libxenforeignmemory1", "libxendevicemodel1",
              "libxentoolcore1"]


def kexec_tools():
    """Debian's kexec, unpacked with the libraries it needs beyond the
    host's into the cache (never installed: the package's scripts would
    take over the host's reboots). Returns (path of sbin/kexec, library
    directories to search first)."""
    root = os.path.join(CACHE, "kexec-tools")
    exe = os.path.join(root, "sbin", "kexec")
    libdirs = [os.path.join(root, "usr", "lib", "x86_64-linux-gnu"),
               os.path.join(root, "lib", "x86_64-linux-gnu")]
    if os.path.exists(os.path.join(root, ".done")):
        return exe, libdirs
    debs = os.path.join(CACHE, "debs")
    os.makedirs(debs, exist_ok=True)
    tmp = root + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    for pkg in KEXEC_DEBS:
        found = glob.glob(os.path.join(debs, "%s_*.deb" % pkg))
        if not found:
            log("fetching %s" % pkg)
            found = _download(debs, pkg, "")
        run(["dpkg-deb", "-x", found[0], tmp])
    shutil.rmtree(root, ignore_errors=True)
    os.rename(tmp, root)
    open(os.path.join(root, ".done"), "w").close()
    return exe, libdirs


def _vermagic(ko):
    return run(["modinfo", "-F", "vermagic", ko]).strip()


def prepare(static=True):
    """Everything a boot needs; returns a dict of paths."""
    with CacheLock():
        ensure_packages()
        vmlinuz, kimg = kernel_image()
        # the stand-in driver and the stand-in SCSI adapter
        kos = [build_module("tarnex_drv"), build_module("emuhba")]
        tools = build_tools()
        ref = _kmod_closure(os.path.join(kimg, "lib", "modules", kernel_release()), ["scsi_mod"])
        want = _vermagic(os.path.join(kimg, "lib", "modules", kernel_release(), ref[-1]))
        for ko in kos:
            if _vermagic(ko) != want:
                raise EmuError("%s was built for '%s', the image is '%s'"
                               % (ko, _vermagic(ko), want))
    return {"vmlinuz": vmlinuz, "kimg": kimg, "kver": kernel_release(), "kos": kos,
            "tools": tools, "dynamic": dynamic_tarnex(),
            "static": static_tarnex() if static else None}


# ---------------------------------------------------------------- initramfs

def _needed(elf):
    text = run(["readelf", "-d", elf])
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", text)


def _interp(elf):
    text = run(["readelf", "-l", elf])
    m = re.search(r"Requesting program interpreter: ([^\]]+)\]", text)
    return m.group(1) if m else None


def _lib_closure(elf, dirs):
    """Host paths of the shared libraries elf needs, searched in dirs."""
    todo, found = list(_needed(elf)), {}
    while todo:
        name = todo.pop()
        if name in found:
            continue
        for d in dirs:
            p = os.path.join(d, name)
            if os.path.exists(p):
                found[name] = p
                todo.extend(_needed(os.path.realpath(p)))
                break
        else:
            raise EmuError("%s: library %s not found in %s" % (elf, name, dirs))
    return found


def _copy_elf_with_libs(root, elf, dest, libdirs, guest_libdir):
    shutil.copy(elf, os.path.join(root, dest.lstrip("/")))
    interp = _interp(elf)
    if interp:
        d = os.path.join(root, os.path.dirname(interp).lstrip("/"))
        os.makedirs(d, exist_ok=True)
        shutil.copy(os.path.realpath(interp), os.path.join(root, interp.lstrip("/")))
        for name, path in _lib_closure(elf, libdirs).items():
            d = os.path.join(root, guest_libdir.lstrip("/"))
            os.makedirs(d, exist_ok=True)
            shutil.copy(os.path.realpath(path), os.path.join(d, name))


def _kmod_closure(moddir, names):
    """Module paths relative to moddir, dependencies first."""
    deps = {}
    with open(os.path.join(moddir, "modules.dep")) as f:
        for line in f:
            m, _, rest = line.partition(":")
            deps[m] = rest.split()
    order, seen = [], set()

    def visit(m):
        if m in seen:
            return
        seen.add(m)
        for d in reversed(deps[m]):
            visit(d)
        order.append(m)
    for name in names:
        pat = re.compile(r"(^|/)%s\.ko(\.xz|\.zst)?$" % re.sub(r"[-_]", "[-_]", name))
        hits = [m for m in deps if pat.search(m)]
        if not hits:
            raise EmuError("kernel module %s not found" % name)
        visit(hits[0])
    return order


def _plain_ko(path):
    return re.sub(r"\.ko\.(xz|zst)$", ".ko", path)


def _copy_kmod(src, dest):
    """A kernel module into the initramfs, uncompressed (6.12's are .ko.xz,
    which busybox's insmod cannot read); depmod then finds it as .ko."""
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    if src.endswith(".ko"):
        shutil.copy(src, dest)
        return
    tool = "xz" if src.endswith(".xz") else "zstd"
    with open(_plain_ko(dest), "wb") as f:
        subprocess.run([tool, "-dc", src], stdout=f, check=True)


def _cpio(root, out, mode="wb"):
    names = subprocess.run(["find", ".", "-print0"], cwd=root, stdout=subprocess.PIPE,
                           check=True).stdout
    with open(out, mode) as f:
        subprocess.run(["cpio", "--null", "-o", "-H", "newc", "--owner=0:0", "--quiet"],
                       cwd=root, input=names, stdout=f, check=True)


def _append_kdump(prep, out):
    """Appends a second archive to the initramfs out: /kdump/vmlinuz and
    /kdump/initrd (the kernel and the initramfs as they were before this
    archive) and Debian's kexec with its libraries, so that a scenario can
    load the same kernel and initramfs as its crash kernel with kexec -p.
    The kernel unpacks concatenated archives one after the other."""
    root = tempfile.mkdtemp(prefix="tarnex-emu-kdump-")
    try:
        for d in ("kdump", "usr/sbin"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        shutil.copy(prep["vmlinuz"], os.path.join(root, "kdump", "vmlinuz"))
        shutil.copy(out, os.path.join(root, "kdump", "initrd"))
        exe, libdirs = kexec_tools()
        amd64_dirs = libdirs + ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"]
        _copy_elf_with_libs(root, exe, "/usr/sbin/kexec", amd64_dirs, "/lib/x86_64-linux-gnu")
        _cpio(root, out, "ab")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def build_initramfs(prep, out, extra_files=(), extra_kos=(), kdump=False):
    """An uncompressed newc cpio (the kernel unpacks it faster than gzip
    under emulation): busybox, kernel modules, both builds of the command
    with the i386 loader and libraries, lspci, the guest tools, the
    stand-in driver, /init and the scenarios; with kdump, a crash kernel's
    payload besides (_append_kdump)."""
    kver = prep["kver"]
    moddir = os.path.join(prep["kimg"], "lib", "modules", kver)
    root = tempfile.mkdtemp(prefix="tarnex-emu-root-")
    try:
        for d in ("bin", "sbin", "usr/bin", "usr/sbin", "proc", "sys", "dev", "tmp", "extra",
                  "scen", "opt/dynamic", "opt/static", "etc", "lib32", "root", "run"):
            os.makedirs(os.path.join(root, d), exist_ok=True)
        shutil.copy("/bin/busybox", os.path.join(root, "bin", "busybox"))
        applets = subprocess.run(["/bin/busybox", "--list"], stdout=subprocess.PIPE).stdout
        for a in applets.decode().split():
            if a != "busybox":
                os.symlink("busybox", os.path.join(root, "bin", a))
        boot = _kmod_closure(moddir, BOOT_KMODS)
        extra = _kmod_closure(moddir, EXTRA_KMODS)
        for m in boot + extra:
            _copy_kmod(os.path.join(moddir, m), os.path.join(root, "lib", "modules", kver, m))
        for f in ("modules.order", "modules.builtin", "modules.builtin.modinfo"):
            if os.path.exists(os.path.join(moddir, f)):
                shutil.copy(os.path.join(moddir, f), os.path.join(root, "lib", "modules", kver))
        run(["depmod", "-b", root, kver])
        with open(os.path.join(root, "modules.order"), "w") as f:
            for m in boot:
                f.write("/lib/modules/%s/%s\n" % (kver, _plain_ko(m)))
        # the command: dynamic i386 (loader and libraries from libc6-i386) and static
        i386_dirs = ["/lib32", "/usr/lib32", "/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu"]
        _copy_elf_with_libs(root, prep["dynamic"], "/opt/dynamic/tarnex", i386_dirs, "/lib32")
        if prep.get("static"):
            shutil.copy(prep["static"], os.path.join(root, "opt", "static", "tarnex"))
        amd64_dirs = ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu"]
        _copy_elf_with_libs(root, "/usr/bin/lspci", "/usr/bin/lspci", amd64_dirs,
                            "/lib/x86_64-linux-gnu")
        for t in prep["tools"]:
            shutil.copy(t, os.path.join(root, "usr", "bin"))
        for k in prep["kos"] + list(extra_kos):
            shutil.copy(k, os.path.join(root, "extra"))
        for host, guest in extra_files:
            dest = os.path.join(root, guest.lstrip("/"))
            os.makedirs(os.path.dirname(dest), exist_ok=True)
            shutil.copy(host, dest)
        shutil.copy(os.path.join(HERE, "guest", "init"), os.path.join(root, "init"))
        os.chmod(os.path.join(root, "init"), 0o755)
        for f in glob.glob(os.path.join(HERE, "guest", "*.sh")):
            shutil.copy(f, os.path.join(root, "scen"))
        for f in glob.glob(os.path.join(HERE, "guest", "scen", "*.sh")):
            shutil.copy(f, os.path.join(root, "scen"))
        with open(os.path.join(root, "etc", "passwd"), "w") as f:
            f.write("root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534::/:/bin/false\n")
        _cpio(root, out)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    if kdump:
        _append_kdump(prep, out)
    return out


# ---------------------------------------------------------------- the machine

def machine_args(workdir, bmc="sim"):
    """QEMU's devices: q35; a PCI Express switch with two hot-plug downstream
    ports; a PCIe-to-PCI bridge with an SHPC bridge behind it; two SCSI HBAs
    with a disk each; functions with a power-management capability on each
    hot-plug bus and on the root bus, two of which the stand-in SCSI adapter
    may drive; a KCS BMC.

    bmc: "sim" (QEMU's own BMC), None, or ("extern", PORT) for a BMC of our
    own on 127.0.0.1:PORT behind ipmi-bmc-extern."""
    disks = []
    for name, sig in (("disk1", "EMU-DISK-SAS"), ("disk2", "EMU-DISK-SPI"), ("nvme", "EMU-NVME")):
        p = os.path.join(workdir, name + ".raw")
        with open(p, "wb") as f:
            f.write(sig.encode())
            f.truncate(16 << 20)
        disks.append(p)
    a = [
        "-device", "pcie-root-port,id=rp1,bus=pcie.0,addr=0x4,chassis=1,slot=1",
        "-device", "x3130-upstream,id=up1,bus=rp1",
        "-device", "xio3130-downstream,id=dp1,bus=up1,port=0,chassis=2,slot=2",
        "-device", "xio3130-downstream,id=dp2,bus=up1,port=1,chassis=2,slot=3",
        "-device", "megasas-gen2,id=hba1,bus=dp1",
        "-drive", "if=none,id=d1,file=%s,format=raw" % disks[0],
        "-device", "scsi-hd,drive=d1,bus=hba1.0,serial=EMU-SAS",
        "-drive", "if=none,id=d3,file=%s,format=raw" % disks[2],
        "-device", "nvme,id=nvme1,bus=dp2,serial=EMU-NVME,drive=d3",
        "-device", "pcie-pci-bridge,id=ppb1,bus=pcie.0,addr=0x5",
        "-device", "pci-bridge,id=pb1,bus=ppb1,addr=0x1,chassis_nr=3,shpc=on",
        "-device", "i82559er,id=nic1,bus=ppb1,addr=0x2",
        "-device", "lsi53c895a,id=hba2,bus=pb1,addr=0x2",
        "-drive", "if=none,id=d2,file=%s,format=raw" % disks[1],
        "-device", "scsi-hd,drive=d2,bus=hba2.0,scsi-id=0,serial=EMU-SPI",
        "-device", "i82559er,id=nic2,bus=pb1,addr=0x3",
        # the stand-in SCSI adapter (emuhba.ko) takes this one and the nvme
        "-device", "i82559er,id=nic4,bus=pb1,addr=0x4",
        "-device", "e1000e,id=nic3,bus=pcie.0,addr=0x6",
        # hand the bridges' hot-plug to the kernel's SHPC and pciehp drivers
        "-global", "ICH9-LPC.acpi-pci-hotplug-with-bridge-support=off",
    ]
    if bmc == "sim":
        a += ["-device", "ipmi-bmc-sim,id=bmc0"]
    elif isinstance(bmc, tuple) and bmc[0] == "extern":
        a += ["-chardev", "socket,id=ipmi0,host=127.0.0.1,port=%d,reconnect=1" % bmc[1],
              "-device", "ipmi-bmc-extern,id=bmc0,chardev=ipmi0"]
    if bmc:
        a += ["-device", "isa-ipmi-kcs,bmc=bmc0,ioport=0xca2"]
    return a


class Boot:
    """What one boot left: QEMU's exit status, the console text and the
    files the scenarios wrote (under .out)."""

    def __init__(self, rc, console, out, seconds):
        self.rc, self.console, self.out, self.seconds = rc, console, out, seconds

    def path(self, *parts):
        return os.path.join(self.out, *parts)

    def read(self, *parts, default=None):
        try:
            with open(self.path(*parts), "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            if default is not None:
                return default
            raise

    def exists(self, *parts):
        return os.path.exists(self.path(*parts))


def _extract_data(text, dest):
    """Unpacks every complete base64 tar the guest sent on ttyS1, in order,
    later copies over earlier ones: a flush before a panic and the crash
    kernel's own files both arrive."""
    blocks = re.findall(r"@@DATA-BEGIN\r?\n(.*?)@@DATA-END", text, re.S)
    if not blocks:
        return False
    got = False
    for block in blocks:
        raw = base64.b64decode("".join(block.split()))
        try:
            with tarfile.open(fileobj=io.BytesIO(raw)) as t:
                t.extractall(dest)
            got = True
        except tarfile.TarError as e:
            # a file that grew while the guest's tar read it: the next
            # flush (or the crash kernel's) still counts
            log("a data block from the guest is broken (%s)" % e)
    return got


class Server:
    """One emulated server configuration; boot() may be called many times."""

    def __init__(self, static=True, extra_files=(), extra_kos=(), bmc="sim", smp=2,
                 memory=512, keep=None, kdump=False):
        keep = keep or os.environ.get("TARNEX_EMU_KEEP")
        self.prep = prepare(static=static)
        self.bmc, self.smp, self.memory = bmc, smp, memory
        self.dir = keep or tempfile.mkdtemp(prefix="tarnex-emu-")
        os.makedirs(self.dir, exist_ok=True)
        self.keep = keep is not None
        if kdump:
            with CacheLock():
                kexec_tools()
        self.initrd = build_initramfs(self.prep, os.path.join(self.dir, "initramfs.cpio"),
                                      extra_files, extra_kos, kdump)

    def close(self):
        if not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def command(self, workdir, append, qemu_extra=(), tap_port=None):
        console = os.path.join(workdir, "console.log")
        if tap_port:
            con = "socket,id=con,host=127.0.0.1,port=%d,logfile=%s" % (tap_port, console)
        else:
            con = "file,id=con,path=%s" % console
        return (["qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-M", "q35",
                 "-m", str(self.memory), "-smp", str(self.smp), "-nodefaults",
                 "-display", "none", "-no-reboot",
                 "-kernel", self.prep["vmlinuz"], "-initrd", self.initrd,
                 "-append", " ".join(append),
                 "-chardev", con,
                 "-serial", "chardev:con",
                 "-chardev", "file,id=data,path=%s" % os.path.join(workdir, "data.log"),
                 "-serial", "chardev:data"]
                + machine_args(workdir, self.bmc) + list(qemu_extra))

    def boot(self, scenarios, variant="dynamic", disks=2, kernel_args=(), qemu_extra=(),
             expect_rc=(0,), end_marker=END_MARKER, timeout=BOOT_TIMEOUT, tries=2, tap=False):
        """Boots with /init running the scenarios in turn. A boot counts when
        QEMU exits with a status in expect_rc, the console shows end_marker and
        the guest's data arrived; otherwise it is tried once more. With tap,
        the console also goes through a socket to this process, which notes
        the host's time.monotonic() of each line (Boot.tap)."""
        append = ["console=ttyS0", "panic=-1", "loglevel=4", "sym53c8xx.settle=0",
                  "emu.scen=" + ",".join(scenarios), "emu.variant=" + variant,
                  "emu.disks=%d" % disks] + list(kernel_args)
        why = ""
        for attempt in range(1, tries + 1):
            work = os.path.join(self.dir, "boot-%d-%s" % (int(time.time() * 1000), attempt))
            os.makedirs(work)
            console_tap = ConsoleTap() if tap else None
            cmd = self.command(work, append, qemu_extra,
                               console_tap.port if console_tap else None)
            with open(os.path.join(work, "qemu.cmd"), "w") as f:
                f.write(" ".join(cmd) + "\n")
            start = time.monotonic()
            try:
                p = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, timeout=timeout)
                rc, qout = p.returncode, p.stdout.decode("utf-8", "replace")
            except subprocess.TimeoutExpired as e:
                rc, qout = None, (e.stdout or b"").decode("utf-8", "replace")
            seconds = time.monotonic() - start
            lines = console_tap.finish(os.path.join(work, "console.times")) if tap else None
            with open(os.path.join(work, "qemu.out"), "w") as f:
                f.write(qout)
            console = _read(os.path.join(work, "console.log"))
            out = os.path.join(work, "out")
            got_data = _extract_data(_read(os.path.join(work, "data.log")), out)
            if rc is None:
                why = "no end after %d s" % timeout
            elif rc not in expect_rc:
                why = "QEMU exit status %d" % rc
            elif "EMU-INSMOD-FAIL" in console:
                raise EmuError("a module did not load:\n%s" % "\n".join(
                    l for l in console.splitlines() if "EMU-INSMOD-FAIL" in l or "insmod" in l))
            elif end_marker and end_marker not in console:
                why = "no %s on the console" % end_marker
            elif end_marker == END_MARKER and not got_data:
                why = "no data from the guest"
            else:
                log("boot %s: %.1f s, QEMU status %d" % (",".join(scenarios), seconds, rc))
                b = Boot(rc, console, out, seconds)
                b.tap, b.work = lines, work
                return b
            log("boot %s attempt %d failed: %s (%s)" % (",".join(scenarios), attempt, why, work))
            tail = console[-3000:]
        raise EmuError("emulated server did not finish: %s\nQEMU: %s\nconsole tail:\n%s"
                       % (why, qout[-1000:], tail))


class ConsoleTap:
    """Reads the console from a socket QEMU connects to and notes, for each
    line, the host's time.monotonic() when its end arrived."""

    def __init__(self):
        import socket
        import threading
        self.srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.srv.bind(("127.0.0.1", 0))
        self.srv.listen(1)
        self.srv.settimeout(BOOT_TIMEOUT)
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
            while True:
                try:
                    chunk = conn.recv(65536)
                except OSError:
                    break
                if not chunk:
                    break
                now = time.monotonic()
                part += chunk
                *done, part = part.split(b"\n")
                for line in done:
                    self.lines.append((now, line.decode("latin-1").rstrip("\r")))
        if part:
            self.lines.append((time.monotonic(), part.decode("latin-1")))

    def finish(self, path):
        """After QEMU has exited: the (time, line) list, also written to path."""
        self.thread.join(5)
        self.srv.close()
        with open(path, "w") as f:
            for t, line in self.lines:
                f.write("%.6f %s\n" % (t, line))
        return list(self.lines)


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except OSError:
        return ""


def main(argv):
    import argparse
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    sub.add_parser("prepare")
    b = sub.add_parser("boot")
    b.add_argument("scenarios")
    b.add_argument("--variant", default="dynamic", choices=("dynamic", "static"))
    b.add_argument("--keep", help="directory that keeps the boot's files")
    args = ap.parse_args(argv)
    if args.cmd == "prepare":
        for k, v in prepare().items():
            print("%s: %s" % (k, v))
        return 0
    with Server(keep=args.keep or tempfile.mkdtemp(prefix="tarnex-emu-keep-")) as s:
        r = s.boot(args.scenarios.split(","), variant=args.variant)
        sys.stdout.write(r.console)
        print("\nfiles: %s (%.1f s)" % (r.out, r.seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
