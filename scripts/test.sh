#!/usr/bin/env bash
# Checks the code's layout, then builds and runs the whole test suite twice: a
# normal build with warnings as errors, and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# The independent glTF readers the tests run under node.
scripts/install-js.sh build/js
echo "=== layout (clang-format)"
scripts/check-format.sh
echo "=== layers (includes run down the tool's layers)"
/usr/bin/python3 scripts/check-layers.py
/usr/bin/python3 scripts/check-function-length.py
jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for preset in dev asan; do
  echo "=== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== $preset tests"
  ctest --preset "$preset" -j "$jobs"
done
