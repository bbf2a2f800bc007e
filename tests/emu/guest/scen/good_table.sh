# A table of functions that have a power-management capability, one in each
# place an adapter can be: the root bus (no hot-plug bridge), behind a PCI
# Express downstream port, behind each SHPC bridge; plus a repeated bus ID.
# Sourced by the scenarios that need a registration to succeed.
cat > $TABLE <<'TABLE'
# power-managed functions of the emulated server
nic,/dev/emu0 0000:00:06.0
nvme,/dev/emu1 0000:04:00.0   # behind downstream port 02:01.0
slotb,/dev/emu2 0000:06:03.0  # behind the SHPC bridge 05:01.0

slota,/dev/emu3 0000:05:02.0
twice,/dev/emu4 0000:04:00.0
TABLE
echo "8086:1209:*   # i82559er, any revision" > $ALTERPM
