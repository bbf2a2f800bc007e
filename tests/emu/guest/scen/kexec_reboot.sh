# A planned kexec reboot (kexec -l, kexec -e) with the module armed: the
# machine_kexec probe calls tarnex_hook on the way out, outside any panic.
# The kernel that comes up runs kexec_after.
kstep arm insmod /extra/panicforkiv.ko debug=1
args=
for a in $(cat /proc/cmdline); do
  case $a in
    emu.scen=*) ;;
    *) args="$args $a";;
  esac
done
args="$args emu.scen=kexec_after"
kstep load kexec -l /kdump/vmlinuz --initrd=/kdump/initrd --append="$args"
cat /proc/tarnex/hook > $OUT/hook.before
emu_flush
kexec -e
echo "EMU-KEXEC-FAILED" > /dev/console
