# The tour that examples/demo_server.py narrates.
facts
tx demo_add -a /dev/sda /dev/sdb
. /scen/good_table.sh
tx demo_list -l
tx demo_reg -r
tx demo_rename -c nvme flash
drv_set refuse_fe01=5 err_num=2 device_err_num=1
tx demo_refused -d slotb
drv_set refuse_fe01=0 err_num=0 device_err_num=0
