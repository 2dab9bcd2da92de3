#!/usr/bin/env bash
# Installs the pinned JavaScript readers the tests check the tool's glTF files
# with (tests/js) into the folder DEST, with check-gltf.mjs beside them, so the
# tests run `node DEST/check-gltf.mjs FILE`. npm runs only when DEST holds no
# install from the same lock.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: scripts/install-js.sh DEST" >&2
  exit 2
fi
for tool in node npm; do
  if ! command -v "$tool" >/dev/null; then
    echo "install-js: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done
src="$(cd "$(dirname "$0")/../tests/js" && pwd)"
dest=$1
mkdir -p "$dest"
# The script is small and may change without the lock changing: always copy it.
cp "$src/check-gltf.mjs" "$dest/check-gltf.mjs"
# The lock npm installed from is kept as installed.lock once the install
# succeeded; the same lock means the work is done.
if [ -d "$dest/node_modules" ] && cmp -s "$src/package-lock.json" "$dest/installed.lock"; then
  exit 0
fi
rm -f "$dest/installed.lock"
cp "$src/package.json" "$src/package-lock.json" "$dest/"
(cd "$dest" && npm ci --no-audit --no-fund --loglevel=error)
cp "$src/package-lock.json" "$dest/installed.lock"
