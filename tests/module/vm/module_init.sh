#!/bin/sh
# /init of the module VM.  A kernel with "elfcorehdr=" on its command line
# is the crash-dump kernel; otherwise "pfkvm=kdump" arms a crash kernel
# before the panic, and without it the first kernel runs the load, unload
# and /proc steps and panics without one.
# Each step prints "== step" and then the kernel log it produced (levels as
# <N>), so that module_run.sh can check it step by step.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t debugfs debug /sys/kernel/debug

# The kernel log since the last call, only the lines that concern us.
klog() {
    dmesg -r -c | grep -E 'panicforkiv|xen_smp_send_stop|tarnex|WARNING|BUG|Call Trace|Oops'
}
step() {
    klog
    echo "== $*"
}
# A write as one system call (dd writes again what was not taken); prints
# its outcome with the first bytes of the text, a newline shown as "/".
put() {
    local shown
    printf '%s' "$2" > /tmp/put
    shown=$(head -c 4 /tmp/put | tr '\n' /)
    if dd if=/tmp/put of="$1" bs=8192 count=1 2>/tmp/dd; then
        echo "put $1 '$shown': ok"
    else
        echo "put $1 '$shown': refused $(grep -o 'Invalid argument\|Device or resource busy' /tmp/dd)"
    fi
}
show() {
    echo "read $1: [$(cat "$1")]"
}

dmesg -c > /dev/null
echo
if grep -q 'elfcorehdr=' /proc/cmdline; then
    step "crash kernel: load"
    [ -e /proc/vmcore ] && echo "vmcore: yes"
    insmod /panicforkiv.ko debug=1 && echo "insmod: ok"
    step "crash kernel: files"
    echo "files: $(ls /proc/panicforkiv | tr '\n' ' ')"
    show /proc/panicforkiv/message
    put /proc/panicforkiv/message 1
    show /proc/panicforkiv/message
    put /proc/panicforkiv/message 3
    show /proc/panicforkiv/message
    step "crash kernel: unload"
    rmmod panicforkiv && echo "rmmod: ok"
    echo "files: $(ls /proc/panicforkiv 2>&1 | tr '\n' ' ')"
    step "end"
    poweroff -f
fi

if grep -q 'pfkvm=kdump' /proc/cmdline; then
    step "kdump: arm"
    insmod /tarnex.ko
    insmod /panicforkiv.ko debug=1 && echo "insmod: ok"
    kexec_crash /vmlinuz /crash.gz "console=ttyS0 panic=-1 quiet irqpoll nr_cpus=1 reset_devices" &&
        echo "crash kernel loaded: $(cat /sys/kernel/kexec_crash_loaded)"
    step "kdump: panic"
    echo 8 > /proc/sys/kernel/printk
    echo "vm: sysrq now" > /dev/kmsg
    sleep 1
    echo c > /proc/sysrq-trigger
    echo "NOT REACHED"
    poweroff -f
fi

step "without the driver"
insmod /panicforkiv.ko && echo "insmod: ok"
echo "files: $(ls /proc/panicforkiv | tr '\n' ' ')"
rmmod panicforkiv && echo "rmmod: ok"

step "quiet load"
insmod /tarnex.ko && echo "tarnex refcnt: $(cat /sys/module/tarnex/refcnt)"
insmod /panicforkiv.ko && echo "insmod: ok"
echo "tarnex refcnt: $(cat /sys/module/tarnex/refcnt)"
step "files"
echo "files: $(ls /proc/panicforkiv | tr '\n' ' ')"
show /proc/panicforkiv/debug
put /proc/panicforkiv/debug 2
put /proc/panicforkiv/debug -1
show /proc/panicforkiv/debug
put /proc/panicforkiv/debug "1
"
show /proc/panicforkiv/debug
echo "parameter: $(cat /sys/module/panicforkiv/parameters/debug)"
# 5000 bytes: the first 4095 are taken, the rest comes back as a second write.
put /proc/panicforkiv/debug "1$(head -c 4999 /dev/zero | tr '\0' ' ')"
show /proc/panicforkiv/debug
step "unload"
rmmod panicforkiv && echo "rmmod: ok"
echo "tarnex refcnt: $(cat /sys/module/tarnex/refcnt)"

step "debug load"
insmod /panicforkiv.ko debug=1 && echo "insmod: ok"
echo "kprobe: $(grep -c machine_kexec /sys/kernel/debug/kprobes/list 2>/dev/null || echo none)"

step "panic"
echo 8 > /proc/sys/kernel/printk
echo "vm: sysrq now" > /dev/kmsg
sleep 1
echo c > /proc/sysrq-trigger
echo "NOT REACHED"
poweroff -f
