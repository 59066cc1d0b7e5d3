#!/usr/bin/env bash
# Formats every C++ file of the tree with .clang-format; `--check` only
# reports files that are not formatted (exit 1), as CI runs it.
# Usage: tools/format.sh [--check]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash tools/packages.sh clang-format
mapfile -t files < <(git ls-files -- '*.cpp' '*.h')
if [[ ${1:-} == --check ]]; then
  clang-format --dry-run --Werror "${files[@]}"
else
  clang-format -i "${files[@]}"
fi
