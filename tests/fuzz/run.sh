#!/bin/sh
# Builds the fuzz targets and runs each for a bounded time.
# usage: run.sh SECONDS-PER-TARGET
set -eu
seconds=${1:-60}
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build-fuzz
cmake -S "$top" -B "$build" -DTARNEX_FUZZ=ON -DTARNEX_NATIVE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null
for bin in "$build"/bin/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  seeds=$top/tests/fuzz/seeds/$name
  [ -d "$seeds" ] || seeds=
  echo "fuzz: $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -print_final_stats=0 "$corpus" $seeds 2>"$build/$name.log" ||
    { tail -n 40 "$build/$name.log"; exit 1; }
done
