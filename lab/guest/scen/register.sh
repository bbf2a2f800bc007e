# -r with a table of power-managed functions: the records the driver got
. /scen/good_table.sh
tx register -r
