#!/bin/sh
# Builds the fuzz targets and runs each for a bounded time, reporting its
# executions. Corpora, logs and crash or out-of-memory inputs stay in build-fuzz/.
# usage: run.sh SECONDS-PER-TARGET
set -eu
seconds=${1:-60}
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$top/build-fuzz
cmake -S "$top" -B "$build" -DTARNEX_FUZZ=ON -DTARNEX_NATIVE=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null
mkdir -p "$build/artifacts"
# A smaller quarantine and allocation stacks: the same checks, less work each.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=4}
for bin in "$build"/bin/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  seeds=$top/tests/fuzz/seeds/$name
  [ -d "$seeds" ] || seeds=
  log=$build/$name.log
  # An alternative-list item is a few bytes; longer files only retest the reader.
  [ "$name" = fuzz_d0 ] && max=-max_len=256 || max=
  (cd "$build" && "$bin" $max -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$corpus" $seeds 2>"$log") ||
    { tail -n 40 "$log"; exit 1; }
  echo "fuzz: $name ${seconds}s: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" \
    "executions, peak RSS $(sed -n 's/^stat::peak_rss_mb: *//p' "$log") MB"
done
