#!/usr/bin/env bash
# Builds kvrsim and runs it: with no argument, the built-in typical road.
# It needs only a host compiler, CMake and Ninja: the build in build/kvrsim
# leaves out the tests and benchmarks (KVR_TESTS=OFF), and nothing of the
# Windows tool chain is installed (scripts/test.sh installs everything).
# Progress goes to standard error, so that kvrsim's own output on standard
# output stays as it is for a pipe or a file.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { printf 'run-kvrsim: %s\n' "$*" >&2; }

say "checking the host compiler, CMake and Ninja"
bash scripts/install-deps.sh simulator >&2
say "configuring build/kvrsim (optimised, without tests)"
cmake --preset host-release -B build/kvrsim -DKVR_TESTS=OFF >/dev/null
# Ninja's own progress, one line a step ([3/40] Building ...); a first build
# takes a few minutes on two cores, a rebuild a moment.
say "building kvrsim"
cmake --build build/kvrsim --target kvrsim >&2
binary=build/kvrsim/tools/kvrsim/kvrsim
say "kvrsim is $PWD/$binary"
if [ $# -eq 0 ]; then
  say "running the built-in typical road (scenarios/typical-road.kvs); '$binary --help' lists the rest"
fi
exec "$binary" "$@"
