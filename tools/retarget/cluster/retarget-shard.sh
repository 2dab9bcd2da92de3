#!/usr/bin/env bash
# One shard of a norvo-retarget batch per task of a scheduler's job array:
# task I of N retargets the clips at places I, I + N, ... of the batch's
# sorted list, writes into the shared OUTFOLDER and keeps its own manifest
# there (manifest-I.jsonl), so that a task that is run again (preempted, a
# node lost) goes on where it stopped.
set -euo pipefail

usage() {
  cat <<'TEXT'
Usage: retarget-shard.sh FOLDER TARGET OUTFOLDER [norvo-retarget options...]

Runs shard I of N of `norvo-retarget --batch FOLDER --target TARGET -o OUTFOLDER`
with --shard I/N --manifest OUTFOLDER/manifest-I.jsonl --resume, and the
options given (e.g. --recursive, --frames 0:100, --report report.json).

The task comes from the scheduler (0-based I):
  TASK_INDEX, TASK_COUNT            set by hand; they take precedence
  SLURM_ARRAY_TASK_ID               Slurm: sbatch --array=0-9 (any range and step;
                                    N is SLURM_ARRAY_TASK_COUNT)
  SGE_TASK_ID                       Grid Engine: qsub -t 1-10 (N from SGE_TASK_FIRST,
                                    SGE_TASK_LAST, SGE_TASK_STEPSIZE)
  PBS_ARRAY_INDEX or PBS_ARRAYID    PBS Pro (qsub -J 0-9) or Torque (qsub -t 0-9);
                                    give N as TASK_COUNT
The tool: NORVO_RETARGET, else norvo-retarget on the PATH. Workers: JOBS,
else SLURM_CPUS_PER_TASK or NSLOTS when set, unless the options give -j.

Example (Slurm, ten tasks):
  sbatch --array=0-9 --cpus-per-task=8 retarget-shard.sh clips rig.vrm out --recursive
The shards may share OUTFOLDER; together they write what one batch writes.
TEXT
}

fail() {
  echo "retarget-shard.sh: $*" >&2
  exit 1
}

if [[ $# -ge 1 && ( $1 == -h || $1 == --help ) ]]; then
  usage
  exit 0
fi
if [[ $# -lt 3 ]]; then
  usage >&2
  exit 1
fi
folder=$1 target=$2 out=$3
shift 3

# A whole number, or nothing.
number() { [[ $1 =~ ^[0-9]+$ ]] && echo $((10#$1)); }

index="" count=""
if [[ -n ${TASK_INDEX:-} ]]; then
  index=$(number "$TASK_INDEX") || fail "TASK_INDEX is not a number: '$TASK_INDEX'"
elif [[ -n ${SLURM_ARRAY_TASK_ID:-} ]]; then
  id=$(number "$SLURM_ARRAY_TASK_ID") || fail "SLURM_ARRAY_TASK_ID is not a number"
  first=$(number "${SLURM_ARRAY_TASK_MIN:-0}") || first=0
  step=$(number "${SLURM_ARRAY_TASK_STEP:-1}") || step=1
  index=$(((id - first) / (step > 0 ? step : 1)))
  count=${SLURM_ARRAY_TASK_COUNT:-}
elif [[ -n ${SGE_TASK_ID:-} && ${SGE_TASK_ID} != undefined ]]; then
  id=$(number "$SGE_TASK_ID") || fail "SGE_TASK_ID is not a number"
  first=$(number "${SGE_TASK_FIRST:-1}") || first=1
  last=$(number "${SGE_TASK_LAST:-$id}") || last=$id
  step=$(number "${SGE_TASK_STEPSIZE:-1}") || step=1
  ((step > 0)) || step=1
  index=$(((id - first) / step))
  count=$(((last - first) / step + 1))
elif [[ -n ${PBS_ARRAY_INDEX:-${PBS_ARRAYID:-}} ]]; then
  index=$(number "${PBS_ARRAY_INDEX:-${PBS_ARRAYID:-}}") || fail "the PBS array index is not a number"
fi
[[ -n ${TASK_COUNT:-} ]] && { count=$(number "$TASK_COUNT") || fail "TASK_COUNT is not a number: '$TASK_COUNT'"; }
[[ -n $index ]] || fail "no task index: run as a job array task, or set TASK_INDEX and TASK_COUNT"
[[ -n $count ]] || fail "no task count: set TASK_COUNT"
((index < count)) || fail "task $index is not below the task count $count"

tool=${NORVO_RETARGET:-}
if [[ -z $tool ]]; then
  tool=$(command -v norvo-retarget) || fail "norvo-retarget is not on the PATH: set NORVO_RETARGET"
fi

jobs=()
given_jobs=no
for option in "$@"; do
  case $option in -j | -j* | --jobs | --jobs=*) given_jobs=yes ;; esac
done
workers=${JOBS:-${SLURM_CPUS_PER_TASK:-${NSLOTS:-}}}
if [[ $given_jobs == no && -n $workers ]]; then
  jobs=(--jobs "$workers")
fi

mkdir -p -- "$out"
exec "$tool" --batch "$folder" --target "$target" -o "$out" --shard "$index/$count" \
  --manifest "$out/manifest-$index.jsonl" --resume "${jobs[@]}" "$@"
