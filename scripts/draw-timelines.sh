#!/usr/bin/env bash
# Draws every picture under docs/timelines/ from its scenario, with the host
# build of kvrsim. With --check it draws them to a scratch folder instead and
# fails if a committed picture differs from a fresh one.
#   bash scripts/draw-timelines.sh [--check] [KVRSIM]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi
kvrsim=${1:-$root/build/host/tools/kvrsim/kvrsim}
if [ ! -x "$kvrsim" ]; then
    cmake --preset host >/dev/null
    cmake --build --preset host --target kvrsim
fi
out=$root/docs/timelines
if [ "$check" = 1 ]; then out=$(mktemp -d); trap 'rm -rf "$out"' EXIT; fi
cd "$root"
# The pictures and their scenarios: the built-in typical road (no file), and
# the day of a frame. Paths are relative so that the titles do not depend on
# where the tree lies.
"$kvrsim" --quiet --timeline "$out/typical-road.svg" >/dev/null
"$kvrsim" --quiet --timeline "$out/day.svg" docs/timelines/day.kvs >/dev/null
if [ "$check" = 1 ]; then
    stale=0
    for svg in typical-road.svg day.svg; do
        if ! cmp -s "$out/$svg" "docs/timelines/$svg"; then
            echo "docs/timelines/$svg is out of date: run bash scripts/draw-timelines.sh" >&2
            stale=1
        fi
    done
    exit $stale
fi
