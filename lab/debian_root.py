"""A real Debian 12 root file system for the emulated server.

image() builds, once, an ext4 disk image of a bookworm system made with
debootstrap: systemd and udev, the Debian kernel whose release the lab's
modules are built for (with its headers, so that DKMS can build there), the
compiler DKMS needs, and kdump-tools installed with apt and enabled, its
crash-kernel initramfs already built (under emulation that alone takes
minutes). A service in the image, lab-stage.service, runs
/stage.sh from the disk labelled "labdata" at every boot, when that disk
is there, so a scenario drives the server with no step by hand.

Everything is cached outside the clone: $TARNEX_DEBROOT_CACHE, default
/var/tmp/tarnex-debroot: the downloaded packages (debs/, archives/) and one
image per kernel release and version of this file. A first build takes
about ten minutes (network and dpkg), a cached one nothing.

Command line (from the top of the clone):
    python3 lab/debian_root.py [KERNEL-RELEASE]
"""

import fcntl
import hashlib
import inspect
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from lab import LabError, default_kernel, log, run  # noqa: E402
CACHE = os.environ.get("TARNEX_DEBROOT_CACHE", "/var/tmp/tarnex-debroot")
MIRROR = os.environ.get("TARNEX_DEBIAN_MIRROR", "http://deb.debian.org/debian")
SECURITY = os.environ.get("TARNEX_DEBIAN_SECURITY", "http://deb.debian.org/debian-security")
IMAGE_SIZE = "4G"
# what the image and a run on it need on the host (_build installs the
# first two itself)
HOST_PACKAGES = ["debootstrap", "e2fsprogs", "qemu-utils"]

BOOTSTRAP = ["systemd", "systemd-sysv", "udev", "kmod", "procps", "e2fsprogs"]
# What DKMS, kdump-tools and the packages under test need, so that a
# scenario installs them with dpkg and no network.
INSTALL = ["initramfs-tools", "zstd", "dkms", "gcc", "make", "libc6-dev", "openssl",
           "libc6-i386", "kdump-tools", "makedumpfile"]

# Answers to the packages' questions: no kexec on reboot (a reboot is a
# reset of the emulated machine), kdump enabled.
DEBCONF = """kexec-tools kexec-tools/load_kexec boolean false
kdump-tools kdump-tools/use_kdump boolean true
"""

# The first kernel's initramfs: only what mounts the root disk. MODULES=list
# because the build machine's kernel may lack /proc/modules (dep fails).
# The machine boots the kernel and initramfs kept beside the image, so
# update-initramfs is switched off: package triggers would only rebuild an
# initramfs nobody boots, for minutes under emulation. kdump-tools builds
# its own with mkinitramfs and is not affected.
INITRAMFS_CONF = "MODULES=list\nCOMPRESS=zstd\n"
INITRAMFS_MODULES = "virtio_pci\nvirtio_blk\next4\n"

STAGE_UNIT = """[Unit]
Description=Emulated-server scenario stage (lab)
ConditionPathExists=/dev/disk/by-label/labdata
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'mkdir -p /run/lab && mount -o ro /dev/disk/by-label/labdata /run/lab && exec /bin/sh /run/lab/stage.sh >/dev/ttyS1 2>&1'
StandardOutput=journal+console

[Install]
WantedBy=lab-stage.target
"""
# A target of its own, reached after multi-user.target at the end of boot,
# so the stage sees the finished boot (default.target points here).
STAGE_TARGET = """[Unit]
Description=Emulated-server scenario (lab)
Requires=multi-user.target
After=multi-user.target
AllowIsolate=yes
"""


def _key(kver):
    """The image's name: the kernel and everything that goes into the image."""
    recipe = (MIRROR, SECURITY, IMAGE_SIZE, BOOTSTRAP, INSTALL, DEBCONF, INITRAMFS_CONF,
              INITRAMFS_MODULES, STAGE_UNIT, STAGE_TARGET, inspect.getsource(_build))
    return "%s-%s" % (kver, hashlib.sha256(repr(recipe).encode()).hexdigest()[:12])


class _Chroot:
    """proc, sys, dev and the package cache mounted into a root while in use."""

    def __init__(self, root):
        self.root, self.mounts = root, []

    def __enter__(self):
        for src, dst, opts in (("proc", "proc", ["-t", "proc"]), ("sysfs", "sys", ["-t", "sysfs"]),
                               ("/dev", "dev", ["--bind"]), ("/dev/pts", "dev/pts", ["--bind"]),
                               (os.path.join(CACHE, "archives"), "var/cache/apt/archives",
                                ["--bind"])):
            target = os.path.join(self.root, dst)
            os.makedirs(target, exist_ok=True)
            run(["mount"] + opts + [src, target])
            self.mounts.append(target)
        return self

    def __exit__(self, *exc):
        for target in reversed(self.mounts):
            subprocess.run(["umount", "-l", target])

    def sh(self, script):
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "DEBIAN_FRONTEND": "noninteractive",
               "LC_ALL": "C", "HOME": "/root"}
        return run(["chroot", self.root, "/bin/sh", "-ec", script], env=env)


