#!/bin/sh
# Brings the initramfs kdump-tools built for each kernel's crash kernel up
# to date with the panicforkiv module installed for that kernel, and
# reloads the crash kernel when one was loaded. DKMS runs it after every
# install of the module (a new package, new headers, a new kernel); the
# package runs it too. The normal initramfs trigger never rebuilds these.
# Only the kdump initramfs files older than their kernel's module are
# rebuilt.
set -u
hook=/etc/kernel/postinst.d/kdump-tools
[ -x "$hook" ] || exit 0
refreshed=
for initrd in /var/lib/kdump/initrd.img-*; do
	[ -f "$initrd" ] || continue
	kver=${initrd#/var/lib/kdump/initrd.img-}
	ko=$(modinfo -k "$kver" -n panicforkiv 2>/dev/null) || continue
	[ "$ko" -nt "$initrd" ] || continue
	echo "panicforkiv: rebuilding $initrd"
	# kdump-tools' hook skips its work when it believes a package other
	# than "configure" runs it.
	if ! env -u DEB_MAINT_PARAMS "$hook" "$kver"; then
		echo "panicforkiv: rebuilding $initrd failed" >&2
		continue
	fi
	refreshed=1
done
if [ -n "$refreshed" ] && command -v kdump-config >/dev/null; then
	kdump-config try-reload || echo "panicforkiv: kdump-config try-reload failed" >&2
fi
exit 0
