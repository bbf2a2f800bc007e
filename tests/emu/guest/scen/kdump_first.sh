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
    crashkernel=*|crash_kexec_post_notifiers|emu.scen=*|emu.disks=*|emu.ipmisi=*) ;;
    *) args="$args $a";;
  esac
done
args="$args emu.scen=kdump_second emu.disks=0 emu.nomods=1 emu.nodrv=1 nr_cpus=1 irqpoll reset_devices"
echo "$args" > $OUT/crash_cmdline
kstep kexec kexec -p /kdump/vmlinuz --initrd=/kdump/initrd --append="$args"
cat /sys/kernel/kexec_crash_loaded > $OUT/kexec/loaded
cat /proc/tarnex/hook > $OUT/hook.before
panic_now kdump
