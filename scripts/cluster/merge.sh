#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Merges the shard files of a study in a folder (study_merge): prints the table, writes
# <folder>/merged.mat and <folder>/<study>.png. Exits 1 (naming them) when shards are
# missing, unless --partial is given.
#   merge.sh --out FOLDER [--study NAME] [--mex DIR] [--partial]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common_cluster.sh"
study=detection_study out="" mex="" extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="$2"; shift 2 ;;
    --study) study="$2"; shift 2 ;;
    --mex) mex="$2"; shift 2 ;;
    --partial) extra+=(partial=true); shift ;;
    *) echo "merge.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$out" ] || { echo "usage: merge.sh --out FOLDER [--study NAME] [--mex DIR] [--partial]" >&2; exit 2; }
mex="$(latbox_mex_dir "$mex")"
latbox_octave_study "$mex" merge "$study" "$out" "${extra[@]}"
