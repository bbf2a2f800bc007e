#!/bin/bash
# Real-kernel check of the whole module: builds panicforkiv.ko and the
# stand-in tarnex driver against Debian's 6.1 headers, boots Debian's
# matching kernel under QEMU (TCG, two CPUs, QEMU's KCS interface and BMC
# at port 0xCA2) twice and checks the kernel log step by step:
#  1. first kernel: load without the driver, quiet load with it (exactly
#     the two version lines, a reference on the driver), the debug file's
#     reads and writes, unload, a load with debug 1, then a sysrq panic:
#     the notifier calls tarnex_hook once and tries the halt status;
#  2. first kernel with a crash kernel loaded (kexec_file_load) and
#     crash_kexec_post_notifiers: at the sysrq panic the notifier says
#     "kdump is ready." and stays out, the machine_kexec probe stops the
#     other CPU and calls tarnex_hook once; the crash kernel then loads the
#     module in its second-kernel mode: both files, the dumping
#     announcement, "message".
# QEMU's BMC knows no controller at IPMB 0x24: it answers Send Message with
# 0x83, so every status call fails with that code after a real exchange.
#
# Needs root, qemu-system-x86, busybox-static, cpio and the kernel headers;
# fetches the kernel image with apt-get download.  Not part of ctest; about
# a minute and a half.  Usage: tests/module/vm/module_run.sh   (PFK_VM_WORK=dir)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
work=${PFK_VM_WORK:-/var/tmp/pfkvm}/module
kdir=${KDIR:-$(ls -d /usr/src/linux-headers-*-amd64 | sort -V | tail -n 1)}
kver=${kdir##*/linux-headers-}
mkdir -p "$work"

vmlinuz=$work/../vmlinuz-$kver
if [ ! -s "$vmlinuz" ]; then
    (cd "$work/.." && apt-get download "linux-image-$kver")
    dpkg-deb --fsys-tarfile "$work"/../linux-image-"$kver"_*.deb |
        tar -xO "./boot/vmlinuz-$kver" > "$vmlinuz"
fi

# The module and the stand-in driver, built outside the source tree.
for m in panicforkiv tarnex; do
    rm -rf "$work/$m" && mkdir -p "$work/$m"
done
cp "$top"/panicforkiv/*.[ch] "$top"/panicforkiv/Kbuild "$work/panicforkiv/"
cp "$top"/tests/emu/tarnex_drv/* "$work/tarnex/"
for m in panicforkiv tarnex; do
    make -s -C "$kdir" M="$work/$m" modules
done

# One initramfs for both kernels; the first kernel's also carries the crash
# kernel and its initramfs, and the loader.
root=$work/root
rm -rf "$root" && mkdir -p "$root"/{bin,proc,sys,dev,tmp}
cp /bin/busybox "$root/bin/"
for a in $(/bin/busybox --list); do [ "$a" = busybox ] || ln -s busybox "$root/bin/$a"; done
install -m 0755 "$here/module_init.sh" "$root/init"
cp "$work/panicforkiv/panicforkiv.ko" "$work/tarnex/tarnex.ko" "$root/"
(cd "$root" && find . | cpio -o -H newc --owner=0:0 --quiet) | gzip > "$work/crash.gz"
gcc -static -O2 -Wall -Werror -o "$root/bin/kexec_crash" "$here/kexec_crash.c"
cp "$vmlinuz" "$root/vmlinuz"
cp "$work/crash.gz" "$root/crash.gz"
(cd "$root" && find . | cpio -o -H newc --owner=0:0 --quiet) | gzip > "$work/initrd.gz"

boot() {    # boot NAME EXTRA-CMDLINE
    timeout 300 qemu-system-x86_64 -M q35 -m 1024 -accel tcg -cpu max -smp 2 \
        -nographic -no-reboot -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
        -append "console=ttyS0 panic=-1 quiet $2" \
        -device ipmi-bmc-sim,id=bmc0 -device isa-ipmi-kcs,bmc=bmc0,ioport=0xca2,irq=5 \
        < /dev/null > "$work/$1.console" 2>&1 || true
    tr -d '\r' < "$work/$1.console" | sed -E 's/\x1b(\[[0-9;?]*[a-zA-Z]|c)//g' |
        sed -E 's/^(<[0-7]>)?\[ *[0-9]+\.[0-9]+\] /\1/' > "$work/$1.log"
}
boot first ""
boot kdump "pfkvm=kdump crashkernel=256M crash_kexec_post_notifiers"

fail=0
# The lines of one step: from its "== NAME" line to the next "== ".
section() {
    awk -v s="== $2" '$0 == s { on = 1; next } /^== / { on = 0 } on' "$work/$1.log"
}
expect() {    # expect LOG STEP TEXT
    if section "$1" "$2" | grep -qF -- "$3"; then
        echo "ok: $2: $3"
    else
        echo "MISSING: $2: $3"; fail=1
    fi
}
count() {     # count LOG STEP REGEX N
    local n
    n=$(section "$1" "$2" | grep -cE -- "$3" || true)
    if [ "$n" = "$4" ]; then echo "ok: $2: $4 x $3"; else echo "WRONG: $2: $n x $3, not $4"; fail=1; fi
}
in_order() {  # in_order LOG STEP TEXT... : each on a later line than the one before
    if section "$1" "$2" | awk '
        BEGIN { n = ARGC - 1; for (i = 1; i <= n; i++) want[i] = ARGV[i]; ARGC = 1; k = 1 }
        k <= n && index($0, want[k]) { k++ }
        END { if (k <= n) { print "OUT OF ORDER: " want[k]; exit 1 } }' "${@:3}" > "$work/order"
    then
        echo "ok: $2: $(( $# - 2 )) lines in order"
    else
        echo "$2: $(cat "$work/order")"; fail=1
    fi
}

# In each step the commands' output comes first, then the kernel log of
# the step (lines with their level); messages below the console's level
# also show up unprefixed among the output.
s="without the driver"
in_order first "$s" "files: debug " "rmmod: ok"
in_order first "$s" "<6>panicforkiv: ver.1.0.0 initialize start." \
    "<3>panicforkiv: cannot get tarnex_hook symbol." "<6>panicforkiv: ver.1.0.0 initialized." \
    "<6>panicforkiv: ver.1.0.0 removed."

s="quiet load"
in_order first "$s" "tarnex refcnt: 0" "insmod: ok" "tarnex refcnt: 1"
count first "$s" "panicforkiv" 2
in_order first "$s" "<6>panicforkiv: ver.1.0.0 initialize start." "<6>panicforkiv: ver.1.0.0 initialized."

s="files"
in_order first "$s" "files: debug " "read /proc/panicforkiv/debug: [0]" \
    "put /proc/panicforkiv/debug '2': refused Invalid argument" \
    "put /proc/panicforkiv/debug '-1': refused Invalid argument" \
    "read /proc/panicforkiv/debug: [0]" "put /proc/panicforkiv/debug '1/': ok" \
    "read /proc/panicforkiv/debug: [1]" "parameter: 1" \
    "put /proc/panicforkiv/debug '1   ': refused Invalid argument"
in_order first "$s" "<6>panicforkiv: write /proc/panicforkiv/debug 1 len = 2" \
    "<6>panicforkiv: read /proc/panicforkiv/debug 1 len = 1" \
    "<6>panicforkiv: write /proc/panicforkiv/debug 1 len = 4095" \
    "<6>panicforkiv: write /proc/panicforkiv/debug 0 len = -22"

s="unload"
in_order first "$s" "rmmod: ok" "tarnex refcnt: 0"
in_order first "$s" "<6>panicforkiv: put_tarnex_hook: start." "<6>panicforkiv: put_tarnex_hook: end." \
    "<6>panicforkiv: ver.1.0.0 removed."

s="debug load"
in_order first "$s" "insmod: ok" "kprobe: 1"
in_order first "$s" "<6>panicforkiv: get_symbols: get kallsyms_lookup_name." \
    "<6>panicforkiv: get_symbols: get bust_spinlocks." \
    "<6>panicforkiv: get_symbols: get saved_command_line." \
    "<6>panicforkiv: get_symbols: end." \
    "<6>panicforkiv: get_kernel_mode: kernel command line = console=ttyS0 panic=-1 quiet" \
    "<6>panicforkiv: get_kernel_mode: kernel mode = 1st kernel" \
    "<4>panicforkiv: SPMI: Could not get SPMI table with ACPI" \
    "<4>panicforkiv: IPMI: Retrieving the DMI table instead of the SPMI table." \
    "<6>panicforkiv: DMI: KCS interface address: 00000ca2" \
    "<6>panicforkiv: IPMI: Success. KCS interface address: 00000ca2" \
    "<6>panicforkiv: get_tarnex_hook: end." "<6>panicforkiv: ver.1.0.0 initialized."

s="panic"
in_order first "$s" "Kernel panic - not syncing: sysrq triggered crash" \
    "panicforkiv: panicforkiv_panic_handler: panic process for kiv start." \
    "panicforkiv: panicforkiv_panic_handler: kdump is not ready." \
    "tarnex: tarnex_hook called (call 1, result 0)" \
    "panicforkiv: Setting system status to halt start..." \
    "panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=15 18 34 00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e" \
    "panicforkiv: ERROR code=0x83, Standard command-specific codes." \
    "panicforkiv: Setting system status to halt failed." \
    "panicforkiv: Sending ipmi message failed." \
    "panicforkiv: panicforkiv_panic_handler: panic process for kiv completed."
count first "$s" "tarnex_hook called" 1
count first "$s" "Sending ipmi message failed" 1

for s in "without the driver" "quiet load" "files" "unload" "debug load"; do
    count first "$s" "WARNING|BUG|Call Trace|Oops" 0
done

s="kdump: arm"
in_order kdump "$s" "insmod: ok" "crash kernel loaded: 1"

# With crash_kexec_post_notifiers the notifier runs first and leaves the
# machine to the crash kernel; the probe then finds the other CPU already
# stopped by the kernel (but still online), waits its second and calls the
# hook before the jump.
s="kdump: panic"
in_order kdump "$s" "Kernel panic - not syncing: sysrq triggered crash" \
    "panicforkiv: panicforkiv_panic_handler: panic process for kiv start." \
    "panicforkiv: panicforkiv_panic_handler: kdump is ready." \
    "panicforkiv: panicforkiv_panic_handler: panic process for kiv completed." \
    "panicforkiv: panic process for kiv start." \
    "xen_smp_send_stop: call kiv_xen_send_cpu_stop allbutme=1" \
    "xen_smp_send_stop: smp_send_stop timeout allbutme=1" \
    "panicforkiv: tarnex_hook start." \
    "tarnex: tarnex_hook called (call 1, result 0)" \
    "panicforkiv: panic process for kiv completed."
count kdump "$s" "tarnex_hook called" 1
count kdump "$s" "kdump is not ready|Setting system status to halt" 0

s="crash kernel: load"
expect kdump "$s" "vmcore: yes"
in_order kdump "$s" "<6>panicforkiv: get_kernel_mode: kernel mode = 2nd kernel" \
    "<6>panicforkiv: Please wait for a few seconds." \
    "<6>panicforkiv: Setting system status to dumping." \
    "<6>panicforkiv: Setting system status to dumping start..." \
    "<6>panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=15 18 34 00 24 c0 1c 20 20 4b 0a 03 4a 0f ff 10" \
    "<3>panicforkiv: Setting system status to dumping failed." \
    "<3>panicforkiv: Sending ipmi message failed." \
    "<6>panicforkiv: ver.1.0.0 initialized."
expect kdump "$s" "insmod: ok"
count kdump "$s" "get_tarnex_hook|panicforkiv_handler" 0
# Five naps of 250 ticks (HZ 250) between the two announcements.
wait_s=$(tr -d '\r' < "$work/kdump.console" | awk '
    function stamp() { match($0, /\[ *[0-9.]+\]/); return substr($0, RSTART + 1, RLENGTH - 2) + 0 }
    /panicforkiv: Please wait for a few seconds\.$/ { t0 = stamp() }
    /panicforkiv: Setting system status to dumping\.$/ { t1 = stamp() }
    END { if (t0 && t1) printf "%d", t1 - t0; else print "?" }')
if [ "$wait_s" = 5 ]; then echo "ok: crash kernel: load: waited 5 s"; else echo "WRONG: crash kernel: load: waited $wait_s s"; fail=1; fi

s="crash kernel: files"
in_order kdump "$s" "files: debug message " "read /proc/panicforkiv/message: [0]" \
    "put /proc/panicforkiv/message '1': refused Invalid argument" \
    "read /proc/panicforkiv/message: [1]" \
    "put /proc/panicforkiv/message '3': refused Invalid argument" \
    "read /proc/panicforkiv/message: [1]"
in_order kdump "$s" "<6>panicforkiv: read /proc/panicforkiv/message 0 len = 1" \
    "<6>panicforkiv: Setting system status to dumping start..." \
    "<6>panicforkiv: write /proc/panicforkiv/message 1 len = -22" \
    "<3>panicforkiv: Sending impi message failed." \
    "<6>panicforkiv: write /proc/panicforkiv/message 3 len = -22"

s="crash kernel: unload"
in_order kdump "$s" "rmmod: ok" "files: ls: /proc/panicforkiv: No such file or directory"
expect kdump "$s" "<6>panicforkiv: ver.1.0.0 removed."
for s in "crash kernel: load" "crash kernel: files" "crash kernel: unload"; do
    count kdump "$s" "WARNING|BUG|Call Trace|Oops" 0
done

if [ $fail = 0 ]; then
    echo "vm module test passed (logs in $work)"
else
    echo "vm module test FAILED (see $work/first.log, $work/kdump.log)"; exit 1
fi
