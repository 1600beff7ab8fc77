#!/usr/bin/env bash
# Checks of the Windows build: runs the tests of the given windows-x64 build
# directory (image checks of kvrminiport.sys, the ABI check's self-test, the
# host-header refusal, the INF check, each with its self-test).
#   bash target/windows/check.sh build/windows-x64
set -euo pipefail
build=${1:-build/windows-x64}
ctest --test-dir "$build" --output-on-failure
