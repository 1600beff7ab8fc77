#!/usr/bin/env bash
# The long fuzzing campaign: each target runs until it has executed RUNS
# inputs (default 10 million) or SECONDS have passed (default 2 hours),
# starting from its committed seed corpus and a campaign corpus kept in the
# build tree between campaigns. Prints, and appends to
# build/fuzz/campaign.txt, one line per target: executions, executions per
# second, coverage (edges and features), corpus size, findings.
#
#   tests/fuzz/campaign.sh                    all three targets, one after another
#   RUNS=2000000 tests/fuzz/campaign.sh notify
#   SECONDS_LIMIT=3600 tests/fuzz/campaign.sh settings_monitor
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"
runs="${RUNS:-10000000}"
limit="${SECONDS_LIMIT:-7200}"
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
  log="$build/campaign-$target.log"
  mkdir -p "$work" "$artifacts"
  started=$(date -u +%FT%TZ)
  set +e
  "$build/fuzz_$target" -runs="$runs" -max_total_time="$limit" -timeout=25 -rss_limit_mb=3072 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$here/corpus/$target" \
    >"$log" 2>&1
  code=$?
  set -e
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -n 1)
  findings=$(find "$artifacts" -type f | wc -l)
  line="$started fuzz_$target: ${executions:-?} executions, ${rate:-?}/s, ${coverage:-?}, findings $findings, exit $code"
  echo "$line"
  echo "$line" >>"$build/campaign.txt"
done
