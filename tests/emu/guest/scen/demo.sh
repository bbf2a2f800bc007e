# The tour that examples/demo_server.py narrates.
insmod /extra/emuhba.ko slots=0000:06:04.0,0000:04:00.0
wait_disks 4
facts
S=$(disk_on 0000:06:04.0)
P=$(disk_on 0000:04:00.0)
echo "$S $P" > $OUT/names
tx demo_add -a /dev/sda /dev/sdb
tx demo_add_pm -a "$S" "${P}1"
tx demo_list -l
tx demo_rename -c "$S" shelf1
drv_set refuse_fe01=5 err_num=2 device_err_num=1
tx demo_refused -d shelf1
drv_set refuse_fe01=0 err_num=0 device_err_num=0
