#!/usr/bin/env bash
# Builds the fuzz targets (clang 14, the `fuzz` preset) and runs each one in
# turn for SECONDS (default 60), starting from a seed corpus made of the
# shared clips and the project's own seeds. A longer local run:
#   scripts/fuzz.sh 600
# New inputs stay in build/fuzz/corpus/<target>, crashes in
# build/fuzz/artifacts/. With NORVO_BUILD_LOCK set, the build runs under
# that lock file; the runs are niced so they yield to builds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shared=${NORVO_SHARED_BVH_DIR:-$(cd .. && pwd)/shared/data/bvh}
lock=()
[ -n "${NORVO_BUILD_LOCK:-}" ] && lock=(flock "$NORVO_BUILD_LOCK")

"${lock[@]}" cmake --preset fuzz >/dev/null
"${lock[@]}" cmake --build --preset fuzz -j "$(nproc 2>/dev/null || echo 2)"

out=build/fuzz
seeds=$out/seeds
rm -rf "$seeds"
# fbx_process: FBX as the tool reads it, through its reader process (the
# FBX library itself crashes on such input: fbx_fuzz finds that, and is not
# run here).
targets=(bvh keyword rigfile gltf fbx_process)
for target in "${targets[@]}"; do
  mkdir -p "$seeds/$target" "$out/corpus/$target"
  cp fuzz/seeds/$target/* "$seeds/$target/"
done
mkdir -p "$out/artifacts"
# Each shared clip gives a BVH seed (its hierarchy and first frames, so that
# the seeds stay small) and a keyword seed (its joint names, and some of them
# as keywords of the four body parts).
for clip in "$shared"/*.bvh; do
  [ -f "$clip" ] || continue
  name=$(basename "$clip" .bvh)
  awk '{ print } /^[ \t]*Frame Time/ { frames = 3; next } frames > 0 && --frames == 0 { exit }' "$clip" \
    > "$seeds/bvh/$name.bvh"
  names=$(tr -d '\r' < "$clip" | sed -n -E 's/^[ \t]*(ROOT|JOINT)[ \t]+//p' | head -n 32)
  {
    printf '%s\n' "$names"
    printf '%s\n' "$names" | awk 'NR % 8 == 1 { if (NR > 1) print "/"; print "+" $0 } NR % 8 == 5 { print "-" $0 }'
  } > "$seeds/keyword/$name.txt"
done
# Rig seeds: the fuzz build's own tool saves the rig of each of the smaller
# shared clips (the larger ones make seeds past the length limit below).
for clip in "$shared"/*.bvh; do
  [ -f "$clip" ] || continue
  joints=$(grep -c -E '^[[:space:]]*(ROOT|JOINT)[[:space:]]' "$clip" || true)
  [ "$joints" -le 40 ] || continue
  name=$(basename "$clip" .bvh)
  "$out/tools/retarget/norvo-retarget" --target "$clip" --save-rig "$seeds/rigfile/$name.json" >/dev/null ||
    echo "cannot save the rig of $clip" >&2
done

# glTF seeds: the project's small files and the shared VRM model and
# animation small enough for the length limit below.
for file in "$shared"/../vrm/*.vrm "$shared"/../vrm/*.vrma; do
  [ -f "$file" ] && [ "$(stat -c %s "$file")" -le 65536 ] && cp "$file" "$seeds/gltf/"
done

status=0
for target in "${targets[@]}"; do
  echo "=== fuzzing ${target}_fuzz for ${seconds} s"
  # Rig files and glTF are JSON, longer than BVH text for the same skeleton.
  maxLen=16384
  [ "$target" = rigfile ] && maxLen=65536
  [ "$target" = gltf ] && maxLen=65536
  [ "$target" = fbx_process ] && maxLen=65536
  nice -n 19 "$out/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len="$maxLen" -print_final_stats=1 -dict="fuzz/$target.dict" -artifact_prefix="$out/artifacts/${target}-" \
    "$out/corpus/$target" "$seeds/$target" || status=1
done
exit $status
