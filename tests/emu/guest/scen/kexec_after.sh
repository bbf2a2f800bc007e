# The kernel a planned kexec brought up (kexec_reboot).
cat /proc/cmdline > $OUT/cmdline
cat /proc/tarnex/hook > $OUT/hook
