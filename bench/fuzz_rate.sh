#!/usr/bin/env bash
# Inputs per second of the fuzz targets, as tests/fuzz/run-ci.sh builds and
# runs them (clang, AddressSanitizer and UndefinedBehaviorSanitizer, the
# same ASAN_OPTIONS), over a fixed number of inputs from a fixed seed:
#
#   bash bench/fuzz_rate.sh [FUZZ_BUILD_DIR [CORPUS_DIR]]
#
# FUZZ_BUILD_DIR defaults to build/fuzz (built when missing); CORPUS_DIR to
# this tree's tests/fuzz/corpus. RUNS inputs per target (default 20000), or
# with SECONDS_LIMIT as many as that many seconds allow (as CI runs them); the
# best of REPEAT runs (default 3); TARGETS picks targets (default all three).
# libFuzzer checks for leaks after an input that allocated more than it
# freed, at most 1,000 times a run: a short run weighs those checks more than
# CI's 55 seconds do.
# Each run starts from a scratch copy of the corpus, so runs repeat. The rate
# is given per second of CPU time (what the target costs, whatever else the
# machine runs) and per second of wall time.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$repo/build/fuzz}
corpus=${2:-$repo/tests/fuzz/corpus}
runs=${RUNS:-20000}
repeat=${REPEAT:-3}
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=64}"

if [ ! -x "$build/fuzz_settings_monitor" ]; then
  cmake -S "$repo/tests/fuzz" -B "$build" -G Ninja \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$build" -j2 >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in ${TARGETS:-notify start_io settings_monitor}; do
  : >"$work/times"
  for _ in $(seq "$repeat"); do
    rm -rf "$work/$target"
    mkdir -p "$work/$target"
    if [ -n "${SECONDS_LIMIT:-}" ]; then
      limit=(-max_total_time="$SECONDS_LIMIT")
    else
      limit=(-runs="$runs")
    fi
    /usr/bin/time -f '%U %S %e' -o "$work/time" "$build/fuzz_$target" -seed=1 "${limit[@]}" \
      -print_final_stats=1 "$work/$target" "$corpus/$target" >"$work/log" 2>&1 || {
      echo "fuzz_rate.sh: fuzz_$target failed:" >&2
      tail -n 30 "$work/log" >&2
      exit 1
    }
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    echo "$(cat "$work/time") ${executed:-$runs}" >>"$work/times"
  done
  python3 -c '
import sys
target, path = sys.argv[1], sys.argv[2]
runs = [tuple(map(float, line.split())) for line in open(path) if line.strip()]
# The run that did the most inputs a CPU second, and the most a wall second.
best = max(runs, key=lambda r: r[3] / (r[0] + r[1]))
fastest = max(runs, key=lambda r: r[3] / r[2])
cpu = best[0] + best[1]
print("   fuzz_%-17s %7d inputs in %6.2f s CPU (%8.0f a CPU second), %7d in %6.2f s wall (%8.0f a second)"
      % (target, best[3], cpu, best[3] / cpu, fastest[3], fastest[2], fastest[3] / fastest[2]))
' "$target" "$work/times"
done
