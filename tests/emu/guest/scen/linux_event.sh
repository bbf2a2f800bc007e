# The kernel's own panic notification: ipmi_msghandler with panic_op=event
# over ipmi_si's KCS interface; a panic sends a Platform Event Message.
modprobe ipmi_msghandler panic_op=event
kstep si modprobe ipmi_si
modprobe ipmi_devintf
i=0
while [ ! -e /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
ls /dev/ipmi* > $OUT/si/dev 2>&1
cat /sys/module/ipmi_msghandler/parameters/panic_op > $OUT/si/panic_op
insmod /extra/panic_exit.ko
panic_now linux
