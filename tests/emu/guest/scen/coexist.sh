# The kernel's own IPMI driver on the same KCS interface as the module:
# ipmi_si and ipmi_devintf bound to it, ipmi_msghandler's panic event on;
# with emu.ipmiload=N, N requests kept in flight through /dev/ipmi0 until
# the panic. Both panic notifiers then talk to the BMC.
modprobe ipmi_msghandler panic_op=event
kstep si modprobe ipmi_si
modprobe ipmi_devintf
i=0
while [ ! -e /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
ls /dev/ipmi* > $OUT/si/dev 2>&1
grep -i ipmi /proc/ioports > $OUT/si/ioports
kstep arm insmod /extra/panicforkiv.ko debug=$(emu_arg emu.pfkdebug 1)
cat /proc/tarnex/hook > $OUT/hook.before
insmod /extra/panic_exit.ko
depth=$(emu_arg emu.ipmiload 0)
if [ "$depth" -gt 0 ]; then
  ipmiload "$depth" /tmp/ipmiload > $OUT/ipmiload.err 2>&1 &
  sleep 2
  cat /tmp/ipmiload > $OUT/ipmiload.before 2>/dev/null
fi
panic_now coexist
