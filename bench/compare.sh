#!/usr/bin/env bash
# Before and after: the simulator's three throughput figures for an earlier
# commit and for this tree, built and run one after the other on the same
# machine, so that their ratio holds whatever the machine's load.
#
#   bash bench/compare.sh [BASE_COMMIT]        (default 87f0524)
#
#  1. a day of panel-refresh turns: kvrsim --quiet
#     bench/scenarios/day-panel-refresh.kvs, host-release, best of RUNS
#     (default 3), wall and CPU seconds;
#  2. fresh kernels with the driver loaded and the adapter started
#     (kvr_fresh_kernel, alone and with two virtual seconds of run), a second
#     of CPU;
#  3. inputs a second of the fuzz targets (bench/fuzz_rate.sh: the CI build
#     and options, a fixed seed and number of inputs, both trees on this
#     tree's corpus).
#
# The earlier tree is exported with git archive into build/compare/<commit>
# and built there; kvr_fresh_kernel is built from its bench/fresh_kernel.cpp
# (this tree's when it has none) against its libraries (it uses only the
# harness interface). Building both trees takes a few minutes on two cores.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
base=${1:-87f0524}
runs=${RUNS:-3}
dir=build/compare/$base
src=$dir/src

if [ ! -f "$src/CMakeLists.txt" ]; then
  mkdir -p "$src"
  git archive "$base" | tar -x -C "$src"
fi
echo "building $base in $dir and this tree ($(git rev-parse --short HEAD)) ..." >&2
cmake -S "$src" -B "$dir/release" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir/release" -j2 --target kvrsim kvrdriver kvrsim_kernel >/dev/null
# The earlier tree's own copy of the program when it has one: the program
# is the same, but the driver's headers it includes may have moved since.
fresh=bench/fresh_kernel.cpp
[ -f "$src/bench/fresh_kernel.cpp" ] && fresh=$src/bench/fresh_kernel.cpp
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -g -DNDEBUG -DKVR_KERNEL_TARGET=0 -I"$src" -I"$src/sim" -I"$src/driver" \
  "$fresh" "$dir/release/libkvrdriver.a" "$dir/release/sim/libkvrsim_kernel.a" \
  -lpthread -o "$dir/release/kvr_fresh_kernel"
cmake -S "$src/tests/fuzz" -B "$dir/fuzz" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$dir/fuzz" -j2 >/dev/null

[ -f build/host-release/build.ninja ] || cmake --preset host-release >/dev/null
cmake --build build/host-release -j2 --target kvrsim kvr_fresh_kernel >/dev/null
cmake -S tests/fuzz -B build/fuzz -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/fuzz -j2 >/dev/null

echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "1. A day of panel-refresh turns (kvrsim --quiet, best of $runs)"
for tree in "$base:$dir/release" "now:build/host-release"; do
  python3 - "${tree%%:*}" "${tree#*:}/tools/kvrsim/kvrsim" "$runs" <<'EOF'
import resource, subprocess, sys, time
name, kvrsim, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
best = None
for _ in range(runs):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    proc = subprocess.run([kvrsim, "--quiet", "bench/scenarios/day-panel-refresh.kvs"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        sys.exit("kvrsim failed:\n" + proc.stdout + proc.stderr)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    best = (wall, cpu) if best is None else (min(best[0], wall), min(best[1], cpu))
print("   %-8s %.3f s wall (%.0f times real time), %.3f s CPU" %
      (name, best[0], 86400 / best[0], best[1]))
EOF
done
echo
echo "2. Fresh kernels, the driver loaded and the adapter started (kvr_fresh_kernel)"
for tree in "$base:$dir/release/kvr_fresh_kernel" "now:build/host-release/bench/kvr_fresh_kernel"; do
  printf '   %-8s ' "${tree%%:*}"
  "${tree#*:}" --kernels 20000
  printf '   %-8s ' "${tree%%:*}"
  "${tree#*:}" --kernels 5000 --short-run
done
echo
echo "3. Fuzz targets (bench/fuzz_rate.sh, ${RUNS_FUZZ:-20000} inputs each, best of ${REPEAT:-3})"
for tree in "$base:$dir/fuzz" "now:build/fuzz"; do
  echo "   ${tree%%:*}"
  RUNS=${RUNS_FUZZ:-20000} bash bench/fuzz_rate.sh "${tree#*:}" tests/fuzz/corpus
done
