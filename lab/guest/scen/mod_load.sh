# panicforkiv in the first kernel: load with debug 0, the hook's hold on
# the driver, /proc/panicforkiv/debug, unload; load with debug 1; a load
# without the driver (no tarnex_hook to bind)
PFK=/extra/panicforkiv.ko
REF=/sys/module/tarnex/refcnt
D=/proc/panicforkiv/debug
kstep load insmod $PFK
ls /proc/panicforkiv > $OUT/load/proc
cat $REF > $OUT/load/refcnt
step drv_busy rmmod tarnex
step debug_read procio r $D 0
kstep debug_w1 procio w $D '1\n'
step debug_read1 procio r $D 0
kstep debug_w2 procio w $D 2
kstep debug_wbig procio w $D 1 5000
kstep debug_w0 procio w $D 0
kstep unload rmmod panicforkiv
cat $REF > $OUT/unload/refcnt
ls /proc/panicforkiv > $OUT/unload/proc 2>&1
kstep load_dbg insmod $PFK debug=1
kstep unload_dbg rmmod panicforkiv
step drv_out rmmod tarnex
kstep load_nodrv insmod $PFK
kstep unload_nodrv rmmod panicforkiv
insmod /extra/tarnex.ko
dmesg > $OUT/dmesg
