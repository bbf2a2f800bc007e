#!/bin/sh
# Label delete benchmark (see bench/label_delete.py); run as root.
# usage: label_delete.sh [--lines N] [--labels N] [--runs N]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" -j2 --target tarnex tarnex_stub >/dev/null
TARNEX_BIN=$build/bin/tarnex TARNEX_STUB=$build/lib/tarnex_stub.so \
  exec python3 "$top/bench/label_delete.py" "$@"
