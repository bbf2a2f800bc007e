#!/bin/sh
# Runs at every boot of the Debian root (lab-stage.service), from the data
# disk mounted at /run/lab, standard output on the second serial port.
# One stage per boot, kept in /var/lib/lab/stage:
#   install  kdump-tools, then the two packages with dpkg; reboot
#   checks   what the boot did: registration, load order, crash kernel;
#            then a panic (the crash kernel saves the dump and reboots)
#   purge    both packages purged; what is left; power off
# Each stage's files go to the host as a base64 tar (@@DATA-BEGIN/END).
LAB=/run/lab
OUT=/var/lib/lab/out
STATE=/var/lib/lab/stage
KVER=$(uname -r)
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
}
send() {
	sync
	{ echo "@@DATA-BEGIN"; (cd $OUT && tar -c .) | base64; echo "@@DATA-END"; } > /dev/ttyS1
}
# every path on the root file system, for what purge leaves
paths() { find / -xdev \( -path /proc -o -path /sys -o -path /run -o -path /tmp \) -prune -o -print | sort; }

case $stage in
install)
	step boot_time systemd-analyze time
	# the maker's driver (the lab's stand-in), installed before our packages
	install -D -m 0644 $LAB/tarnex.ko /lib/modules/$KVER/extra/tarnex.ko
	depmod "$KVER"
	step kdump_tools dpkg -i /root/lab-debs/kdump-tools_*.deb
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
	step boot_time systemd-analyze time
	step register systemctl show -p ActiveState -p Result -p ExecMainStatus -p WantedBy \
		tarnex-register.service
	step register_journal journalctl -b -o cat -u tarnex-register.service
	step received cat /proc/tarnex/received
	step klog journalctl -b -k -o short-monotonic --grep 'panicforkiv|tarnex'
	step refcnt cat /sys/module/tarnex/refcnt
	step security systemd-analyze security tarnex-register.service
	step verify systemd-analyze verify tarnex-register.service
	step kdump_loaded cat /sys/kernel/kexec_crash_loaded
	step kdump_show kdump-config show
	rm -rf /tmp/kdinit
	step kdump_initrd lsinitramfs /var/lib/kdump/initrd.img-$KVER
	step kdump_unpack unmkinitramfs /var/lib/kdump/initrd.img-$KVER /tmp/kdinit
	cp /tmp/kdinit/conf/modules $OUT/kdump_conf_modules 2>/dev/null ||
		cp /tmp/kdinit/main/conf/modules $OUT/kdump_conf_modules 2>/dev/null
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
