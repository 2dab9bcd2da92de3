#!/usr/bin/env bash
# Writes what the tool makes of the shared clips into OUTDIR: every pairing of
# the three shared BVH clips (each onto each, itself included) with the
# defaults and with each of --no-align, --in-place, --round-trip and
# --lock-feet, the match report, saved rig, picture and page of the default
# runs, a batch's outputs and manifest, the
# model formats (below), and the built-in sample. Two such folders, from two commits, are compared with
# scripts/compare-outputs.py.
#   scripts/output-matrix.sh TOOL OUTDIR [DATA_DIR] [-- OPTION...]
# Options after "--" go to every run (--no-contacts: the results of the
# tool before it planted feet).
set -euo pipefail
tool=$1
out=$2
data=${3:-"$(cd "$(dirname "$0")/.." && pwd)/../shared/data/bvh"}
extra=()
if [ $# -gt 4 ] && [ "$4" = "--" ]; then extra=("${@:5}"); fi
mkdir -p "$out"
clips=(cmu_02_01_walk cmu_12_03 makehuman_zombie_walk)
for source in "${clips[@]}"; do
  for target in "${clips[@]}"; do
    pair="${source}__${target}"
    "$tool" "${extra[@]}" -q "$data/$source.bvh" --target "$data/$target.bvh" -o "$out/$pair.default.bvh" \
      --report "$out/$pair.report.json" --save-rig "$out/$pair.rig.json" --svg "$out/$pair.svg" \
      --html "$out/$pair.html"
    "$tool" "${extra[@]}" -q "$data/$source.bvh" --target "$data/$target.bvh" -o "$out/$pair.no-align.bvh" --no-align
    "$tool" "${extra[@]}" -q "$data/$source.bvh" --target "$data/$target.bvh" -o "$out/$pair.in-place.bvh" --in-place
    "$tool" "${extra[@]}" "$data/$source.bvh" --target "$data/$target.bvh" -o "$out/$pair.round-trip.bvh" --round-trip \
      | grep -v '^wrote' >"$out/$pair.round-trip.txt"
    "$tool" "${extra[@]}" -q "$data/$source.bvh" --target "$data/$target.bvh" -o "$out/$pair.lock-feet.bvh" --lock-feet --no-contacts
  done
done
# The model formats: the walk onto each glTF, VRM and FBX model (written in
# its own format and as BVH, with its saved rig), and each of their clips
# onto a BVH rig and onto a model.
walk="$data/cmu_02_01_walk.bvh"
for model in "$data"/../gltf/*.glb "$data"/../vrm/*.vrm "$data"/../fbx/*.fbx; do
  name=$(basename "$model")
  own=${name##*.}
  [ "$own" = fbx ] && own=glb
  "$tool" "${extra[@]}" -q "$walk" --target "$model" -o "$out/walk__$name.$own" --save-rig "$out/walk__$name.rig.json"
  "$tool" "${extra[@]}" -q "$walk" --target "$model" -o "$out/walk__$name.bvh"
done
for clip in "$data"/../gltf/*walk*.glb "$data"/../vrm/*.vrma "$data"/../fbx/*.fbx; do
  name=$(basename "$clip")
  "$tool" "${extra[@]}" -q "$clip" --target "$data/cmu_12_03.bvh" -o "$out/$name.__cmu_12_03.bvh"
  "$tool" "${extra[@]}" -q "$clip" --target "$data/../gltf/bcn_skinned_human.glb" -o "$out/$name.__bcn.glb"
done
# A batch of the BVH clips onto a model, with its manifest (the seconds
# taken left out, the paths cut to their file names).
"$tool" "${extra[@]}" --batch "$data" --target "$data/../gltf/bcn_skinned_human.glb" -o "$out/batch" \
  --manifest "$out/batch.manifest.jsonl" >/dev/null 2>&1
python3 - "$out/batch.manifest.jsonl" <<'PY'
import json, os, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
for line in lines:
    line.pop("seconds", None)
    for key in ("input", "output"):
        line[key] = os.path.basename(line[key])
open(sys.argv[1], "w").write("".join(json.dumps(line, sort_keys=True) + "\n" for line in sorted(lines, key=str)))
PY
for file in "$out"/batch/*; do mv "$file" "$out/batch.$(basename "$file")"; done
rmdir "$out/batch"
# The sample writes into a folder of its own; its files are copied over.
folder=$("$tool" "${extra[@]}" | sed -n 's/.*The files are in \(.*\):$/\1/p')
for file in walk.bvh other_rig.bvh walk_on_other_rig.bvh; do cp "$folder/$file" "$out/sample.$file"; done
rm -rf "$folder"
