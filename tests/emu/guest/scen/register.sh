# -r with a table of power-managed functions, then without the PM capability
. /scen/good_table.sh
tx reg_ok -r
tx reg_list -l
printf 'sas,/dev/sda 0000:03:00.0\n' > $TABLE
tx reg_nopm_pcie -r
printf 'spi,/dev/sdb 0000:06:02.0\n' > $TABLE
tx reg_nopm_shpc -r
: > $TABLE
tx reg_empty -r
