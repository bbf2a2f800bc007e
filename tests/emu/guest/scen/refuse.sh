# The driver refuses: the status names the mode, the table file stays as it was
. /scen/good_table.sh
drv_set refuse_fe00=5 err_num=1
tx refuse_fe00_r -r
drv_set refuse_fe00=0 refuse_fe01=5 err_num=2 device_err_num=1
tx refuse_fe01_d -d nvme
tx refuse_fe01_c -c nvme flash
drv_set err_num=0 device_err_num=0
tx refuse_fe01_r -r
drv_set refuse_fe01=0
rmmod tarnex
tx nodrv_r -r
insmod /extra/tarnex.ko
# an add refused by the driver: status 7, nothing written
[ -d /sys/module/emuhba ] || insmod /extra/emuhba.ko slots=0000:06:04.0,0000:04:00.0
wait_disks 4
drv_set refuse_fe00=5 err_num=0
tx refuse_fe00_a -a "$(disk_on 0000:06:04.0)"
drv_set refuse_fe00=0
