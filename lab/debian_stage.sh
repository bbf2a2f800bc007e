#!/bin/sh
# Runs at every boot of the Debian root (lab-stage.service), from the data
# disk mounted at /run/lab, standard output on the second serial port.
# One stage per boot, kept in /var/lib/lab/stage:
#   install  the two packages with dpkg (kdump-tools is there, loaded); reboot
#   checks   what the boot did: registration, load order, crash kernel;
#            then a panic (the crash kernel saves the dump and reboots)
#   purge    both packages purged; what is left; power off
# Each stage's files go to the host as a base64 tar (@@DATA-BEGIN/END).
LAB=/run/lab
OUT=/var/lib/lab/out
STATE=/var/lib/lab/stage
KVER=$(uname -r)
export DEBIAN_FRONTEND=noninteractive
mkdir -p $OUT
stage=$(cat $STATE 2>/dev/null || echo install)
echo "LAB-STAGE $stage uptime $(cut -d' ' -f1 /proc/uptime)" > /dev/ttyS0

# step NAME CMD...: output, errors and status under $OUT/NAME
step() {
	_d=$OUT/$1; shift
	mkdir -p "$_d"
	"$@" > "$_d/out" 2> "$_d/err"
	echo $? > "$_d/rc"
	cut -d' ' -f1 /proc/uptime > "$_d/uptime"
	echo "LAB-STEP ${_d##*/} rc=$(cat "$_d/rc") uptime $(cat "$_d/uptime")" > /dev/ttyS0
}
send() {
	sync
	{ echo "@@DATA-BEGIN"; (cd $OUT && tar -c .) | base64; echo "@@DATA-END"; } > /dev/ttyS1
}
# every path on the root file system, for what purge leaves
paths() { find / -xdev \( -path /proc -o -path /sys -o -path /run -o -path /tmp \) -prune -o -print | sort; }

case $stage in
install)
	# the maker's driver (the lab's stand-in), installed before our
	# packages; DKMS's depmod below indexes it with the module
	install -D -m 0644 $LAB/tarnex.ko /lib/modules/$KVER/extra/tarnex.ko
	step kdump_before cat /sys/kernel/kexec_crash_loaded
	# the crash kernel's console shows informational messages, so that the
	# module's load there can be placed before the root mount
	echo 'KDUMP_CMDLINE_APPEND="reset_devices systemd.unit=kdump-tools-dump.service nr_cpus=1 irqpoll usbcore.nousb loglevel=7"' >> /etc/default/kdump-tools
	paths > $OUT/paths.before
	# a table of the operator's that the package must leave alone
	mkdir -p /etc/opt/KVXRtarnex
	cp $LAB/hba_addr.conf /etc/opt/KVXRtarnex/hba_addr.conf
	step dpkg_install dpkg -i $LAB/debs/tarnex_*.deb $LAB/debs/panicforkiv-dkms_*.deb
	cp $LAB/alterpm.conf /etc/opt/KVXRtarnex/alterpm.conf
	cp /etc/opt/KVXRtarnex/hba_addr.conf $OUT/table.after_install
	step installed_modes stat -c '%a %U %n' /etc/opt/KVXRtarnex /etc/opt/KVXRtarnex/alterpm.conf \
		/var/opt/KVXRtarnex/log /var/opt/KVXRtarnex/lock /var/opt/KVXRtarnex/lock/.tarnex.lock
	step dkms_status dkms status
	step signer modinfo -F signer panicforkiv
	echo checks > $STATE
	send
	systemctl reboot
	;;
checks)
	# registration runs as soon as udev sees /dev/tarnex: wait for its end
	for _ in $(seq 120); do
		case $(systemctl is-active tarnex-register.service) in active|failed) break;; esac
		sleep 1
	done
	step register systemctl show -p ActiveState -p Result -p ExecMainStatus -p WantedBy \
		tarnex-register.service
	step register_journal journalctl -b -o cat -u tarnex-register.service
	step received cat /proc/tarnex/received
	step klog journalctl -b -k -o short-monotonic --grep 'panicforkiv|tarnex'
	step refcnt cat /sys/module/tarnex/refcnt
	step security systemd-analyze security tarnex-register.service
	# (no man-db in the image: the page itself is checked with man -l)
	step verify systemd-analyze verify --man=no tarnex-register.service
	step kdump_loaded cat /sys/kernel/kexec_crash_loaded
	step kdump_show kdump-config show
	rm -rf /tmp/kdinit
	step kdump_unpack unmkinitramfs /var/lib/kdump/initrd.img-$KVER /tmp/kdinit
	(cd /tmp/kdinit && find . -name '*.ko' | sort) > $OUT/kdump_modules
	cat /tmp/kdinit/conf/modules /tmp/kdinit/main/conf/modules > $OUT/kdump_conf_modules 2>/dev/null
	step hook_before cat /proc/tarnex/hook
	echo purge > $STATE
	send
	echo 1 > /proc/sys/kernel/sysrq
	echo "LAB-PANIC" > /dev/ttyS0
	echo c > /proc/sysrq-trigger
	;;
purge)
	step crash_dir ls -R /var/crash
	step dpkg_purge dpkg --purge panicforkiv-dkms tarnex
	paths > $OUT/paths.after
	step kdump_initrd_after lsinitramfs /var/lib/kdump/initrd.img-$KVER
	echo done > $STATE
	send
	echo "LAB-END" > /dev/ttyS0
	systemctl poweroff
	;;
esac
