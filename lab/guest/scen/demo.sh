# The tour lab/demo.py narrates: the disks and their adapters, then the
# command at work
pm_disks
for b in /sys/block/sd*; do
  h=$(readlink -f "$b/device" | grep -o '0000:[0-9a-f]*:[0-9a-f]*\.[0-7]' | tail -1)
  pm=$(lspci -s "$h" -v | sed -n 's/.*Capabilities: \[\(..\)\] Power Management.*/0x\1/p')
  echo "${b##*/} $h ${pm:-none}"
done > $OUT/disks
S=$(disk_on 0000:06:04.0)
P=$(disk_on 0000:04:00.0)
echo "$S $P" > $OUT/names
tx demo_add -a /dev/sda /dev/sdb
tx demo_add_pm -a "$S" "${P}1"
tx demo_list -l
tx demo_rename -c "$S" shelf1
drv_set refuse_fe01=5 err_num=2 device_err_num=1
tx demo_refused -d shelf1
