#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# A real Slurm cluster of one node, of its own: munged, slurmctld and slurmd on 127.0.0.1
# with every file in a temporary folder and free ports, stopped at the end (also on
# failure). The study goes in as an array of 4 shards with the merge as a dependent job
# (scripts/cluster/submit.sh); the merged result must equal the same 4 shards run one
# after another in one process. Then one shard of a second submission is cancelled with
# scancel while it runs: the merge names it missing; the shard resubmitted alone, the
# merge completes with the same counts. When Slurm cannot start here the test says why
# and fails.
#   tests/cluster/slurm_test.sh <folder with the MEX files>
set -euo pipefail
mex="$(cd "${1:?usage: slurm_test.sh <folder with the MEX files>}" && pwd)"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cluster="$root/scripts/cluster"
# the study: 3 SNRs, budgets that make a shard last a second or two on one core
study_args=('snr_db=[10 20 30]' trials=16000 error_channels=1200 seed=7)

fail() { echo "FAIL: $*"; exit 1; }

command -v octave-cli > /dev/null || fail "octave-cli is not installed"

work="$(mktemp -d /tmp/latbox-slurm.XXXXXX)"
passed=0
source "$root/tests/cluster/slurm_node.sh"
cleanup() {
  slurm_node_stop "$work"
  if [ "$passed" != 1 ]; then
    for log in "$work"/log/*.log; do
      [ -e "$log" ] && { echo "--- $log (last lines)"; tail -n 15 "$log"; }
    done
    for log in "$work"/run*/logs/*.out; do
      [ -e "$log" ] && { echo "--- $log"; tail -n 8 "$log"; }
    done
  fi
  rm -rf "$work"
}
trap cleanup EXIT
slurm_node_start "$work" || fail "no Slurm cluster (the reason is on the line above)"

submit() {  # submit <folder> [submit.sh options]: sets shard_job and merge_job
  local out="$1" lines
  shift
  lines="$(bash "$cluster/submit.sh" --shards 4 --out "$out" --mex "$mex" "$@" "${study_args[@]}")" ||
    fail "submit.sh failed: $lines"
  shard_job="$(sed -n 's/^shards //p' <<< "$lines")"
  merge_job="$(sed -n 's/^merge //p' <<< "$lines")"
  [ -n "$shard_job" ] && [ -n "$merge_job" ] || fail "submit.sh printed no job ids: $lines"
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# 1. four shards and the dependent merge
t0="$(now_ms)"
submit "$work/run1"
state="$(slurm_wait_ended "$merge_job" 90)"
cluster_ms=$(($(now_ms) - t0))
[ "$state" = COMPLETED ] || fail "the merge job $merge_job ended $state"
[ -e "$work/run1/merged.mat" ] || fail "the merge wrote no merged.mat"
echo "slurm: 4 shards and the merge done in $((cluster_ms / 1000)).$((cluster_ms % 1000 / 100)) s"

# the same four shards one after another in one process
t0="$(now_ms)"
LATBOX_NUM_THREADS=1 octave-cli --no-gui --norc --quiet -p "$mex" -p "$root/demo" --eval "
for i = 1:4
  study_command('shard', 'detection_study', '$work/serial', num2str(i), '4', ...
                '${study_args[0]}', '${study_args[1]}', '${study_args[2]}', ...
                '${study_args[3]}', 'quiet=true');
end" > "$work/log/serial.out" 2>&1 || fail "the serial run failed: $(tail -n 5 "$work/log/serial.out")"
serial_ms=$(($(now_ms) - t0))
echo "serial: the same 4 shards in one process in $((serial_ms / 1000)).$((serial_ms % 1000 / 100)) s"

compare() {  # compare <merged folder>: its merged.mat against the serial shards added
  octave-cli --no-gui --norc --quiet -p "$mex" -p "$root/demo" --eval "
serial = study_merge('$work/serial', 'png', '', 'quiet', true);
m = load('$1/merged.mat'); m = m.study_result;
for f = {'errors', 'error_channels', 'vectors', 'ml_worse', 'box_passes_cold', ...
         'box_passes_warm', 'box_capped', 'box_failed', 'shard', 'shard_count'}
  if ~isequal(m.(f{1}), serial.(f{1}))
    error('merged %s differ from the serial run''s', f{1});
  end
end
printf('merged counts = serial counts (%d vectors)\n', sum(m.vectors(:)));" 2>&1 |
    grep -v "ignoring const execution_exception"
  return "${PIPESTATUS[0]}"
}
compare "$work/run1" || fail "the merged result of the cluster is not that of the serial run"

# 2. a second submission; shard 3 is cancelled while it runs
submit "$work/run2"
for _ in $(seq 1 300); do
  s="$(slurm_job_state "${shard_job}_3")"
  [ "$s" = RUNNING ] && break
  case "$s" in COMPLETED | FAILED | CANCELLED) break ;; esac
  sleep 0.1
done
[ "$s" = RUNNING ] || fail "shard 3 did not run (state ${s:-unknown})"
scancel "${shard_job}_3"
state="$(slurm_wait_ended "$merge_job" 90)"
[ "$(slurm_job_state "${shard_job}_3")" = CANCELLED ] ||
  fail "shard 3 ended $(slurm_job_state "${shard_job}_3") before it was cancelled"
[ "$state" = FAILED ] || fail "the merge after a cancelled shard ended $state, not FAILED"
[ ! -e "$work/run2/detection_study_shard_3_of_4.mat" ] || fail "the cancelled shard left its file"
grep -q "1 of 4 shards missing: 3 " "$work/run2/logs/merge_job_$merge_job.out" ||
  fail "the merge did not name shard 3 missing: $(cat "$work/run2/logs/merge_job_$merge_job.out")"
echo "slurm: shard 3 cancelled; the merge says: $(grep -o '1 of 4 shards missing: 3' \
  "$work/run2/logs/merge_job_$merge_job.out")"

# the shard resubmitted alone, and the merge after it
submit "$work/run2" --array 3
state="$(slurm_wait_ended "$merge_job" 90)"
[ "$state" = COMPLETED ] || fail "the merge after resubmitting shard 3 ended $state"
compare "$work/run2" || fail "the merge after the rerun is not the serial run"
passed=1
echo "PASS slurm (cluster path $((cluster_ms / 1000)).$((cluster_ms % 1000 / 100)) s," \
  "one process $((serial_ms / 1000)).$((serial_ms % 1000 / 100)) s)"
