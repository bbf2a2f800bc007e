# What the kernel reports, read without the command.
facts
step lspci lspci -n
# kernel modules of the image that scenarios load themselves
step modprobe sh -c 'modprobe pvpanic-mmio && grep -o "^pvpanic_mmio" /proc/modules'
