#!/usr/bin/env bash
# Fails when a C or C++ source of the project is not formatted with the
# repository's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.h' '*.hpp' '*.c' '*.cpp' '*.cc')
[ -z "$files" ] && exit 0
# shellcheck disable=SC2086
clang-format --dry-run --Werror $files
echo "formatting: $(echo "$files" | wc -l) files checked"
