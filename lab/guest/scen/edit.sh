# A rename registered and written with a backup; a delete whose bridge table
# the driver refuses leaves the table file as it was
. /scen/good_table.sh
tx rename -c nvme flash
drv_set refuse_fe01=5 err_num=2 device_err_num=1
tx delete_refused -d flash
