# The first kernel of a kdump: the module armed, the same kernel and
# initramfs loaded as crash kernel, a panic. The crash kernel runs kdump_second.
# lab.ipmisi=N: ipmi_si holds the KCS interface too, N requests in flight
si=$(lab_arg lab.ipmisi 0)
if [ "$si" -gt 0 ]; then
  modprobe ipmi_msghandler panic_op=event
  step si modprobe ipmi_si
  modprobe ipmi_devintf
  grep -o '0ca.-0ca. : ipmi_si' /proc/ioports > $OUT/si/ioports
fi
kstep arm insmod /extra/panicforkiv.ko debug=1
args=
for a in $(cat /proc/cmdline); do
  case $a in
    crashkernel=*|crash_kexec_post_notifiers|lab.scen=*|lab.disks=*|lab.ipmisi=*) ;;
    *) args="$args $a";;
  esac
done
args="$args lab.scen=kdump_second lab.nomods=1 lab.nodrv=1 nr_cpus=1 irqpoll reset_devices"
kstep kexec kexec -p /kdump/vmlinuz --initrd=/kdump/initrd --append="$args"
cat /sys/kernel/kexec_crash_loaded > $OUT/kexec/loaded
if [ "$si" -gt 0 ]; then
  ipmiload "$si" /tmp/ipmiload > $OUT/ipmiload.err 2>&1 &
  sleep 2
fi
panic_now kdump
