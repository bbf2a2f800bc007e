# The crash kernel: the module in second-kernel mode announces "dumping"
# when it loads; /proc/panicforkiv/message sends a status on request
M=/proc/panicforkiv/message
kstep load insmod /extra/panicforkiv.ko debug=1
ls /proc/panicforkiv > $OUT/load/proc
kstep msg_halt procio w $M 2
step msg_read procio r $M 0
kstep msg_bad procio w $M 3
kstep unload rmmod panicforkiv
