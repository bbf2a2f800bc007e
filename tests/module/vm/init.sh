#!/bin/sh
# /init of the smoke-test VM: load the module, dump the raw kernel log
# (levels as <N>) to the console, power off.
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
insmod /kcs_smoke.ko
echo "SMOKE-LOG-BEGIN"
dmesg -r | grep -E 'panicforkiv|kcs_smoke|WARNING|BUG|Call Trace'
echo "SMOKE-LOG-END"
poweroff -f
