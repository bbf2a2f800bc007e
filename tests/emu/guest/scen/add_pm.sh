# -a on disks whose adapters have a power-management capability: the stand-in
# SCSI adapter drives the i82559er behind the SHPC bridge and the nvme behind
# a downstream port, each with a partitioned RAM disk
insmod /extra/emuhba.ko slots=0000:06:04.0,0000:04:00.0
wait_disks 4
facts
S=$(disk_on 0000:06:04.0)
P=$(disk_on 0000:04:00.0)
mkdir -p /dev/disk
ln -sf "$S" /dev/disk/emu-shpc
echo "$S $P" > $OUT/names
tx addpm_a -a /dev/disk/emu-shpc "${P}1"
tx addpm_l -l
tx addpm_r -r
tx addpm_again -a "$S"
tx addpm_d -d /dev/disk/emu-shpc
