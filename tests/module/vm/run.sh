#!/bin/bash
# Real-kernel smoke test of the module's KCS and machine-status code: builds
# a test module from the panicforkiv sources against Debian's 6.1 headers,
# boots Debian's matching kernel under QEMU with QEMU's own KCS interface
# and BMC (port 0xCA2, IRQ 5), loads the module and checks the kernel log.
# QEMU's BMC knows no controller at IPMB 0x24, so Send Message is answered
# 0x83 and the status calls fail with that code; everything before it
# (transport, levels, interrupt lines) must work.
# With PFK_VM_BMC=ipmi_sim the BMC is OpenIPMI's ipmi_sim (package openipmi)
# with a controller at 0x24: the request is delivered, SMS_ATN and the
# receive flag rise and Get Message fetches the answer, whose checksums
# ipmi_sim does not compute by the IPMB rule, so the calls end with 0xFF.
#
# Needs root, qemu-system-x86, busybox-static, cpio and the kernel headers;
# fetches the kernel image with apt-get download.  Not part of ctest.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)
work=${PFK_VM_WORK:-/var/tmp/pfkvm}
kdir=${KDIR:-$(ls -d /usr/src/linux-headers-*-amd64 | sort -V | tail -n 1)}
kver=${kdir##*/linux-headers-}
mkdir -p "$work"

vmlinuz=$work/vmlinuz-$kver
if [ ! -s "$vmlinuz" ]; then
    (cd "$work" && apt-get download "linux-image-$kver")
    dpkg-deb --fsys-tarfile "$work"/linux-image-"$kver"_*.deb |
        tar -xO "./boot/vmlinuz-$kver" > "$vmlinuz"
fi

mod=$work/mod
rm -rf "$mod" && mkdir -p "$mod"
cp "$top"/panicforkiv/{platform_kernel.c,log.c,kcs.c,ipmi_status.c} "$top"/panicforkiv/*.h \
   "$here/kcs_smoke_mod.c" "$mod/"
cat > "$mod/Kbuild" <<'KB'
obj-m := kcs_smoke.o
kcs_smoke-objs := kcs_smoke_mod.o platform_kernel.o log.o kcs.o ipmi_status.o
ccflags-y += -Werror
KB
make -s -C "$kdir" M="$mod" modules

root=$work/root
rm -rf "$root" && mkdir -p "$root"/{bin,proc,sys,dev}
cp /bin/busybox "$root/bin/"
for a in sh mount insmod dmesg grep poweroff echo; do ln -s busybox "$root/bin/$a"; done
install -m 0755 "$here/init.sh" "$root/init"
cp "$mod/kcs_smoke.ko" "$root/"
(cd "$root" && find . | cpio -o -H newc --owner=0:0 --quiet) | gzip > "$work/initrd.gz"

bmc=(-device ipmi-bmc-sim,id=bmc0)
sim_pid=
if [ "${PFK_VM_BMC:-qemu}" = ipmi_sim ]; then
    mkdir -p "$work/ipmi_sim"
    ipmi_sim -c "$here/ipmi_sim.conf" -f "$here/ipmi_sim.emu" -s "$work/ipmi_sim" -n \
        > "$work/ipmi_sim.log" 2>&1 &
    sim_pid=$!
    trap 'kill $sim_pid 2>/dev/null || true' EXIT
    for _ in $(seq 50); do ss -ltn | grep -q '127.0.0.1:9002 ' && break; sleep 0.1; done
    bmc=(-chardev socket,id=ipmi0,host=127.0.0.1,port=9002,reconnect=1
         -device ipmi-bmc-extern,id=bmc0,chardev=ipmi0)
fi

timeout 300 qemu-system-x86_64 -M q35 -m 256 -accel tcg -cpu max -smp 1 \
    -nographic -no-reboot -kernel "$vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet" \
    "${bmc[@]}" -device isa-ipmi-kcs,bmc=bmc0,ioport=0xca2,irq=5 \
    < /dev/null > "$work/console.log" 2>&1 || true
sed -n '/SMOKE-LOG-BEGIN/,/SMOKE-LOG-END/p' "$work/console.log" | tr -d '\r' |
    sed -E 's/^(<[0-7]>)\[[ 0-9.]+\] /\1/' > "$work/smoke.log"

fail=0
expect() {
    if grep -qF -- "$1" "$work/smoke.log"; then echo "ok: $1"; else echo "MISSING: $1"; fail=1; fi
}
refuse() {
    if grep -qE -- "$1" "$work/smoke.log"; then echo "UNEXPECTED: $1"; fail=1; else echo "ok: no $1"; fi
}
expect "<6>panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=2 18 31 "
expect "<6>panicforkiv: kcs_execute: resp_data_len=2 00 00 "
expect "kcs_smoke: get_message_flags=0 resp_len=2"
expect "<6>panicforkiv: Setting system status to halt start..."
expect "<6>panicforkiv: ipmi_clear_message_flags: succeeded."
expect "<6>panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=15 18 34 00 24 c0 1c 20 20 4b 0b 03 4b 0f ff 0e "
expect "<3>panicforkiv: Setting system status to halt failed."
if [ "${PFK_VM_BMC:-qemu}" = ipmi_sim ]; then
    expect "<6>panicforkiv: ipmi_get_message_flags: succeeded."
    expect "<6>panicforkiv: kcs_execute: netfn=6, lun=0, msg_len=2 18 33 "
    expect "<3>panicforkiv: ipmi_set_machine_status: Check sum Error."
    expect "kcs_smoke: halt=255"
    expect "kcs_smoke: dumping=255 result=0"
    expect "kcs_smoke: quiet dumping=255"
else
    expect "<3>panicforkiv: ERROR code=0x83, Standard command-specific codes."
    expect "kcs_smoke: halt=131"
    expect "kcs_smoke: dumping=131 result=0"
    expect "kcs_smoke: quiet dumping=131"
fi
refuse "<[0-7]>[^p]*<[0-7]>"
refuse "WARNING|BUG|Call Trace"
if [ "$(grep -c 'Setting system status to dumping' "$work/smoke.log")" != 0 ]; then
    echo "UNEXPECTED: output with debug 0"; fail=1
fi
[ $fail = 0 ] && echo "vm smoke test passed" || { echo "vm smoke test FAILED (see $work/console.log)"; exit 1; }
