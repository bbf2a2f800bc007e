# The tour's last act (examples/demo_server.py): panicforkiv armed with
# debug 0, then a panic; panic_exit, the last notifier, ends QEMU.
kstep pfk_arm insmod /extra/panicforkiv.ko
ls /proc/panicforkiv > $OUT/pfk_arm/proc
cat /proc/panicforkiv/debug > $OUT/pfk_arm/debug
cat /proc/tarnex/hook > $OUT/pfk_arm/hook
insmod /extra/panic_exit.ko
panic_now demo
