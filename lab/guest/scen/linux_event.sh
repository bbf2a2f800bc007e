# Linux's own panic notification: ipmi_msghandler with panic_op=event over
# ipmi_si's KCS interface sends a Platform Event Message at the panic
modprobe ipmi_msghandler panic_op=event
step si modprobe ipmi_si
modprobe ipmi_devintf
i=0
while [ ! -e /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
ls /dev/ipmi0 > $OUT/si/dev 2>&1
insmod /extra/panic_exit.ko
panic_now linux
