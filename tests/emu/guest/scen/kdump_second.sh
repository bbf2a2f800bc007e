# The crash kernel: the module in second-kernel mode announces "dumping"
# (after its few seconds' wait) when it loads; "message" sends the states
# again on request.
M=/proc/panicforkiv/message
kstep load insmod /extra/panicforkiv.ko debug=1
ls /proc/panicforkiv > $OUT/load/proc
step msg_read procio r $M 0
kstep msg_halt procio w $M 2
step msg_read2 procio r $M 0
kstep msg_bad procio w $M 3
step msg_read3 procio r $M 0
kstep unload rmmod panicforkiv
