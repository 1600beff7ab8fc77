#!/usr/bin/env bash
# The whole test run: installs what is missing, builds every preset, runs every
# test. This is what CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
step() { printf '\n=== %s (%s)\n' "$1" "$(date -u +%H:%M:%S)"; }

step "dependencies"
bash scripts/install-deps.sh

step "formatting"
bash scripts/check-format.sh

step "driver rooms (every include in driver/ points down)"
python3 scripts/check-rooms.py

for preset in host host-asan host-tsan; do
  step "build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  step "test $preset"
  # The real image's runs (label "image") wait for the windows-x64 build below.
  ctest --preset "$preset" -j "$jobs" -LE image
done

step "build windows-x64 (kvrminiport.sys)"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$jobs"
if [ -x target/windows/check.sh ]; then
  step "check kvrminiport.sys"
  bash target/windows/check.sh build/windows-x64
fi

step "every scenario, the scenario fault sweep, the behaviour tests and the explorer's cases on kvrminiport.sys"
ctest --preset host -j "$jobs" -L image --no-tests=error

if [ -x tests/fuzz/run-ci.sh ]; then
  step "fuzz (bounded)"
  bash tests/fuzz/run-ci.sh
fi

if [ -x tests/wine/run.sh ]; then
  step "kvrminiport.sys under Wine"
  bash tests/wine/run.sh
fi

step "done"
