#!/usr/bin/env bash
# Checks of the Windows build: runs the tests of the given windows-x64 build
# directory (image and PDB checks of kvrminiport.sys, the signed package, the
# ABI check's self-test, the host-header refusal, the INF check, each with its
# self-test), then builds the image a second time in another directory and
# requires the same bytes: two builds of one commit give one image.
#   bash target/windows/check.sh build/windows-x64
set -euo pipefail
build=${1:-build/windows-x64}
root=$(cd "$(dirname "$0")/../.." && pwd)
ctest --test-dir "$build" --output-on-failure

again=$(mktemp -d "${TMPDIR:-/tmp}/kvr-windows-again.XXXXXX")
trap 'rm -rf "$again"' EXIT
echo "--- building kvrminiport.sys again in $again"
(cd "$root" && cmake --preset windows-x64 -B "$again" >/dev/null)
cmake --build "$again" --target kvrminiport -j "${KVR_JOBS:-2}" >/dev/null
if cmp "$build/kvrminiport.sys" "$again/kvrminiport.sys"; then
    echo "reproducible: the second build's kvrminiport.sys is byte for byte the first"
else
    echo "FAIL: two builds of one commit differ"
    exit 1
fi
