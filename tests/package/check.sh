#!/usr/bin/env bash
# Installs the build into a scratch prefix and moves it elsewhere, then builds
# and runs a host project against it through find_package(norvo): the package
# must find itself, and tell where its module is, wherever it lies.
set -euo pipefail
build=$1
source=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/installed" >/dev/null
mv "$scratch/installed" "$scratch/prefix"
cmake -S "$source" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH="$scratch/prefix/lib" "$scratch/consumer/consumer"
echo "package consumer: ok"
