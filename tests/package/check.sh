#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs a host
# project against it through find_package(norvo).
set -euo pipefail
build=$1
source=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/consumer/consumer" \
  "$scratch/prefix/lib/norvo/modules/retargetbase.module.so"
echo "package consumer: ok"
