# The kernel a planned kexec brought up: the module armed with debug 0,
# then a panic, on which the module prints nothing of its own
kstep arm insmod /extra/panicforkiv.ko
insmod /extra/panic_exit.ko
panic_now quiet
