#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers) and runs each for a bounded time from its committed seed
# corpus. Any finding fails the run. Seconds per target: FUZZ_SECONDS
# (default 55).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"
seconds="${FUZZ_SECONDS:-55}"
jobs="${FUZZ_JOBS:-2}"
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=64}"

cmake -S "$here" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs"

status=0
for target in notify start_io settings_monitor; do
  # The committed corpus is read only; what the run finds goes to a scratch
  # corpus beside the build.
  work="$build/corpus-ci/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$work" "$artifacts"
  echo "--- fuzz_$target for ${seconds}s"
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=3072 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$work" "$here/corpus/$target" 2>"$build/fuzz_$target.log"; then
    echo "fuzz_$target: finding (log: $build/fuzz_$target.log, input in $artifacts)"
    tail -n 40 "$build/fuzz_$target.log"
    status=1
  fi
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
    "$build/fuzz_$target.log" || true
  grep -E 'DONE|INITED' "$build/fuzz_$target.log" | tail -n 1 || true
done
exit $status
