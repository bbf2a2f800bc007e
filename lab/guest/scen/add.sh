# -a on the disks of QEMU's adapters: the kernel names each disk's adapter;
# neither has power management, so registration fails and nothing is written
tx add_sda -a /dev/sda
tx add_sdb -a /dev/sdb
# -a on disks of power-managed adapters: registered, then written
pm_disks
S=$(disk_on 0000:06:04.0)
P=$(disk_on 0000:04:00.0)
mkdir -p /dev/disk
ln -sf "$S" /dev/disk/lab-shpc
echo "$S $P" > $OUT/names
tx add_pm -a /dev/disk/lab-shpc "${P}1"
