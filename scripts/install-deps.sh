#!/usr/bin/env bash
# Installs the Debian packages the build needs when one is missing (as root).
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
# glTF, GLB and VRM files are parsed by tinygltf (its header, built into the
# tool's glTF reader) on RapidJSON.
[ -f /usr/include/tiny_gltf.h ] || need+=(libtinygltf-dev)
[ -f /usr/include/rapidjson/document.h ] || need+=(rapidjson-dev)
# FBX files are read by assimp, in a process of the tool's own.
[ -f /usr/include/assimp/scene.h ] || need+=(libassimp-dev)
# zlib, with which that reader checks an FBX file's compressed arrays itself.
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
# The Python package: pybind11, numpy and the headers of Debian's
# interpreter; Dask for the test that runs it on a local cluster.
[ -f /usr/include/pybind11/pybind11.h ] || need+=(python3-pybind11)
compgen -G '/usr/include/python3*/Python.h' >/dev/null || need+=(python3-dev)
/usr/bin/python3 -c 'import numpy' 2>/dev/null || need+=(python3-numpy)
/usr/bin/python3 -c 'import dask.distributed' 2>/dev/null || need+=(python3-dask python3-distributed)
# The layout check: clang-format 14.
command -v clang-format-14 >/dev/null || need+=(clang-format-14)
# The fuzz targets: clang 14 and its sanitizer and fuzzer runtimes.
command -v clang++-14 >/dev/null || need+=(clang-14)
compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null || need+=(libclang-rt-14-dev)
# The page test: a browser that opens the page the tool writes.
command -v chromium >/dev/null || need+=(chromium)
# The Blender add-on's test: Debian's Blender, on the system's Python.
command -v blender >/dev/null || need+=(blender)
# The glTF checks: Node.js and npm run the pinned readers in tests/js.
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${need[@]}"
fi
