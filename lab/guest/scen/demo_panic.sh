# The tour's last act: panicforkiv armed with debug 0, then a panic;
# panic_exit, the last notifier, ends QEMU
kstep pfk_arm insmod /extra/panicforkiv.ko
ls /proc/panicforkiv > $OUT/pfk_arm/proc
cat /proc/tarnex/hook > $OUT/pfk_arm/hook 2>/dev/null
insmod /extra/panic_exit.ko
panic_now demo
