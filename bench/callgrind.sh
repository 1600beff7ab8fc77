#!/usr/bin/env bash
# The cost figures of docs/performance.md, from one command:
#
#   bash bench/callgrind.sh [BUILD_DIR]
#
# BUILD_DIR defaults to build/host-release (configured with the host-release
# preset when it does not exist yet). Builds kvrsim, kvr_bench and
# kvr_pool_report there, then:
#
#  1. runs kvrsim under callgrind on an hour of each steady state of the
#     monitor (bench/scenarios/*.kvs) and prints the instructions per turn,
#     the driver's own apart from the simulator's;
#  2. runs kvrsim under callgrind on the 24-hour scenario
#     (bench/scenarios/day-panel-refresh.kvs) and prints the same split and
#     the costliest functions;
#  3. runs the control-code, classification and notification benchmarks of
#     kvr_bench under callgrind and prints the instructions of one call;
#  4. runs the 24-hour scenario natively (best of RUNS, default 3) and prints
#     the wall time, the simulated-to-wall time ratio and kvrsim's peak
#     resident memory (with GNU time), beside those of a one-hour run;
#  5. runs kvr_pool_report over 24 hours of each steady state;
#  6. runs kvr_fresh_kernel under callgrind and prints the instructions of
#     one fresh kernel with the driver loaded and the adapter started;
#  7. runs kvr_fuzz_replay under callgrind over the settings and monitor fuzz
#     target's committed corpus and prints the instructions of one input,
#     then natively for the heap blocks an input allocates and the inputs
#     that end with more blocks than they began (each makes the fuzzer run
#     the input again and then scan its heap for leaks); the fuzz targets'
#     own rates under their sanitizers: bench/fuzz_rate.sh; before and after
#     a change: bench/compare.sh.
#
# Instruction counts repeat from run to run; wall times depend on the load of
# the machine, which is printed with them. Each budget is marked ok or MISSED;
# the exit status is 1 when one is missed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
build=${1:-build/host-release}
runs=${RUNS:-3}
split="python3 $repo/bench/callgrind_split.py --source $repo"

if [ ! -f "$build/build.ninja" ]; then
  if [ "$build" = build/host-release ]; then
    cmake --preset host-release >/dev/null
  else
    echo "callgrind.sh: $build is not a configured build directory" >&2
    exit 2
  fi
fi
cmake --build "$build" -j2 --target kvrsim kvr_bench kvr_pool_report kvr_fresh_kernel >/dev/null
# Built only where clang's fuzzer header is found.
cmake --build "$build" -j2 --target kvr_fuzz_replay >/dev/null 2>&1 || true

kvrsim=$build/tools/kvrsim/kvrsim
bench=$build/bench/kvr_bench
pool=$build/bench/kvr_pool_report
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
missed=0
verdict() { # STATUS TEXT...: prints the budget as met (STATUS 0) or missed
  local status=$1
  shift
  if [ "$status" -eq 0 ]; then echo "   ok: $*"; else echo "   MISSED: $*"; missed=1; fi
}

grind() { # OUT PROGRAM ARGS...
  local out=$1
  shift
  valgrind --tool=callgrind --callgrind-out-file="$out" "$@" >"$out.stdout" 2>"$out.stderr" || {
    echo "callgrind.sh: $* failed:" >&2
    cat "$out.stdout" "$out.stderr" >&2
    exit 1
  }
}

echo "commit $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores," \
  "load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo

echo "1. Instructions per monitor turn, an hour of each steady state (kvrsim --quiet under callgrind)"
printf '   %-22s %8s %10s %12s %10s\n' state turns driver simulator total
over=0
for state in detached mode2 mode3-panel-refresh mode3-input-polling mode3-input-pending; do
  grind "$work/$state.cg" "$kvrsim" --quiet "bench/scenarios/$state.kvs"
  $split --json "$work/$state.cg" | python3 -c '
