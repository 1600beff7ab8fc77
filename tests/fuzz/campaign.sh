#!/usr/bin/env bash
# The long fuzzing campaign: each target runs until it has executed RUNS
# inputs (default 10 million, over all its workers) or SECONDS_LIMIT seconds
# have passed (default 2 hours), starting from its committed seed corpus and
# a campaign corpus kept in the build tree between campaigns. WORKERS
# processes (default 1) share each target's corpus. Prints, and appends to
# build/fuzz/campaign.txt, one line per target: executions, executions per
# second, coverage (edges and features of the driver) and corpus size of the
# first worker, findings.
#
#   tests/fuzz/campaign.sh                    all three targets, one after another
#   RUNS=2000000 tests/fuzz/campaign.sh notify
#   WORKERS=2 SECONDS_LIMIT=3600 tests/fuzz/campaign.sh settings_monitor
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"
runs="${RUNS:-10000000}"
limit="${SECONDS_LIMIT:-7200}"
workers="${WORKERS:-1}"
targets=("$@")
# Allocation stacks are not recorded (a finding is re-run with full reports:
# build/fuzz/fuzz_<target> <input>), which doubles the rate of the targets
# that allocate most.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=64:malloc_context_size=0}"
[ ${#targets[@]} -gt 0 ] || targets=(notify start_io settings_monitor)

cmake -S "$here" -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "${FUZZ_JOBS:-2}"

for target in "${targets[@]}"; do
  work="$build/corpus-campaign/$target"
  artifacts="$build/artifacts-campaign/$target"
  mkdir -p "$work" "$artifacts"
  started=$(date -u +%FT%TZ)
  pids=()
  for worker in $(seq 1 "$workers"); do
    "$build/fuzz_$target" -runs=$(((runs + workers - 1) / workers)) -max_total_time="$limit" \
      -timeout=25 -rss_limit_mb=3072 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$work" "$here/corpus/$target" >"$build/campaign-$target-$worker.log" 2>&1 &
    pids+=($!)
  done
  failed=0
  for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
  done
  executions=0
  rate=0
  for worker in $(seq 1 "$workers"); do
    log="$build/campaign-$target-$worker.log"
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    r=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    executions=$((executions + ${n:-0}))
    rate=$((rate + ${r:-0}))
  done
  coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$build/campaign-$target-1.log" |
    tail -n 1)
  findings=$(find "$artifacts" -type f | wc -l)
  line="$started fuzz_$target: $executions executions ($workers worker(s)), $rate/s, ${coverage:-?}, findings $findings, failed $failed"
  echo "$line"
  echo "$line" >>"$build/campaign.txt"
done
