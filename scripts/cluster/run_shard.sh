#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs one shard of a study in octave-cli and writes it to <folder>/<study>_shard_I_of_N.mat
# (written under a temporary name and renamed: a killed shard leaves no shard file).
#   run_shard.sh --shards N --out FOLDER [--shard I] [--study NAME] [--mex DIR] [name=value ...]
# The shard index I defaults to SLURM_ARRAY_TASK_ID (one task of a Slurm array); N is
# always given, since a resubmitted part of an array has other task counts. name=value
# are the study's options (snr_db=0:5:30 trials=2000 modulation=qam). The study's
# threads: LATBOX_NUM_THREADS, else SLURM_CPUS_PER_TASK when set.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common_cluster.sh"
study=detection_study shard="${SLURM_ARRAY_TASK_ID:-}" shards="" out="" mex=""
while [ $# -gt 0 ]; do
  case "$1" in
    --shards) shards="$2"; shift 2 ;;
    --shard) shard="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --study) study="$2"; shift 2 ;;
    --mex) mex="$2"; shift 2 ;;
    --*) echo "run_shard.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ -z "$shards" ] || [ -z "$out" ] || [ -z "$shard" ]; then
  echo "usage: run_shard.sh --shards N --out FOLDER [--shard I (else SLURM_ARRAY_TASK_ID)]" \
    "[--study NAME] [--mex DIR] [name=value ...]" >&2
  exit 2
fi
mex="$(latbox_mex_dir "$mex")"
if [ -z "${LATBOX_NUM_THREADS:-}" ] && [ -n "${SLURM_CPUS_PER_TASK:-}" ]; then
  export LATBOX_NUM_THREADS="$SLURM_CPUS_PER_TASK"
fi
mkdir -p "$out"
echo "shard $shard of $shards of $study on $(hostname) (pid $$), $(date -u +%FT%TZ)"
latbox_octave_study "$mex" shard "$study" "$out" "$shard" "$shards" "$@"
