#!/bin/bash
# dracut module: puts panicforkiv, and before it the maker's tarnex driver
# when that is installed, into the initramfs that kdump builds for the crash
# kernel, and loads both there before anything else (rd.driver.pre), so that
# the module tells the BMC the machine is dumping. Other initramfs images
# get it only when asked for by name.

check() {
    # mkdumprd sets IN_KDUMP while it builds the kdump initramfs.
    [[ $IN_KDUMP == 1 ]] || return 255
    return 0
}

depends() {
    return 0
}

installkernel() {
    if modinfo -k "$kernel" tarnex &>/dev/null; then
        instmods tarnex
    fi
    instmods panicforkiv
}

install() {
    local pre=panicforkiv
    # The hook is bound only at load: the driver goes first.
    if modinfo -k "$kernel" tarnex &>/dev/null; then
        pre=tarnex,panicforkiv
    fi
    mkdir -p "${initdir}/etc/cmdline.d"
    echo "rd.driver.pre=${pre}" > "${initdir}/etc/cmdline.d/95panicforkiv.conf"
}
