#!/usr/bin/env bash
# Checks of the Windows build: runs the tests of the given windows-x64 build
# directory (image and PDB checks of kvrminiport.sys, the signed package, the
# ABI check's self-test, the host-header refusal, the INF check, each with its
# self-test), then builds the image a second time in another directory and
# requires the same bytes: two builds of one commit give one image. Last, a
# source tarball of the checked-out commit (`git archive`, no git metadata)
# and a clone of that commit are built: the tarball takes the image's time
# from its files (source_date.cmake) and must give the clone's bytes.
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

commit=$(git -C "$root" rev-parse --verify -q HEAD || true)
if [ -z "$commit" ]; then
    echo "tarball check skipped: $root is not a git checkout (nothing to archive)"
    exit 0
fi
echo "--- building kvrminiport.sys from a git archive tarball of $commit and from a clone of it"
mkdir "$again/tarball"
git -C "$root" archive --format=tar "$commit" | tar -x -C "$again/tarball"
git clone -q --no-checkout "$root" "$again/clone"
git -C "$again/clone" checkout -q "$commit"
for tree in tarball clone; do
    # Without SOURCE_DATE_EPOCH: each tree gives the time its own way.
    (cd "$again/$tree" && env -u SOURCE_DATE_EPOCH cmake --preset windows-x64 -B "$again/$tree-build" \
        >/dev/null)
    env -u SOURCE_DATE_EPOCH cmake --build "$again/$tree-build" --target kvrminiport \
        -j "${KVR_JOBS:-2}" >/dev/null
done
if cmp "$again/tarball-build/kvrminiport.sys" "$again/clone-build/kvrminiport.sys"; then
    echo "reproducible: the tarball's kvrminiport.sys is byte for byte the clone's" \
         "($(cat "$again/tarball-build/link-timestamp.rsp"))"
else
    echo "FAIL: the tarball and the clone of $commit build different images"
    exit 1
fi