import json, sys
r = json.load(sys.stdin); p = r["per_turn"]
print("   %-22s %8d %10.1f %12.1f %10.1f" % (sys.argv[1], r["turns"], p["driver"], p["simulator"], p["total"]))
sys.exit(0 if r["turns"] > 0 and p["driver"] <= 800 else 1)
' "$state" || over=1
done
verdict $over "the driver's own instructions, at most 800 a turn in every state"
echo

echo "2. The 24-hour scenario under callgrind (kvrsim --quiet bench/scenarios/day-panel-refresh.kvs)"
grind "$work/day.cg" "$kvrsim" --quiet bench/scenarios/day-panel-refresh.kvs
$split --top 12 "$work/day.cg" | sed 's/^/   /'
over=0
$split --json "$work/day.cg" | python3 -c '
import json, sys
p = json.load(sys.stdin)["per_turn"]
sys.exit(0 if p["total"] <= 4000 else 1)' || over=1
verdict $over "at most 4,000 instructions a panel-refresh turn, driver and simulated kernel"
echo

echo "3. Instructions of one call (kvr_bench under callgrind; platform calls included)"
grind "$work/bench.cg" "$bench" --benchmark_filter='^(StartIO|Classify|Notify)_' \
  --benchmark_min_time=0.01
$split --calls '::(StartIO|Classify|Notify)_' "$work/bench.cg" | tee "$work/calls.txt" |
  sed 's/^/   /'
over=0
for code in ActivateClient QueryDisplayMode QueryWideModel UnknownCode; do
  awk -v c="StartIO_$code" '$1 == c && $2 == "HwStartIO" { found = 1; if ($3 > 100) exit 1 }
                            END { if (!found) exit 1 }' "$work/calls.txt" || over=1
done
verdict $over "HwStartIO at most 100 instructions for ActivateClient, QueryDisplayMode," \
  "QueryWideModel and an unknown code"
echo

echo "4. Wall time of the 24-hour scenario (kvrsim --quiet, best of $runs)"
python3 - "$kvrsim" "$runs" <<'EOF' || missed=1
import resource, shutil, subprocess, sys, time

kvrsim, runs = sys.argv[1], int(sys.argv[2])
# The peak resident memory comes from GNU time: a child's high-water mark
# read here would include this interpreter's, copied by the fork.
gnu_time = shutil.which("time", path="/usr/bin:/bin")

def run(scenario):
    """Best wall and CPU seconds of RUNS runs, and kvrsim's peak resident KiB
    (the least of the runs: it varies by some 150 KiB from run to run)."""
    best = None
    peak = None
    for _ in range(runs):
        command = [kvrsim, "--quiet", scenario]
        if gnu_time:
            command = [gnu_time, "-f", "%M"] + command
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if proc.returncode != 0:
            sys.exit("kvrsim failed on " + scenario + ":\n" + proc.stdout + proc.stderr)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        if best is None or wall < best[0]:
            best = (wall, cpu)
        if gnu_time:
            rss = int(proc.stderr.strip().splitlines()[-1])
            peak = rss if peak is None else min(peak, rss)
    return best, peak

(wall_hour, _), rss_hour = run("bench/scenarios/mode3-panel-refresh.kvs")
(wall, cpu), rss_day = run("bench/scenarios/day-panel-refresh.kvs")
print("   24 h of virtual time in %.3f s wall (%.3f s CPU): %.0f times real time" %
      (wall, cpu, 86400 / wall))
if rss_hour is not None:
    print("   one hour in %.3f s wall; kvrsim's peak resident memory %d KiB for an hour, %d KiB for a day" %
          (wall_hour, rss_hour, rss_day))
else:
    print("   one hour in %.3f s wall; no /usr/bin/time for the peak resident memory" % wall_hour)
