#!/usr/bin/env python3
"""PCI snapshot benchmark: pci_probe against lspci -n on the same trees.

Trees: a fixture of COUNT functions (configuration spaces laid out by the
sandbox tests' fixture module, attribute files added so that lspci can read
it) and the host's own /sys/bus/pci. Probes: the i386 pci_probe (through the
i386 runner when the build has one) and a native x86_64 pci_probe.

Figures per tree and probe:
  - wall time of one process that takes one snapshot, median of RUNS, and
    the ratio to one lspci -n process on the same tree;
  - time of one snapshot inside a process (pci_probe repeat), per scan;
  - opens and configuration reads (pread) per function, counted with strace
    for native programs and qemu's -strace for the emulated one; the probe's
    count has the reads of a run over an empty tree (the loader's) taken off;
  - the wall time of a probe process over an empty tree: its fixed start-up
    cost, which under an emulator dominates small trees.

usage: pci_scan.py --i386 PROBE [--runner QEMU] --native PROBE [--count N] [--runs N]
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "sandbox"))
import sandbox  # noqa: E402

HOST_SYSFS = "/sys/bus/pci"
RESOURCE_LINE = "0x%016x 0x%016x 0x%016x" % (0, 0, 0)


def write_large_tree(devices, count):
    """count functions: endpoints on buses 1.., eight functions per device
    (function 0 marked multi-function), every fourth with a power-management
    capability; beside each config file the vendor, device, class, irq and
    resource files that lspci reads too."""
    for i in range(count):
        bus, dev, fn = 1 + (i // 256) % 255, (i // 8) % 32, i % 8
        vendor, device = 0x1000 + i % 7, 0x0030 + i % 13
        data, _ = sandbox.config(vendor=vendor, device=device, cls=0x010700, revision=i & 0xff,
                                 header_type=0x80 if fn == 0 else 0,
                                 caps=[sandbox.pm_cap()] if i % 4 == 0 else [])
        d = os.path.join(devices, "0000:%02x:%02x.%x" % (bus, dev, fn))
        os.makedirs(d)
        for name, text in (("config", data), ("vendor", "0x%04x\n" % vendor),
                           ("device", "0x%04x\n" % device), ("class", "0x010700\n"),
                           ("irq", "0\n"), ("resource", "\n".join([RESOURCE_LINE] * 7) + "\n")):
            with open(os.path.join(d, name), "wb" if name == "config" else "w") as f:
                f.write(text)


def wall(argv, runs):
    """Median wall time in seconds of running argv, after one warm-up."""
    subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    times = []
    for _ in range(runs):
        t = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def in_process(probe, devices, repeat):
    """Seconds per snapshot when repeat snapshots run in one process."""
    base = wall(probe + ["repeat", "1", devices], 3)
    total = wall(probe + ["repeat", str(repeat), devices], 3)
    return max(total - base, 0.0) / (repeat - 1)


def count_syscalls(argv, devices, emulated):
    """(opens of config files, preads) of one run."""
    with tempfile.NamedTemporaryFile("r", suffix=".trace") as out:
        if emulated:
            # qemu-user prints the guest's system calls on standard error.
            proc = subprocess.run([argv[0], "-strace"] + argv[1:], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, check=True)
            text = proc.stderr.decode("latin-1")
        else:
            subprocess.run(["strace", "-f", "-qq", "-o", out.name,
                            "-e", "trace=open,openat,pread64,read"] + argv,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            text = out.read()
    quoted = re.escape(devices)
    opens = len(re.findall(r'open(?:at)?\([^"\n]*"' + quoted + r'/[^"/]*/config"', text))
    preads = len(re.findall(r"pread(?:64)?\(", text))
    return opens, preads


def functions_in(devices):
    n = 0
    for name in os.listdir(devices):
        if name.startswith("."):
            continue
        with open(os.path.join(devices, name, "config"), "rb") as f:
            if f.read(2) != b"\xff\xff":
                n += 1
    return n


def bench_tree(label, sysfs, probes, runs, repeat, empty):
    """empty: a devices directory without functions, for the fixed costs of a
    process (start-up, the emulator, the loader's own reads)."""
    devices = os.path.join(sysfs, "devices")
    n = max(functions_in(devices), 1)
    lspci = ["lspci", "-n", "-O", "sysfs.path=" + sysfs]
    t_lspci = wall(lspci, runs)
    lspci_opens, lspci_preads = count_syscalls(lspci, devices, False)
    print("\n%s: %d functions" % (label, n))
    print("  %-22s %9.2f ms/process %6s   opens/fn %.2f  preads/fn %.2f"
          % ("lspci -n", t_lspci * 1e3, "1.00x", lspci_opens / n, lspci_preads / n))
    for name, argv, emulated in probes:
        out = subprocess.run(argv + ["scan", devices], stdout=subprocess.PIPE, check=True)
        listed = len(out.stdout.splitlines()) - 1
        t = wall(argv + ["scan", devices], runs)
        t_empty = wall(argv + ["scan", empty], runs)
        per_scan = in_process(argv, devices, repeat)
        opens, preads = count_syscalls(argv + ["scan", devices], devices, emulated)
        _, preads_empty = count_syscalls(argv + ["scan", empty], empty, emulated)
        print("  %-22s %9.2f ms/process %5.2fx   opens/fn %.2f  preads/fn %.2f"
              % (name, t * 1e3, t / t_lspci, opens / n, (preads - preads_empty) / n))
        print("  %-22s %9.2f ms start-up on an empty tree, %.2f ms/scan in-process,"
              " %d listed" % ("", t_empty * 1e3, per_scan * 1e3, listed))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--i386", required=True, help="i386 pci_probe")
    ap.add_argument("--runner", default="", help="program that runs i386 binaries")
    ap.add_argument("--native", required=True, help="x86_64 pci_probe")
    ap.add_argument("--count", type=int, default=4096)
    ap.add_argument("--runs", type=int, default=11)
    ap.add_argument("--repeat", type=int, default=10)
    args = ap.parse_args()

    i386 = ([args.runner] if args.runner else []) + [args.i386]
    probes = [("pci_probe i386" + (" (qemu)" if args.runner else ""), i386, bool(args.runner)),
              ("pci_probe x86_64", [args.native], False)]

    root = tempfile.mkdtemp(prefix="pci-bench-")
    try:
        write_large_tree(os.path.join(root, "devices"), args.count)
        empty = os.path.join(root, "empty")
        os.mkdir(empty)
        bench_tree("fixture tree", root, probes, args.runs, args.repeat, empty)
        if os.path.isdir(os.path.join(HOST_SYSFS, "devices")) and \
                os.listdir(os.path.join(HOST_SYSFS, "devices")):
            bench_tree("host tree " + HOST_SYSFS, HOST_SYSFS, probes, args.runs * 4,
                       args.repeat * 10, empty)
        else:
            print("\nhost tree: no PCI functions in %s/devices" % HOST_SYSFS)
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
