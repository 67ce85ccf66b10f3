#!/usr/bin/env bash
# Fails when a C++ file of the tree differs from what clang-format makes of it
# with the project's .clang-format; `--fix` formats them in place instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.hpp' '*.h' '*.cc')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files as .clang-format wants them"
