#!/usr/bin/env bash
# Builds everything and runs the example host tool on its built-in sample data.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc 2>/dev/null || echo 2)"
build/dev/tools/norvo_demo/norvo_demo
