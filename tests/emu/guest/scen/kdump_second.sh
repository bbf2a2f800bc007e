# The crash kernel: the module in second-kernel mode announces "dumping"
# (after its few seconds' wait) when it loads; "message" sends the states
# again on request.
M=/proc/panicforkiv/message
# emu.crashsi=N: the kernel's IPMI driver in the crash kernel too, with N
# requests kept in flight through /dev/ipmi0 while the module talks
depth=$(emu_arg emu.crashsi 0)
if [ "$depth" -gt 0 ]; then
  kstep si modprobe ipmi_si
  modprobe ipmi_devintf
  i=0
  while [ ! -e /dev/ipmi0 ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
  ipmiload "$depth" /tmp/ipmiload > $OUT/ipmiload.err 2>&1 &
  sleep 1
fi
kstep load insmod /extra/panicforkiv.ko debug=1
ls /proc/panicforkiv > $OUT/load/proc
step msg_read procio r $M 0
kstep msg_halt procio w $M 2
step msg_read2 procio r $M 0
kstep msg_bad procio w $M 3
step msg_read3 procio r $M 0
kstep unload rmmod panicforkiv
if [ "$depth" -gt 0 ]; then cat /tmp/ipmiload > $OUT/ipmiload.after; fi
