#!/usr/bin/env bash
# Checks of the Windows build: runs the tests of the given windows-x64 build
# directory (image and PDB checks of kvrminiport.sys and kvrdisplay.dll, the
# signed package, the ABI checks' self-tests, the host-header refusal, the INF
# check, each with its self-test), then builds the images a second time in
# another directory and requires the same bytes: two builds of one commit
# give one image of each. Last, a source tarball of the checked-out commit
# (`git archive`, no git metadata) and a clone of that commit are built: the
# tarball takes the images' time from its files (source_date.cmake) and must
# give the clone's bytes.
#   bash target/windows/check.sh build/windows-x64
set -euo pipefail
build=${1:-build/windows-x64}
root=$(cd "$(dirname "$0")/../.." && pwd)
ctest --test-dir "$build" --output-on-failure

# The images the build makes: the miniport, and the display driver when its
# sources are in the tree.
images=(kvrminiport.sys)
targets=(kvrminiport)
if [ -e "$build/kvrdisplay.dll" ]; then
    images+=(kvrdisplay.dll)
    targets+=(kvrdisplay)
fi

# same DIR_A DIR_B WHAT: every image of DIR_A is byte for byte DIR_B's.
same() {
    local image
    for image in "${images[@]}"; do
        if cmp "$1/$image" "$2/$image"; then
            echo "reproducible: $3 $image"
        else
            echo "FAIL: $image: $4"
            exit 1
        fi
    done
}

again=$(mktemp -d "${TMPDIR:-/tmp}/kvr-windows-again.XXXXXX")
trap 'rm -rf "$again"' EXIT
echo "--- building ${images[*]} again in $again"
(cd "$root" && cmake --preset windows-x64 -B "$again" >/dev/null)
cmake --build "$again" --target "${targets[@]}" -j "${KVR_JOBS:-2}" >/dev/null
same "$build" "$again" "the second build's is byte for byte the first:" \
    "two builds of one commit differ"

commit=$(git -C "$root" rev-parse --verify -q HEAD || true)
if [ -z "$commit" ]; then
    echo "tarball check skipped: $root is not a git checkout (nothing to archive)"
    exit 0
fi
echo "--- building ${images[*]} from a git archive tarball of $commit and from a clone of it"
mkdir "$again/tarball"
git -C "$root" archive --format=tar "$commit" | tar -x -C "$again/tarball"
git clone -q --no-checkout "$root" "$again/clone"
git -C "$again/clone" checkout -q "$commit"
for tree in tarball clone; do
    # Without SOURCE_DATE_EPOCH: each tree gives the time its own way.
    (cd "$again/$tree" && env -u SOURCE_DATE_EPOCH cmake --preset windows-x64 -B "$again/$tree-build" \
        >/dev/null)
    env -u SOURCE_DATE_EPOCH cmake --build "$again/$tree-build" --target "${targets[@]}" \
        -j "${KVR_JOBS:-2}" >/dev/null
done
same "$again/tarball-build" "$again/clone-build" \
    "($(cat "$again/tarball-build/link-timestamp.rsp")) the tarball's is byte for byte the clone's:" \
    "the tarball and the clone of $commit build different images"