# A turn that kept a single byte would add 337 KiB over the day.
flat = rss_hour is None or rss_day <= rss_hour + 256
print("   %s: 24 hours in at most 1 s wall (86,400 times real time)" %
      ("ok" if wall <= 1.0 else "MISSED"))
print("   %s: 24 hours in at most 0.1 s CPU (864,000 times real time)" %
      ("ok" if cpu <= 0.1 else "MISSED"))
print("   %s: kvrsim's memory after a day within 256 KiB of an hour's" % ("ok" if flat else "MISSED"))
sys.exit(0 if wall <= 1.0 and cpu <= 0.1 and flat else 1)
EOF
echo

echo "5. Pool over 24 hours of each steady state (kvr_pool_report 24)"
status=0
"$pool" 24 >"$work/pool.txt" || status=1
sed 's/^/   /' "$work/pool.txt"
verdict $status "no allocation in a turn but one key-path copy per registry call; pool flat"
echo

# Instructions of one run, from two profiles of N and M runs: the difference
# leaves out what the process does once.
per_run() { # OUT_N OUT_M N M
  python3 -c '
import sys
def total(path):
    for line in open(path):
        if line.startswith(("summary:", "totals:")):
            return int(line.split()[1])
    sys.exit("no total in " + path)
a, b, n, m = total(sys.argv[1]), total(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
print(round((b - a) / (m - n)))' "$@"
}

echo "6. A fresh kernel with the driver loaded and the adapter started (kvr_fresh_kernel under callgrind)"
fresh=$build/bench/kvr_fresh_kernel
grind "$work/fresh200.cg" "$fresh" --kernels 200
grind "$work/fresh400.cg" "$fresh" --kernels 400
grind "$work/short200.cg" "$fresh" --kernels 200 --short-run
grind "$work/short400.cg" "$fresh" --kernels 400 --short-run
kernel=$(per_run "$work/fresh200.cg" "$work/fresh400.cg" 200 400)
short=$(per_run "$work/short200.cg" "$work/short400.cg" 200 400)
echo "   $kernel instructions a kernel; $short with a frame plugged and two virtual seconds run"
over=0
[ "$kernel" -le 70000 ] || over=1
verdict $over "a fresh kernel, driver loaded and adapter started, in at most 70,000 instructions"
echo

echo "7. The settings and monitor fuzz target without fuzzer or sanitizers (kvr_fuzz_replay under callgrind)"
replay=$build/bench/kvr_fuzz_replay
if [ ! -x "$replay" ]; then
  echo "   MISSED: no kvr_fuzz_replay (it needs clang's fuzzer header)"
  exit 1
fi
corpus=tests/fuzz/corpus/settings_monitor
inputs=$(find "$corpus" -type f | wc -l)
grind "$work/replay1.cg" "$replay" --rounds 1 "$corpus"
grind "$work/replay2.cg" "$replay" --rounds 2 "$corpus"
input=$(per_run "$work/replay1.cg" "$work/replay2.cg" "$inputs" $((2 * inputs)))
echo "   $input instructions an input ($inputs inputs of the committed corpus)"
over=0
[ "$input" -le 160000 ] || over=1
verdict $over "an input of the settings and monitor fuzz target in at most 160,000 instructions"
# The rounds after the first: the storage kept for the next kernel is made.
"$replay" --rounds 3 "$corpus" >"$work/replay.out"
read -r blocks growing < <(sed -n 's/^after the first round: \([0-9.]*\) heap blocks allocated an input; \([0-9]*\) of .*/\1 \2/p' "$work/replay.out")
echo "   $blocks heap blocks allocated an input; $growing inputs ended with more allocated than freed"
over=0
awk -v b="$blocks" 'BEGIN { exit !(b <= 90) }' || over=1
verdict $over "an input of the settings and monitor fuzz target allocates at most 90 heap blocks"
over=0
[ "$growing" -eq 0 ] || over=1
verdict $over "no input ends with more heap blocks allocated than freed (no leak re-run by the fuzzer)"
exit $missed
