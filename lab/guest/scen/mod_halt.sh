# Armed with debug 1 (or lab.pfkdebug=N) beside the driver, then a panic
# with no crash kernel loaded: the notifier calls tarnex_hook and tells the
# BMC that the machine halted; panic_exit, the last notifier, ends QEMU
kstep arm insmod /extra/panicforkiv.ko debug=$(lab_arg lab.pfkdebug 1)
cat /proc/tarnex/hook > $OUT/hook.before
insmod /extra/panic_exit.ko
panic_now halt
