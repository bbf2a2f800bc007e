#!/bin/sh
# Table listing benchmark: loads and lists a generated table of N lines
# (100,000 by default) with `tarnex -l`, side by side with
# `awk '{print $1, $2}'` on the same file. Reports the median wall time of
# several runs, its ratio to awk's, and the peak resident set size.
#
# tarnex reads its fixed root-only paths, so it runs in a private mount
# namespace over a fixture tree (tests/sandbox/enter.sh); run as root.
# Both the i386 program (build/, through qemu-i386 where the host cannot
# run i386 itself) and a native x86_64 build (build-native/) are measured.
# usage: table_list.sh [--lines N] [--runs N]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
native=${NATIVE_BUILD:-$top/build-native}
lines=100000
runs=7
while [ $# -gt 0 ]; do
  case $1 in
    --lines) lines=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--lines N] [--runs N]" >&2; exit 2 ;;
  esac
done
[ -x /usr/bin/time ] || { echo "$0: needs /usr/bin/time (apt-get install time)" >&2; exit 2; }

cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" -j2 --target tarnex >/dev/null
runner=$(sed -n 's/^TARNEX_RUNNER:[A-Z]*=//p' "$build/CMakeCache.txt")
cmake -S "$top" -B "$native" -DTARNEX_NATIVE=ON -DTARNEX_TESTS=OFF >/dev/null
cmake --build "$native" -j2 --target tarnex >/dev/null

work=$(mktemp -d /tmp/table_list.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/etc" "$work/var/log" "$work/var/lock"
: >"$work/var/lock/.tarnex.lock"
table=$work/etc/hba_addr.conf

# Entry lines as the command writes them, with a comment line and a blank
# line now and then, as an operator's table has.
awk -v n="$lines" 'BEGIN {
  for (i = 0; i < n; i++) {
    if (i % 1000 == 0) print "# adapters of rack " i / 1000
    else if (i % 1000 == 500) print ""
    else printf "disk%d,/dev/sd%c%c 0000:%02x:%02x.%x\n", i, 97 + i % 26, 97 + int(i / 26) % 26,
                i % 256, i % 32, i % 8
  }
}' >"$table"

# Runs "$@" N times; prints each wall time in microseconds.
timer='n=$1; shift
i=0
while [ $i -lt "$n" ]; do
  s=$(date +%s%N); "$@" >/dev/null; e=$(date +%s%N)
  echo $(( (e - s) / 1000 )); i=$((i + 1))
done'
inside() {
  unshare --mount --uts --propagation private -- \
    /bin/sh "$top/tests/sandbox/enter.sh" "$work" node1 "$@"
}
median() { sort -n | sed -n "$(( (runs + 1) / 2 ))p"; }
peak_kib() { /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null; cat "$work/rss"; }
ms() { awk -v u="$1" 'BEGIN { printf "%.1f", u / 1000 }'; }

# The listing must be the table itself (it is written in normal form).
inside "$native/bin/tarnex" -l >"$work/listed"
cmp -s "$work/listed" "$table" || { echo "$0: tarnex -l did not list the table" >&2; exit 1; }

awk_us=$(sh -c "$timer" sh "$runs" awk '{print $1, $2}' "$table" | median)
awk_kib=$(peak_kib awk '{print $1, $2}' "$table")
native_us=$(inside /bin/sh -c "$timer" sh "$runs" "$native/bin/tarnex" -l | median)
native_kib=$(inside /usr/bin/time -f %M -o "$work/rss" "$native/bin/tarnex" -l >/dev/null
  cat "$work/rss")
i386_us=$(inside /bin/sh -c "$timer" sh "$runs" $runner "$build/bin/tarnex" -l | median)
i386_kib=$(inside /usr/bin/time -f %M -o "$work/rss" $runner "$build/bin/tarnex" -l >/dev/null
  cat "$work/rss")

ratio() { awk -v a="$1" -v b="$awk_us" 'BEGIN { printf "%.2f", a / b }'; }
echo "table: $lines lines, $(wc -c <"$table") bytes; median of $runs runs"
printf '%-42s %10s %8s %14s\n' "" "wall ms" "x awk" "peak RSS KiB"
printf '%-42s %10s %8s %14s\n' "awk '{print \$1, \$2}'" "$(ms "$awk_us")" 1.00 "$awk_kib"
printf '%-42s %10s %8s %14s\n' "tarnex -l, native x86_64" "$(ms "$native_us")" \
  "$(ratio "$native_us")" "$native_kib"
label="tarnex -l, i386"
[ -n "$runner" ] && label="$label under $(basename "$runner")"
printf '%-42s %10s %8s %14s\n' "$label" "$(ms "$i386_us")" \
  "$(ratio "$i386_us")" "$i386_kib"
[ -n "$runner" ] && echo "(the i386 figures include the emulator's own start-up and memory)"
exit 0
