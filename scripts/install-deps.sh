#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (as root),
# skipping the package manager when everything is already there.
set -euo pipefail

# The Windows image: clang and lld link it against mingw-w64's headers and
# import libraries (mingw-w64-x86-64-dev); binutils-mingw-w64 reads it and
# makes the videoprt.sys import library; llvm brings llvm-pdbutil for the PDB
# check; openssl and osslsigncode make and check the signed package. The Wine
# test builds its stand-ins with g++-mingw-w64 (tests/wine/run.sh installs
# wine itself).
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev googletest libbenchmark-dev
          python3 clang libclang-rt-14-dev valgrind
          lld llvm mingw-w64-x86-64-dev g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
          openssl osslsigncode)
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
