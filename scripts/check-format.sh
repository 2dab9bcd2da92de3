#!/usr/bin/env bash
# Checks that every C++ file is laid out as .clang-format says; with --fix,
# formats them. Uses clang-format 14 (scripts/install-deps.sh installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hxx')
if [ "${1:-}" = "--fix" ]; then
  clang-format-14 -i "${files[@]}"
else
  clang-format-14 --dry-run --Werror "${files[@]}"
fi
