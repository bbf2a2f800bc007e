# Armed (debug 1, or emu.pfkdebug=N) with the stand-in driver, then a panic (sysrq c) with
# no crash kernel loaded: the notifier calls tarnex_hook and tells the BMC
# that the machine halted; panic_exit, the last notifier, ends QEMU with
# status 1.
kstep arm insmod /extra/panicforkiv.ko debug=$(emu_arg emu.pfkdebug 1)
cat /proc/tarnex/hook > $OUT/hook.before
insmod /extra/panic_exit.ko
panic_now halt
