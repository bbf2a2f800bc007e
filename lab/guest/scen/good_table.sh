# A table of power-managed functions, one in each place an adapter can be:
# the root bus (no hot-plug bridge), behind a PCI Express downstream port,
# behind each SHPC bridge; and a bus ID listed twice.
cat > $TABLE <<'TABLE'
# power-managed functions of the emulated server
nic,/dev/lab0 0000:00:06.0
nvme,/dev/lab1 0000:04:00.0   # behind downstream port 02:01.0
slotb,/dev/lab2 0000:06:03.0  # behind the SHPC bridge 05:01.0

slota,/dev/lab3 0000:05:02.0
twice,/dev/lab4 0000:04:00.0
TABLE
echo "8086:1209:*   # i82559er, any revision" > $ALTERPM
