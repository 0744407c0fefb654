#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs a study's shards as separate octave-cli processes on this machine, at most J at a
# time, then merges them (merge.sh). A shard that fails is reported and loses only its
# own work; the same command with --array LIST reruns just those shards.
#   run_local.sh --shards N --out FOLDER [--jobs J] [--array LIST] [--study NAME]
#                [--mex DIR] [name=value ...]
# J defaults to the number of CPUs; each shard runs with LATBOX_NUM_THREADS=1 unless it is
# set. The shards' logs go to FOLDER/logs/shard_I.out. Exits 1 when a shard failed or the
# merge found shards missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common_cluster.sh"
study=detection_study shards="" out="" mex="" array="" jobs="$(nproc)"
while [ $# -gt 0 ]; do
  case "$1" in
    --shards) shards="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --array) array="$2"; shift 2 ;;
    --study) study="$2"; shift 2 ;;
    --mex) mex="$2"; shift 2 ;;
    --*) echo "run_local.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ -z "$shards" ] || [ -z "$out" ]; then
  echo "usage: run_local.sh --shards N --out FOLDER [--jobs J] [--array LIST]" \
    "[--study NAME] [--mex DIR] [name=value ...]" >&2
  exit 2
fi
mex="$(latbox_mex_dir "$mex")"
export LATBOX_NUM_THREADS="${LATBOX_NUM_THREADS:-1}"
mapfile -t list < <(latbox_expand_list "${array:-1-$shards}")
mkdir -p "$out/logs"
declare -A pid_of=()
failed=()
finish_one() {  # waits for any shard and records a failure
  local done_pid status=0 i
  wait -n -p done_pid || status=$?
  for i in "${!pid_of[@]}"; do
    if [ "${pid_of[$i]}" = "$done_pid" ]; then
      unset "pid_of[$i]"
      if [ "$status" -ne 0 ]; then
        failed+=("$i")
        echo "shard $i failed (status $status; log: $out/logs/shard_$i.out)"
      fi
    fi
  done
}
start=$(date +%s%N)
for i in "${list[@]}"; do
  while [ "${#pid_of[@]}" -ge "$jobs" ]; do finish_one; done
  bash "$LATBOX_ROOT/scripts/cluster/run_shard.sh" --shards "$shards" --shard "$i" \
    --out "$out" --study "$study" --mex "$mex" "$@" > "$out/logs/shard_$i.out" 2>&1 &
  pid_of[$i]=$!
done
while [ "${#pid_of[@]}" -gt 0 ]; do finish_one; done
ms=$((($(date +%s%N) - start) / 1000000))
printf 'shards %s ran in %d.%03d s (%d at a time)\n' "${array:-1-$shards}" \
  $((ms / 1000)) $((ms % 1000)) "$jobs"
status=0
bash "$LATBOX_ROOT/scripts/cluster/merge.sh" --out "$out" --study "$study" --mex "$mex" || status=$?
if [ "${#failed[@]}" -gt 0 ]; then
  mapfile -t failed < <(printf '%s\n' "${failed[@]}" | sort -n)
  echo "failed shards: ${failed[*]} (rerun them with --array $(IFS=,; echo "${failed[*]}"))"
  exit 1
fi
exit "$status"
