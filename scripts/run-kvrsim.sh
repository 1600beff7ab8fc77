#!/usr/bin/env bash
# Builds kvrsim and runs it: with no argument, the built-in typical road.
# It needs only a host compiler, CMake and Ninja: the build in build/kvrsim
# leaves out the tests and benchmarks (KVR_TESTS=OFF), and nothing of the
# Windows tool chain is installed (scripts/test.sh installs everything).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh simulator
cmake --preset host-release -B build/kvrsim -DKVR_TESTS=OFF >/dev/null
cmake --build build/kvrsim --target kvrsim >/dev/null
exec build/kvrsim/tools/kvrsim/kvrsim "$@"
