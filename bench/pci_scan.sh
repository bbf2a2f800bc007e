#!/bin/sh
# PCI snapshot benchmark: builds the i386 test driver pci_probe (build/) and
# a native x86_64 one (build-native/), then times both against lspci -n on a
# fixture tree of 4,096 functions and on the host's /sys/bus/pci, and counts
# configuration reads per function. See bench/pci_scan.py.
# usage: pci_scan.sh [--count N] [--runs N]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
native=$top/build-native

cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" -j2 --target pci_probe >/dev/null
runner=$(sed -n 's/^TARNEX_RUNNER:[A-Z]*=//p' "$build/CMakeCache.txt")

cmake -S "$top" -B "$native" -DTARNEX_NATIVE=ON -DTARNEX_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$native" -j2 --target tarnexlib >/dev/null
lib=$(find "$native" -name libtarnexlib.a | head -n 1)
c++ -std=gnu++20 -O2 -g -fno-exceptions -fno-rtti -I"$top/command" \
  -o "$native/pci_probe" "$top/bench/pci_probe.cpp" "$lib"

exec python3 "$top/bench/pci_scan.py" --i386 "$build/bin/pci_probe" --runner "$runner" \
  --native "$native/pci_probe" "$@"
