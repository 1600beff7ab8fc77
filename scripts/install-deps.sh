#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (as root),
# skipping the package manager when everything is already there.
#
#   bash scripts/install-deps.sh             everything (scripts/test.sh)
#   bash scripts/install-deps.sh simulator   only what kvrsim needs
#                                            (scripts/run-kvrsim.sh)
set -euo pipefail

# The simulator and kvrsim: a host compiler, CMake and Ninja.
simulator=(cmake ninja-build g++)

# The tests and benchmarks: GoogleTest, Google Benchmark, Python for the
# checks and scripts, clang for the fuzz targets, valgrind for the cost
# figures, rsvg-convert (librsvg2-bin) to render kvrsim's timeline.
# The Windows image: clang and lld link it against mingw-w64's headers and
# import libraries (mingw-w64-x86-64-dev); binutils-mingw-w64 reads it and
# makes the videoprt.sys import library; llvm brings llvm-pdbutil for the PDB
# check; openssl and osslsigncode make and check the signed package. The Wine
# test builds its stand-ins with g++-mingw-w64 (tests/wine/run.sh installs
# wine itself).
everything=("${simulator[@]}" libgtest-dev libgmock-dev googletest libbenchmark-dev
            python3 clang libclang-rt-14-dev valgrind librsvg2-bin
            lld llvm mingw-w64-x86-64-dev g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
            openssl osslsigncode)

case "${1:-all}" in
simulator) packages=("${simulator[@]}") ;;
all) packages=("${everything[@]}") ;;
*)
    echo "usage: install-deps.sh [simulator]" >&2
    exit 2
    ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
