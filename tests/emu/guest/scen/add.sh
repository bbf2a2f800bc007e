# -a on the real disks. Neither HBA has a power-management capability, so
# every add ends in a failed registration that names the adapter the kernel
# reported for the disk, and the table is not written.
tx add_sda -a /dev/sda
tx add_sdb -a /dev/sdb
tx add_both -a /dev/sda /dev/sdb
tx add_missing -a /dev/sdz
tx add_list -l
