#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Submits a study to Slurm: an array job of its shards (study.sbatch) and the merge as a
# job that runs when every shard has ended, however it ended (merge.sbatch,
# --dependency=afterany). The merge fails, naming them, when shards are missing; the
# same command with --array LIST then reruns just those shards and merges again.
#   submit.sh --shards N --out FOLDER [--array LIST] [--study NAME] [--mex DIR]
#             [--sbatch "OPTIONS"] [name=value ...]
# LIST is sbatch's (default 1-N; e.g. 3 or 2,5). OPTIONS go to both sbatch calls
# (e.g. "--partition=short --time=1:00:00"). Prints "shards <job id>" and
# "merge <job id>". The logs go to FOLDER/logs/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common_cluster.sh"
study=detection_study shards="" out="" mex="" array="" sbatch_options="${LATBOX_SBATCH_OPTIONS:-}"
while [ $# -gt 0 ]; do
  case "$1" in
    --shards) shards="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --array) array="$2"; shift 2 ;;
    --study) study="$2"; shift 2 ;;
    --mex) mex="$2"; shift 2 ;;
    --sbatch) sbatch_options="$2"; shift 2 ;;
    --*) echo "submit.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ -z "$shards" ] || [ -z "$out" ]; then
  echo "usage: submit.sh --shards N --out FOLDER [--array LIST] [--study NAME] [--mex DIR]" \
    "[--sbatch \"OPTIONS\"] [name=value ...]" >&2
  exit 2
fi
mex="$(latbox_mex_dir "$mex")"
latbox_expand_list "${array:-1-$shards}" > /dev/null
mkdir -p "$out/logs"
out="$(cd "$out" && pwd)"
here="$LATBOX_ROOT/scripts/cluster"
# shellcheck disable=SC2086 # the options are words
shard_job=$(sbatch --parsable $sbatch_options --array="${array:-1-$shards}" \
  --output="$out/logs/shard_%a_job_%A.out" --export="ALL,LATBOX_ROOT=$LATBOX_ROOT" \
  "$here/study.sbatch" --shards "$shards" --out "$out" --study "$study" --mex "$mex" "$@")
shard_job="${shard_job%%;*}"
# shellcheck disable=SC2086
merge_job=$(sbatch --parsable $sbatch_options --dependency="afterany:$shard_job" \
  --output="$out/logs/merge_job_%j.out" --export="ALL,LATBOX_ROOT=$LATBOX_ROOT" \
  "$here/merge.sbatch" --out "$out" --study "$study" --mex "$mex")
merge_job="${merge_job%%;*}"
echo "shards $shard_job"
echo "merge $merge_job"
