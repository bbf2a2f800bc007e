# The first kernel of a kdump: the module armed, the same kernel and
# initramfs loaded as crash kernel, a panic. The crash kernel runs kdump_second.
kstep arm insmod /extra/panicforkiv.ko debug=1
args=
for a in $(cat /proc/cmdline); do
  case $a in
    crashkernel=*|crash_kexec_post_notifiers|lab.scen=*|lab.disks=*) ;;
    *) args="$args $a";;
  esac
done
args="$args lab.scen=kdump_second lab.nomods=1 lab.nodrv=1 nr_cpus=1 irqpoll reset_devices"
kstep kexec kexec -p /kdump/vmlinuz --initrd=/kdump/initrd --append="$args"
cat /sys/kernel/kexec_crash_loaded > $OUT/kexec/loaded
panic_now kdump
