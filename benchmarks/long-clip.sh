#!/bin/bash
# The command line with its default options on a long clip: the shared CMU
# walk's frames repeated 30 times (10,320 frames) onto the 75-joint MakeHuman
# skeleton. Prints the time per frame and the peak memory of each of RUNS
# runs (default 5); compare the time per frame with BM_RetargetFrame/75 and
# BM_SolverFloor/75 of retargetbase_benchmarks run just before or after.
#
#   benchmarks/long-clip.sh [BUILD_DIR] [RUNS]     (default build/dev)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
runs=${2:-5}
tool=$build/tools/retarget/norvo-retarget
data=$root/../shared/data/bvh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The walk's hierarchy, then its frame lines 30 times under a new count.
awk -v times=30 '
  /^MOTION/ { motion = 1; print; next }
  !motion { print; next }
  /^Frames:/ { frames = $2; next }
  /^Frame Time:/ { time = $0; next }
  { lines[++n] = $0 }
  END {
    print "Frames: " frames * times
    print time
    for (t = 0; t < times; ++t) for (i = 1; i <= n; ++i) print lines[i]
  }' "$data/cmu_02_01_walk.bvh" > "$work/long_walk.bvh"
frames=$(awk '/^Frames:/ { print $2 }' "$work/long_walk.bvh")

for ((run = 1; run <= runs; ++run)); do
  if [ -x /usr/bin/time ]; then
    /usr/bin/time -f "%e %M" -o "$work/time" "$tool" "$work/long_walk.bvh" \
      --target "$data/makehuman_zombie_walk.bvh" -o "$work/out.bvh" > /dev/null
    read -r seconds kilobytes < "$work/time"
  else
    TIMEFORMAT=%R
    { time "$tool" "$work/long_walk.bvh" --target "$data/makehuman_zombie_walk.bvh" -o "$work/out.bvh" \
      > /dev/null; } 2> "$work/time"
    seconds=$(cat "$work/time")
    kilobytes="?"
  fi
  awk -v s="$seconds" -v f="$frames" -v k="$kilobytes" \
    'BEGIN { printf "run: %.3f s for %d frames, %.1f microseconds a frame, peak memory %s KiB\n", s, f, s / f * 1e6, k }'
done
