# Front door of the project. Every target installs the Debian packages it
# needs when they are missing (run as root), then builds with CMake.

BUILD    ?= build
PREFIX   ?= /usr/local
DESTDIR  ?=
FUZZ_SECONDS ?= 300
MODULE_VERSION = $(shell sed -n 's/^PACKAGE_VERSION="\(.*\)"/\1/p' panicforkiv/dkms.conf)
FUZZ_SMOKE_SECONDS ?= 10

# Packages for building and testing the command (i386 on an amd64 host).
BUILD_PACKAGES = cmake make gcc g++ gcc-multilib g++-multilib googletest python3 \
                 util-linux qemu-user clang libclang-rt-14-dev
# Packages for building the kernel module against Debian's kernel headers.
MODULE_PACKAGES = linux-headers-amd64 kmod
# Packages for building and checking the Debian packages.
DEB_PACKAGES = debhelper dh-dkms dkms dpkg-dev lintian cmake gcc-multilib g++-multilib
DEB_DIR = $(BUILD)/deb

.PHONY: check-debian all build deps check test module fuzz bench demo demo-sandbox install deb clean

all: build

deps:
	@sh tests/tools/ensure-packages.sh $(BUILD_PACKAGES) $(MODULE_PACKAGES)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j2

module: deps
	$(MAKE) -C panicforkiv

# The whole suite through CTest: unit, sandbox and module-logic tests, the
# lab's boots and the Debian server run of the packages built here; then
# the module's Kbuild build and a short run of every fuzz target.
check: build module deb
	cd $(BUILD) && TARNEX_DEB_DIR=$(abspath $(DEB_DIR)) ctest --output-on-failure -j2
	sh tests/fuzz/run.sh $(FUZZ_SMOKE_SECONDS)

# The Debian server run alone (install, reboot, kdump, purge).
check-debian: build deb
	cd $(BUILD) && TARNEX_DEB_DIR=$(abspath $(DEB_DIR)) ctest --output-on-failure -L debian

test: check

fuzz: deps
	sh tests/fuzz/run.sh $(FUZZ_SECONDS)

bench: build
	@for b in bench/*.sh; do [ -f "$$b" ] && sh "$$b"; done

# Boots the lab's emulated server and narrates what the command and the
# module do there (lab/README.md).
demo: build
	$(MAKE) -C lab demo

# The same story without a VM: the command in a private namespace over the
# example machine in examples/machine.
demo-sandbox: build
	python3 examples/demo.py

install: build
	install -D -m 0755 $(BUILD)/bin/tarnex $(DESTDIR)$(PREFIX)/sbin/tarnex
	install -d -m 0755 $(DESTDIR)/etc/opt/KVXRtarnex
	install -d -m 0750 $(DESTDIR)/var/opt/KVXRtarnex/log $(DESTDIR)/var/opt/KVXRtarnex/lock
	# The command never creates its lock file; it must exist before the first run.
	[ -e $(DESTDIR)/var/opt/KVXRtarnex/lock/.tarnex.lock ] || \
		install -m 0600 /dev/null $(DESTDIR)/var/opt/KVXRtarnex/lock/.tarnex.lock
	# The module's sources go where DKMS builds them for every installed
	# kernel: dkms install panicforkiv/$(MODULE_VERSION)
	install -d $(DESTDIR)/usr/src/panicforkiv-$(MODULE_VERSION)
	cd panicforkiv && install -m 0644 Kbuild Makefile dkms.conf \
		$$(ls *.c *.h | grep -v '\.mod\.c$$') $(DESTDIR)/usr/src/panicforkiv-$(MODULE_VERSION)/
	install -m 0755 panicforkiv/kdump-refresh.sh $(DESTDIR)/usr/src/panicforkiv-$(MODULE_VERSION)/

# The Debian packages tarnex and panicforkiv-dkms, built from a clean copy
# of the sources in $(DEB_DIR)/src; the .deb files land in $(DEB_DIR).
deb:
	@sh tests/tools/ensure-packages.sh $(DEB_PACKAGES)
	rm -rf $(DEB_DIR)
	mkdir -p $(DEB_DIR)/src
	if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then \
		git ls-files -z -co --exclude-standard | \
			tar -c --null -T - --ignore-failed-read -f - 2>/dev/null; \
	else \
		tar -c --exclude='./build*' --exclude=./.git -f - .; \
	fi | tar -x -C $(DEB_DIR)/src
	cd $(DEB_DIR)/src && dpkg-buildpackage -b -us -uc -j2
	lintian --pedantic --fail-on error,warning $(DEB_DIR)/*.changes
	@ls -1 $(DEB_DIR)/*.deb

clean:
	rm -rf $(BUILD) build-fuzz build-native
	-$(MAKE) -C panicforkiv clean
