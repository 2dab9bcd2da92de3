#!/usr/bin/env bash
# Builds the retargeting tool and runs its built-in sample: a generated walk
# carried onto a second generated rig. It says where it wrote the files.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc 2>/dev/null || echo 2)" --target norvo_retarget
build/dev/tools/retarget/norvo-retarget
