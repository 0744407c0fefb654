#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# What a study's shard costs, and the overhead of running shards as local processes and
# on Slurm (a single-node cluster of 2 CPUs started here, tests/cluster/slurm_node.sh)
# against running the same shards one after another in one process. Prints a markdown
# section. Each shard runs on one thread (LATBOX_NUM_THREADS=1).
#   bench/cluster/bench_shards.sh <folder with the MEX files>
set -euo pipefail
mex="$(cd "${1:?usage: bench_shards.sh <folder with the MEX files>}" && pwd)"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cluster="$root/scripts/cluster"
export LATBOX_NUM_THREADS=1
work="$(mktemp -d /tmp/latbox-bench-shards.XXXXXX)"
source "$root/tests/cluster/slurm_node.sh"
trap 'slurm_node_stop "$work"; rm -rf "$work"' EXIT
shards=4
study=(seed=1)                                 # each shard: the demo's study as it is
tiny=('snr_db=0' trials=1 seed=1)              # a shard that does almost nothing

now_ms() { echo $(($(date +%s%N) / 1000000)); }
seconds() { printf '%d.%02d' $(($1 / 1000)) $(($1 % 1000 / 10)); }

one_process() {  # one_process <folder> <options...>: the shards one after another, ms
  local out="$1" t0 list
  shift
  list="$(printf "'%s', " "$@")"
  t0="$(now_ms)"
  octave-cli --no-gui --norc --quiet -p "$mex" -p "$root/demo" --eval "
for i = 1:$shards
  study_command('shard', 'detection_study', '$out', num2str(i), '$shards', ${list} 'quiet=true');
end
study_command('merge', 'detection_study', '$out', 'png=', 'quiet=1');" > "$out.log" 2>&1
  echo $(($(now_ms) - t0))
}

local_processes() {  # local_processes <folder> <options...>: ms
  local out="$1" t0
  shift
  t0="$(now_ms)"
  bash "$cluster/run_local.sh" --shards "$shards" --jobs 2 --out "$out" --mex "$mex" "$@" \
    > "$out.log" 2>&1
  echo $(($(now_ms) - t0))
}

slurm_path() {  # slurm_path <folder> <options...>: submit to merge done, ms
  local out="$1" t0 lines merge state
  shift
  t0="$(now_ms)"
  lines="$(bash "$cluster/submit.sh" --shards "$shards" --out "$out" --mex "$mex" "$@")"
  merge="$(sed -n 's/^merge //p' <<< "$lines")"
  state="$(slurm_wait_ended "$merge" 300)"
  [ "$state" = COMPLETED ] || { echo "the merge job ended $state" >&2; return 1; }
  echo $(($(now_ms) - t0))
}

shard_times() {  # the shards' own wall times (in the study), min / median / max
  octave-cli --no-gui --norc --quiet --eval "
t = zeros(1, $shards);
for i = 1:$shards
  s = load(sprintf('%s/detection_study_shard_%d_of_%d.mat', '$1', i, $shards));
  t(i) = s.study_shard.timings.wall_seconds;
end
t = sort(t);
printf('%.2f / %.2f / %.2f', t(1), median(t), t(end));" 2> /dev/null
}

slurm_node_start "$work/slurm" > /dev/null || exit 1
echo "$shards shards of detection_study with the demo's options (8x8 4-PAM, SNR 0:4:40 dB, per"
echo "SNR and shard errors on 100 channels or 32768 channels), one thread each; the cluster"
echo "paths run 2 shards at a time on the 2 CPUs (Slurm: a single-node cluster on this"
echo "machine). Wall times from the start (or the submission) to the merged result."
echo
echo "| path | study shards | tiny shards (fixed cost) |"
echo "|---|---|---|"
serial=$(one_process "$work/serial" "${study[@]}")
serial_tiny=$(one_process "$work/serial_tiny" "${tiny[@]}")
echo "| one process, shards one after another | $(seconds "$serial") s | $(seconds "$serial_tiny") s |"
local_ms=$(local_processes "$work/local" "${study[@]}")
local_tiny=$(local_processes "$work/local_tiny" "${tiny[@]}")
echo "| local processes (run_local.sh, 2 at a time) | $(seconds "$local_ms") s | $(seconds "$local_tiny") s |"
slurm_ms=$(slurm_path "$work/slurm_run" "${study[@]}")
slurm_tiny=$(slurm_path "$work/slurm_tiny" "${tiny[@]}")
echo "| Slurm (submit.sh: array + dependent merge) | $(seconds "$slurm_ms") s | $(seconds "$slurm_tiny") s |"
echo
echo "Each shard's own wall time in the study (min / median / max): one process"
echo "$(shard_times "$work/serial") s, local processes $(shard_times "$work/local") s,"
echo "Slurm $(shard_times "$work/slurm_run") s."
ideal=$((serial / 2))
echo "Against the ideal of half the one-process time on 2 CPUs ($(seconds "$ideal") s): local"
echo "processes $(seconds $((local_ms - ideal))) s more, Slurm $(seconds $((slurm_ms - ideal))) s more"
echo "(the tiny shards: the cost of starting Octave per shard, the merge, and Slurm's scheduling)."
