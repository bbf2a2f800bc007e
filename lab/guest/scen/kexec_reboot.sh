# A planned kexec reboot (kexec -l, kexec -e) with the module armed: the
# machine_kexec probe calls tarnex_hook on the way out, outside any panic.
# The kernel that comes up runs kexec_after.
kstep arm insmod /extra/panicforkiv.ko debug=1
args=
for a in $(cat /proc/cmdline); do
  case $a in lab.scen=*) ;; *) args="$args $a";; esac
done
kstep load kexec -l /kdump/vmlinuz --initrd=/kdump/initrd --append="$args lab.scen=kexec_after"
lab_flush
kexec -e
echo "LAB-KEXEC-FAILED" > /dev/console
