#!/usr/bin/env bash
# A panel-refresh turn of the host build, this tree beside earlier ones, in
# one run:
#
#   bash bench/turn_compare.sh [BASE_COMMIT...]     (default: 87f0524 401a487)
#
# Each earlier tree is exported with git archive into build/compare/<commit>
# and built there (kvrsim, RelWithDebInfo as host-release; the directory is
# the one bench/compare.sh uses); this tree is built in build/host-release.
#
#  1. Instructions a turn (callgrind): kvrsim --quiet with a frame plugged,
#     the difference between a run of 3,660 virtual seconds and one of 60,
#     divided by the 14,400 turns (one every 250 ms) between them. With
#     `frame reply now`, the sibling answering each request at once, as the
#     earlier trees' sibling did; for this tree also with the late answer
#     that is the scenarios' default. Instruction counts repeat from run to
#     run and do not depend on the machine's load.
#  2. CPU seconds of a day of panel refresh (86,400 virtual seconds, `frame
#     reply now`): RUNS runs of each tree (default 5), taking turns, the
#     median; the ratio of each earlier tree's to this tree's. The load of
#     the machine is printed before and after.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
bases=("$@")
[ ${#bases[@]} -gt 0 ] || bases=(87f0524 401a487)
runs=${RUNS:-5}

trees=()
for base in "${bases[@]}"; do
  dir=build/compare/$base
  if [ ! -f "$dir/src/CMakeLists.txt" ]; then
    mkdir -p "$dir/src"
    git archive "$base" | tar -x -C "$dir/src"
  fi
  echo "building $base in $dir ..." >&2
  cmake -S "$dir/src" -B "$dir/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$dir/release" -j2 --target kvrsim >/dev/null
  trees+=("$base:$dir/release/tools/kvrsim/kvrsim")
done
[ -f build/host-release/build.ninja ] || cmake --preset host-release >/dev/null
cmake --build build/host-release -j2 --target kvrsim >/dev/null
now=$(git rev-parse --short HEAD)
trees+=("$now:build/host-release/tools/kvrsim/kvrsim")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for seconds in 60 3660 86400; do
  printf 'frame reply now\nplug ABCD 1000 FR0001A7C2\nwait %s000\n' "$seconds" >"$work/now$seconds.kvs"
  printf 'plug ABCD 1000 FR0001A7C2\nwait %s000\n' "$seconds" >"$work/late$seconds.kvs"
done

echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "1. Instructions a panel-refresh turn (kvrsim --quiet under callgrind; 3,660 s less 60 s, / 14,400)"
collected() { # PROGRAM SCENARIO: the instructions of one run
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$1" --quiet "$2" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
per_turn() { # PROGRAM ANSWER
  local short long
  short=$(collected "$1" "$work/${2}60.kvs")
  long=$(collected "$1" "$work/${2}3660.kvs")
  echo $(((long - short) / 14400))
}
declare -A turn
for tree in "${trees[@]}"; do
  turn[${tree%%:*}]=$(per_turn "${tree#*:}" now)
done
late=$(per_turn build/host-release/tools/kvrsim/kvrsim late)
for tree in "${trees[@]}"; do
  name=${tree%%:*}
  awk -v n="$name" -v a="${turn[$name]}" -v b="${turn[$now]}" 'BEGIN {
    printf "   %-10s %6d a turn with frame reply now; this tree runs %.2f times fewer\n", n, a, a / b }'
done
echo "   $now: $late a turn with the late answer (frame reply after=4, the default)"
echo

echo "2. CPU seconds of a day of panel refresh (frame reply now; median of $runs runs each, taking turns)"
python3 - "$runs" "$work/now86400.kvs" "$now" "${trees[@]}" <<'EOF'
import resource, statistics, subprocess, sys

runs, scenario, now = int(sys.argv[1]), sys.argv[2], sys.argv[3]
trees = [t.split(":", 1) for t in sys.argv[4:]]
cpu = {name: [] for name, _ in trees}
for _ in range(runs):
    for name, kvrsim in trees:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        proc = subprocess.run([kvrsim, "--quiet", scenario], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        if proc.returncode != 0:
            sys.exit("kvrsim failed:\n" + proc.stdout + proc.stderr)
        cpu[name].append((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime))
median = {name: statistics.median(times) for name, times in cpu.items()}
for name, _ in trees:
    print("   %-10s %.3f s (runs %s); this tree is %.2f times faster" %
          (name, median[name], " ".join("%.3f" % t for t in cpu[name]),
           median[name] / median[now]))
EOF
echo "   load afterwards $(cut -d' ' -f1-3 /proc/loadavg)"
