# -c and -d round trips, registered with the driver each time
. /scen/good_table.sh
tx edit_c -c nvme flash
tx edit_c_back -c flash nvme
tx edit_d -d twice
tx edit_d_missing -d nosuch
tx edit_list -l
