# The kernel's own IPMI driver on the module's KCS interface: ipmi_si and
# ipmi_devintf bound to it, ipmi_msghandler's panic event on, requests in
# flight through /dev/ipmi0 (lab.ipmiload=N of them) at the panic.
modprobe ipmi_msghandler panic_op=event
step si modprobe ipmi_si
modprobe ipmi_devintf
i=0
while [ ! -e /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
grep -o '0ca.-0ca. : ipmi_si' /proc/ioports > $OUT/si/ioports
kstep arm insmod /extra/panicforkiv.ko debug=1
insmod /extra/panic_exit.ko
ipmiload "$(lab_arg lab.ipmiload 4)" /tmp/ipmiload > $OUT/ipmiload.err 2>&1 &
sleep 2
# "sent=N answered=N bad=N": traffic flows, every answer whole
set -- $(tr '=' ' ' < /tmp/ipmiload)
[ "${4:-0}" -gt 16 ] && echo "flowing, bad=$6" > $OUT/ipmiload
panic_now coexist
