# panicforkiv in the first kernel: load with debug 0 and 1, the /proc files,
# unload, and a load without the stand-in driver (no tarnex_hook to bind).
PFK=/extra/panicforkiv.ko
REF=/sys/module/tarnex/refcnt
D=/proc/panicforkiv/debug
cat $REF > $OUT/refcnt.before
kstep load insmod $PFK
ls /proc/panicforkiv > $OUT/load/proc
cat $REF > $OUT/load/refcnt
step drv_busy rmmod tarnex
step debug_read procio r $D 0
step debug_read_off procio r $D 1
kstep debug_w1 procio w $D '1\n'
kstep debug_read1 procio r $D 0
cat /sys/module/panicforkiv/parameters/debug > $OUT/debug_read1/param
kstep debug_w2 procio w $D 2
kstep debug_wneg procio w $D -1
kstep debug_wtext procio w $D abc
kstep debug_wbig procio w $D 1 5000
kstep debug_w0 procio w $D 0
step debug_read0 procio r $D 0
kstep unload rmmod panicforkiv
cat $REF > $OUT/unload/refcnt
[ -e /proc/panicforkiv ] && echo present > $OUT/unload/proc
kstep load_dbg insmod $PFK debug=1
kstep unload_dbg rmmod panicforkiv
step drv_out rmmod tarnex
kstep load_nodrv insmod $PFK
ls /proc/panicforkiv > $OUT/load_nodrv/proc
kstep unload_nodrv rmmod panicforkiv
insmod /extra/tarnex.ko
dmesg -r > $OUT/dmesg
