# Helpers for the scenario scripts (sourced). Every result lands under $OUT.
TABLE=/etc/opt/KVXRtarnex/hba_addr.conf
ALTERPM=/etc/opt/KVXRtarnex/alterpm.conf
LOG=/var/opt/KVXRtarnex/log/user.log
LOCK=/var/opt/KVXRtarnex/lock/.tarnex.lock
DRVPARAM=/sys/module/tarnex/parameters
RECEIVED=/proc/tarnex/received

# drv_set KEY=VALUE...: stand-in driver parameters
drv_set() {
  for kv; do
    [ -d $DRVPARAM ] && echo "${kv#*=}" > "$DRVPARAM/${kv%%=*}"
  done
}
drv_clear() { [ -e $RECEIVED ] && echo > $RECEIVED; }

# emu_reset: empty table and alterpm.conf, fresh log and lock, driver defaults
emu_reset() {
  rm -rf /etc/opt/KVXRtarnex /var/opt/KVXRtarnex
  mkdir -p /etc/opt/KVXRtarnex /var/opt/KVXRtarnex/log /var/opt/KVXRtarnex/lock
  : > $LOCK
  : > $TABLE
  : > $ALTERPM
  drv_set refuse_fe00=0 refuse_fe01=0 err_num=0 device_err_num=0 hook_result=0
  drv_clear
}

# step NAME CMD...: runs any command; keeps cmd, out, err, rc in $OUT/NAME/
step() {
  _d=$OUT/$1; shift
  mkdir -p "$_d"
  echo "$*" > "$_d/cmd"
  "$@" > "$_d/out" 2> "$_d/err"
  echo $? > "$_d/rc"
}

# tx NAME ARGS...: runs tarnex ARGS and keeps, in $OUT/NAME/, besides what
# step keeps: the table before and after, the directory listing of
# /etc/opt/KVXRtarnex, the log lines of this run and what the driver received
tx() {
  _n=$1; shift
  _d=$OUT/$_n
  mkdir -p "$_d"
  cp $TABLE "$_d/table.before" 2>/dev/null
  drv_clear
  _sz=$(stat -c %s $LOG 2>/dev/null || echo 0)
  step "$_n" tarnex "$@"
  cp $TABLE "$_d/table" 2>/dev/null
  ls /etc/opt/KVXRtarnex > "$_d/etc"
  tail -c +$((_sz + 1)) $LOG > "$_d/log" 2>/dev/null
  cat $RECEIVED > "$_d/received" 2>/dev/null
  echo "EMU-STEP $_n rc=$(cat "$_d/rc")" > /dev/console
}

# facts: what the kernel itself reports, read without the command
facts() {
  _d=$OUT/facts
  mkdir -p "$_d"
  emupci > "$_d/pci"
  readlink /usr/sbin/tarnex > "$_d/tarnex"
  for b in /sys/block/sd*; do
    [ -e "$b" ] && echo "${b##*/} $(readlink -f "$b/device")"
  done > "$_d/disks"
  for s in /sys/bus/pci/slots/*; do
    [ -e "$s/address" ] && echo "${s##*/} $(cat "$s/address")"
  done > "$_d/slots"
  for d in /sys/bus/pci/devices/*; do
    _drv=$(readlink "$d/driver" 2>/dev/null)
    echo "${d##*/} ${_drv##*/}"
  done > "$_d/drivers"
}

# emu_flush: send /out to the host (base64 tar on ttyS1); may be called
# more than once, the host keeps the last complete copy
emu_flush() {
  {
    echo "@@DATA-BEGIN"
    (cd /out && tar -c .) | base64
    echo "@@DATA-END"
  } > /dev/ttyS1
}

# wait_disks N: until N SCSI disks exist (at most 30 s)
wait_disks() {
  _i=0
  while [ "$(ls /sys/block | grep -c '^sd')" -lt "$1" ] && [ $_i -lt 300 ]; do
    sleep 0.1; _i=$((_i + 1))
  done
}

# disk_on BUSID: /dev/NAME of the disk whose adapter is that PCI function
disk_on() {
  for _b in /sys/block/sd*; do
    case $(readlink -f "$_b/device") in */"$1"/*) echo "/dev/${_b##*/}";; esac
  done
}

# klog_mark NAME: a mark in the kernel log; klog_since NAME: the raw kernel
# log ("<level>[time] text") from that mark on, the mark left out
klog_mark() { echo "EMU-MARK $1" > /dev/kmsg; }
klog_since() {
  dmesg -r | sed -n "/EMU-MARK $1\$/,\$p" | sed 1d
}

# kstep NAME CMD...: step, with the kernel log lines the command caused in
# $OUT/NAME/klog
kstep() {
  _k=$1
  klog_mark "$_k"
  step "$@"
  klog_since "$_k" > "$OUT/$_k/klog"
}

# panic_now: send /out to the host, then panic the kernel (sysrq c); the
# mark goes to the kernel log, never to a console that may be cut short
panic_now() {
  emu_flush
  echo "EMU-PANIC $1" > /dev/kmsg
  echo c > /proc/sysrq-trigger
}

# emu_arg KEY DEFAULT: the value of KEY=value on the kernel command line
emu_arg() {
  for _a in $(cat /proc/cmdline); do
    case $_a in "$1"=*) echo "${_a#*=}"; return;; esac
  done
  echo "$2"
}
