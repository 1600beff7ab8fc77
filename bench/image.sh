#!/usr/bin/env bash
# The host build and the real image side by side, in one run: the CPU
# seconds of a simulated day, of fresh kernels and of an explorer case, each
# on the host build of the driver and on kvrminiport.sys, and the signals the
# image's run of the day takes.
#
#   bash bench/image.sh          (RUNS=5: the runs of each, alternating)
#
#  1. a day: kvrsim --quiet docs/timelines/day.kvs, with and without
#     --image build/windows-x64/kvrminiport.sys;
#  2. fresh kernels: kvr_fresh_kernel --kernels 2000 --short-run, with and
#     without --image;
#  3. an explorer case: kvr_explore --case power --strategy reduced, with and
#     without --image (where the explorer takes it);
#  4. the signals over the image's day, counted by strace -c -f (rt_sigreturn:
#     one a trapped instruction), when strace is installed.
#
# Each figure is the median of RUNS runs of the process's user and system CPU
# time; the ratio is the image's median over the host's. It builds
# host-release and, when there is no image, the windows-x64 preset.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"
runs=${RUNS:-5}
image=build/windows-x64/kvrminiport.sys

[ -f build/host-release/build.ninja ] || cmake --preset host-release >/dev/null
cmake --build build/host-release -j2 --target kvrsim kvr_fresh_kernel kvr_explore >/dev/null
if [ ! -f "$image" ]; then
  cmake --preset windows-x64 >/dev/null
  cmake --build --preset windows-x64 >/dev/null
fi
kvrsim=build/host-release/tools/kvrsim/kvrsim
fresh=build/host-release/bench/kvr_fresh_kernel
explore=build/host-release/tests/explore/kvr_explore

echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), $(date -u '+%Y-%m-%d %H:%M UTC'), $(git rev-parse --short HEAD)"
# The explorer takes --image only where it runs its cases on the image.
explore_image=("$explore" --case power --strategy reduced --image "$image")
if ! "${explore_image[@]}" >/dev/null 2>&1; then
  explore_image=()
fi
python3 - "$runs" "$image" "$kvrsim" "$fresh" "$explore" "${#explore_image[@]}" <<'EOF'
import resource, statistics, subprocess, sys
runs, image, kvrsim, fresh, explore, explore_on_image = sys.argv[1:7]
runs = int(runs)
work = [
    ("a day (kvrsim --quiet docs/timelines/day.kvs)",
     [kvrsim, "--quiet", "docs/timelines/day.kvs"],
     [kvrsim, "--quiet", "--image", image, "docs/timelines/day.kvs"]),
    ("2000 fresh kernels, two virtual seconds each (kvr_fresh_kernel)",
     [fresh, "--kernels", "2000", "--short-run"],
     [fresh, "--kernels", "2000", "--short-run", "--image", image]),
    ("an explorer case (kvr_explore --case power --strategy reduced)",
     [explore, "--case", "power", "--strategy", "reduced"],
     [explore, "--case", "power", "--strategy", "reduced", "--image", image]
     if explore_on_image != "0" else None),
]

def cpu(command):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if result.returncode != 0:
        sys.exit("failed (%d): %s" % (result.returncode, " ".join(command)))
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)

print("\n%-66s %9s %9s %7s" % ("median CPU seconds of %d runs" % runs, "host", "image", "ratio"))
for name, host, on_image in work:
    times = {"host": [], "image": []}
    for _ in range(runs):
        times["host"].append(cpu(host))
        if on_image:
            times["image"].append(cpu(on_image))
    h = statistics.median(times["host"])
    if not on_image:
        print("%-66s %9.3f %9s %7s" % (name, h, "-", "-"))
        continue
    i = statistics.median(times["image"])
    print("%-66s %9.3f %9.3f %7.2f" % (name, h, i, i / h))
if explore_on_image == "0":
    print("(the explorer of this tree does not run its cases on the image)")
EOF

echo
if command -v strace >/dev/null; then
  log=$(mktemp)
  strace -c -f -o "$log" "$kvrsim" --quiet --image "$image" docs/timelines/day.kvs >/dev/null 2>&1
  signals=$(awk '$NF == "rt_sigreturn" { print $4 }' "$log")
  echo "signals over the image's day (strace -c -f, rt_sigreturn): ${signals:-0}"
  rm -f "$log"
else
  echo "signals: strace is not installed"
fi
