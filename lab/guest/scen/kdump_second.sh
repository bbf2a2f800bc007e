# The crash kernel: the module in second-kernel mode announces "dumping"
# when it loads; /proc/panicforkiv/message sends a status on request
M=/proc/panicforkiv/message
# lab.crashsi=N: ipmi_si in the crash kernel too, N requests in flight
si=$(lab_arg lab.crashsi 0)
if [ "$si" -gt 0 ]; then
  step si modprobe ipmi_si
  modprobe ipmi_devintf
  i=0
  while [ ! -e /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  ipmiload "$si" /tmp/ipmiload > $OUT/ipmiload.err 2>&1 &
  sleep 1
fi
kstep load insmod /extra/panicforkiv.ko debug=1
ls /proc/panicforkiv > $OUT/load/proc
kstep msg_halt procio w $M 2
step msg_read procio r $M 0
kstep msg_bad procio w $M 3
kstep unload rmmod panicforkiv
# lab.silentload=1: loaded again once the BMC has stopped answering (the
# test's bmc_args): "dumping" to nobody, given up within the deadline
if [ "$(lab_arg lab.silentload 0)" = 1 ]; then
  kstep silent_load insmod /extra/panicforkiv.ko debug=1
fi
