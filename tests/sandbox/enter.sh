#!/bin/sh
# Runs inside a fresh private mount and UTS namespace (see sandbox.py):
# mounts the fixture tree over the command's fixed paths, names the host,
# then executes the given program.
# usage: enter.sh FIXTURE-ROOT HOSTNAME PROGRAM [ARG...]
set -eu
root=$1
hostname "$2"
shift 2

mount --make-rprivate /

# Directories that may not exist on the host are made inside a tmpfs laid
# over their parent.
over_dir() {  # over_dir FIXTURE-DIR PARENT NAME
    [ -e "$1" ] || return 0
    mount -t tmpfs -o mode=0755 sandbox "$2"
    mkdir -p "$2/$3"
    mount --rbind "$1" "$2/$3"
}
bind() {  # bind FIXTURE TARGET
    [ -e "$1" ] || return 0
    mount --rbind "$1" "$2"
}

over_dir "$root/etc" /etc/opt KVXRtarnex
over_dir "$root/var" /var/opt KVXRtarnex
bind "$root/sys_pci" /sys/bus/pci/devices
bind "$root/sys_block" /sys/block
bind "$root/sys_devices" /sys/devices
over_dir "$root/sys_scsi_host" /sys/class scsi_host
bind "$root/proc_devices" /proc/devices
# The fixture /dev still needs the few host nodes every program uses.
for node in null zero urandom; do
    [ -e "$root/dev/$node" ] || touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
done
mount --rbind "$root/dev" /dev
bind "$root/usr_sbin" /usr/sbin

exec "$@"
