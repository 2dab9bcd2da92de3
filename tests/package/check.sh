#!/usr/bin/env bash
# Installs the build into a scratch prefix and moves it elsewhere, then builds
# and runs a host project against it through find_package(norvo): the package
# must find itself, and tell where its module is, wherever it lies. The
# Python package imports from the prefix alone.
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
# The Python package, with nothing but the moved prefix's folder on its path:
# it finds the module, the presets and the FBX reader there.
python=$scratch/prefix/lib/python3/dist-packages
if compgen -G "$build/tools/retarget/python/package/norvo_retarget.cpython-*.so" >/dev/null; then
  env -i PATH=/usr/bin:/bin PYTHONPATH="$python" PREFIX="$scratch/prefix" CLIP="$2" /usr/bin/python3 -c '
import os, norvo_retarget as nr
prefix = os.environ["PREFIX"]
for path in (nr._module_path, nr._presets_folder, nr._fbx_reader):
    assert path.startswith(prefix + "/"), path
result = nr.retarget(os.environ["CLIP"], os.environ["CLIP"])
assert result.motion.locals.shape == (344, 31, 4, 4)
'
  echo "python package: ok"
fi
