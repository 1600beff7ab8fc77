#!/usr/bin/env bash
# Builds kvrsim and runs it: with no argument, the built-in typical road.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target kvrsim >/dev/null
exec build/host-release/tools/kvrsim/kvrsim "$@"
