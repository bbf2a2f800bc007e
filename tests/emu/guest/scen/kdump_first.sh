# The first kernel of the kdump run: the module armed, the same kernel and
# initramfs loaded as the crash kernel, a panic. The crash kernel runs
# kdump_second.
# emu.ipmisi=1: the kernel's IPMI driver holds the KCS interface too
if [ "$(emu_arg emu.ipmisi 0)" = 1 ]; then
  modprobe ipmi_msghandler panic_op=event
  kstep si modprobe ipmi_si
  modprobe ipmi_devintf
  grep -i ipmi /proc/ioports > $OUT/si/ioports
fi
kstep arm insmod /extra/panicforkiv.ko debug=1
args=
for a in $(cat /proc/cmdline); do
  case $a in
    crashkernel=*|crash_kexec_post_notifiers|emu.scen=*|emu.disks=*|emu.ipmi*) ;;
    *) args="$args $a";;
  esac
done
args="$args emu.scen=kdump_second emu.disks=0 emu.nomods=1 emu.nodrv=1 nr_cpus=1 irqpoll reset_devices"
echo "$args" > $OUT/crash_cmdline
kstep kexec kexec -p /kdump/vmlinuz --initrd=/kdump/initrd --append="$args"
cat /sys/kernel/kexec_crash_loaded > $OUT/kexec/loaded
cat /proc/tarnex/hook > $OUT/hook.before
# emu.ipmiload=N: N requests in flight through /dev/ipmi0 at the panic
depth=$(emu_arg emu.ipmiload 0)
if [ "$depth" -gt 0 ]; then
  ipmiload "$depth" /tmp/ipmiload > $OUT/ipmiload.err 2>&1 &
  sleep 2
fi
panic_now kdump