def _write(root, path, text, mode=0o644):
    p = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(p), exist_ok=True)
    with open(p, "w") as f:
        f.write(text)
    os.chmod(p, mode)


def _build(kver, out):
    for d in ("debs", "archives/partial"):
        os.makedirs(os.path.join(CACHE, d), exist_ok=True)
    run(["sh", os.path.join(TOP, "tests", "tools", "ensure-packages.sh"),
         "debootstrap", "e2fsprogs"])
    root = out + ".root"
    subprocess.run(["umount", "-R", "-l", root], stderr=subprocess.DEVNULL)
    shutil.rmtree(root, ignore_errors=True)
    log("debootstrap bookworm into %s" % root)
    run(["debootstrap", "--variant=minbase", "--cache-dir=" + os.path.join(CACHE, "debs"),
         "--include=" + ",".join(BOOTSTRAP), "bookworm", root, MIRROR])
    _write(root, "/etc/apt/sources.list",
           "deb %s bookworm main\ndeb %s bookworm-updates main\n"
           "deb %s bookworm-security main\n" % (MIRROR, MIRROR, SECURITY))
    # no service starts while packages install in the chroot
    _write(root, "/usr/sbin/policy-rc.d", "#!/bin/sh\nexit 101\n", 0o755)
    _write(root, "/etc/initramfs-tools/conf.d/lab", INITRAMFS_CONF)
    _write(root, "/etc/initramfs-tools/modules", INITRAMFS_MODULES)
    _write(root, "/etc/fstab", "/dev/vda / ext4 defaults 0 1\n")
    _write(root, "/etc/hostname", "node1\n")
    _write(root, "/var/lib/lab/debconf", DEBCONF)
    with _Chroot(root) as c:
        log("installing the kernel %s, DKMS and kdump-tools" % kver)
        c.sh("debconf-set-selections /var/lib/lab/debconf; apt-get update -qq; "
             "apt-get install -y -qq --no-install-recommends linux-image-%s linux-headers-%s %s"
             " >/dev/null" % (kver, kver, " ".join(INSTALL)))
        # the crash kernel's initramfs, and the stamp that keeps kdump-tools'
        # first load from building it again
        c.sh("/etc/kernel/postinst.d/kdump-tools %s >/dev/null; "
             "cp /etc/kdump/sysctl.conf /var/lib/kdump/latest_sysctls-%s; "
             "sed -i 's/^update_initramfs=.*/update_initramfs=no/' "
             "/etc/initramfs-tools/update-initramfs.conf" % (kver, kver))
        c.sh("passwd -d root >/dev/null; systemctl set-default lab-stage.target >/dev/null 2>&1"
             " || true")
    os.remove(os.path.join(root, "usr/sbin/policy-rc.d"))
    _write(root, "/etc/systemd/system/lab-stage.service", STAGE_UNIT)
    _write(root, "/etc/systemd/system/lab-stage.target", STAGE_TARGET)
    os.makedirs(os.path.join(root, "etc/systemd/system/lab-stage.target.wants"), exist_ok=True)
    os.symlink("/etc/systemd/system/lab-stage.service",
               os.path.join(root, "etc/systemd/system/lab-stage.target.wants/lab-stage.service"))
    dflt = os.path.join(root, "etc/systemd/system/default.target")
    if os.path.lexists(dflt):
        os.remove(dflt)
    os.symlink("/etc/systemd/system/lab-stage.target", dflt)
    boot = out + ".boot"
    os.makedirs(boot, exist_ok=True)
    for name in ("vmlinuz", "initrd.img"):
        shutil.copy(os.path.join(root, "boot", "%s-%s" % (name, kver)), os.path.join(boot, name))
    log("making the ext4 image")
    img = out + ".raw.tmp"
    if os.path.exists(img):
        os.remove(img)
    run(["mke2fs", "-q", "-t", "ext4", "-L", "root", "-d", root, img, IMAGE_SIZE])
    shutil.rmtree(root)
    os.rename(img, os.path.join(boot, "root.raw"))
    os.rename(boot, out)


def image(kver=None):
    """The cached image for kernel release kver (default: the lab's
    kernel); builds it first when missing. Returns a dict with
    root (raw ext4 image; boot it on an overlay), vmlinuz, initrd, kver."""
    kver = kver or default_kernel()
    out = os.path.join(CACHE, "image-" + _key(kver))
    os.makedirs(CACHE, exist_ok=True)
    with open(os.path.join(CACHE, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.isdir(out):
            _build(kver, out)
    return {"root": os.path.join(out, "root.raw"), "vmlinuz": os.path.join(out, "vmlinuz"),
            "initrd": os.path.join(out, "initrd.img"), "kver": kver}


def data_disk(src_dir, path, size="64M"):
    """A small ext4 disk labelled "labdata" holding src_dir (stage.sh and
    whatever it installs), made without mounting anything."""
    if os.path.exists(path):
        os.remove(path)
    run(["mke2fs", "-q", "-t", "ext4", "-L", "labdata", "-d", src_dir, path, size])
    return path


if __name__ == "__main__":
    for k, v in image(sys.argv[1] if len(sys.argv) > 1 else None).items():
        print("%s: %s" % (k, v))
