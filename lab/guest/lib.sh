# Helpers of the scenario scripts (sourced). Every result lands under $OUT.
TABLE=/etc/opt/KVXRtarnex/hba_addr.conf
ALTERPM=/etc/opt/KVXRtarnex/alterpm.conf
LOG=/var/opt/KVXRtarnex/log/user.log
DRVPARAM=/sys/module/tarnex/parameters
RECEIVED=/proc/tarnex/received

# lab_arg KEY DEFAULT: the value of KEY=value on the kernel command line
lab_arg() {
  for _a in $(cat /proc/cmdline); do
    case $_a in "$1"=*) echo "${_a#*=}"; return;; esac
  done
  echo "$2"
}

# drv_set KEY=VALUE...: the stand-in driver's parameters
drv_set() {
  for _kv; do
    [ -d $DRVPARAM ] && echo "${_kv#*=}" > "$DRVPARAM/${_kv%%=*}"
  done
}

# lab_reset: empty table and alterpm.conf, fresh log and lock, driver defaults
lab_reset() {
  rm -rf /etc/opt/KVXRtarnex /var/opt/KVXRtarnex
  mkdir -p /etc/opt/KVXRtarnex /var/opt/KVXRtarnex/log /var/opt/KVXRtarnex/lock
  : > /var/opt/KVXRtarnex/lock/.tarnex.lock
  : > $TABLE
  : > $ALTERPM
  drv_set refuse_fe00=0 refuse_fe01=0 err_num=0 device_err_num=0 hook_result=0
}

# step NAME CMD...: runs a command; keeps cmd, out, err and rc in $OUT/NAME/
step() {
  _d=$OUT/$1; shift
  mkdir -p "$_d"
  echo "$*" > "$_d/cmd"
  "$@" > "$_d/out" 2> "$_d/err"
  echo $? > "$_d/rc"
}

# tx NAME ARGS...: runs tarnex ARGS; keeps besides what step keeps the table
# before and after, the listing of /etc/opt/KVXRtarnex, the log lines of
# this run and what the driver received
tx() {
  _n=$1; shift
  mkdir -p "$OUT/$_n"
  cp $TABLE "$OUT/$_n/table.before"
  [ -e $RECEIVED ] && echo > $RECEIVED
  _sz=$(stat -c %s $LOG 2>/dev/null || echo 0)
  step "$_n" tarnex "$@"
  cp $TABLE "$OUT/$_n/table"
  ls /etc/opt/KVXRtarnex > "$OUT/$_n/etc"
  tail -c +$((_sz + 1)) $LOG > "$OUT/$_n/log" 2>/dev/null
  cat $RECEIVED > "$OUT/$_n/received" 2>/dev/null
  echo "LAB-STEP $_n rc=$(cat "$OUT/$_n/rc")" > /dev/console
}

# kstep NAME CMD...: step, with the raw kernel log lines ("<level>[time]
# text") the command caused in $OUT/NAME/klog
kstep() {
  echo "LAB-MARK $1" > /dev/kmsg
  step "$@"
  dmesg -r | sed -n "/LAB-MARK $1\$/,\$p" | sed 1d > "$OUT/$1/klog"
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

# pm_disks: the stand-in SCSI adapter on a power-managed function behind
# the SHPC bridge (06:04.0) and one behind a downstream port (04:00.0),
# each with a partitioned RAM disk; QEMU's own adapters have no power
# management
pm_disks() {
  insmod /extra/emuhba.ko slots=0000:06:04.0,0000:04:00.0
  wait_disks 4
}

# lab_flush: sends /out to the host; may be called more than once, the host
# unpacks every copy in turn
lab_flush() {
  {
    echo "@@DATA-BEGIN"
    (cd /out && tar -c .) | base64
    echo "@@DATA-END"
  } > /dev/ttyS1
}

# panic_now NAME: sends /out to the host, then panics (sysrq c); the mark
# goes to the kernel log, never to a console that may be cut short. Load
# /extra/panic_exit.ko first when the panic is to end QEMU (status 1).
panic_now() {
  lab_flush
  echo "LAB-PANIC $1" > /dev/kmsg
  echo c > /proc/sysrq-trigger
}
