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

for cmd in munged munge slurmctld slurmd sbatch squeue scontrol scancel sinfo octave-cli; do
  command -v "$cmd" > /dev/null ||
    fail "Slurm cannot start here: $cmd is not installed (Debian packages slurm-wlm and munge;" \
      "scripts/test.sh installs them)"
done

work="$(mktemp -d /tmp/latbox-slurm.XXXXXX)"
pids=()
passed=0
cleanup() {
  if [ -n "${SLURM_CONF:-}" ] && [ -e "$work/slurmctld.started" ]; then
    scancel --user="$(id -un)" 2> /dev/null || true   # only this cluster's jobs
    for _ in $(seq 1 50); do
      [ -z "$(squeue -h -o %i 2> /dev/null)" ] && break
      sleep 0.2
    done
  fi
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2> /dev/null || true; done
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
mkdir -p "$work/munge" "$work/state" "$work/spool" "$work/log"

port_in_use() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }
free_port() {  # a port above $1 that nothing listens on
  local p="$1"
  while port_in_use "$p" || [ "$p" = "${2:-}" ]; do p=$((p + 1)); done
  echo "$p"
}
base=$((21000 + ($$ % 20000)))
ctld_port="$(free_port "$base")"
slurmd_port="$(free_port $((ctld_port + 1)) "$ctld_port")"

# munge: a key of its own, its socket in the temporary folder
dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 status=none
chmod 600 "$work/munge/key"
munged --foreground --force --socket="$work/munge/socket" --key-file="$work/munge/key" \
  --pid-file="$work/munge/pid" --seed-file="$work/munge/seed" \
  --log-file="$work/log/munged.log" > "$work/log/munged.out" 2>&1 &
pids+=($!)
for _ in $(seq 1 50); do [ -S "$work/munge/socket" ] && break; sleep 0.1; done
munge -n -S "$work/munge/socket" | unmunge -S "$work/munge/socket" > /dev/null 2>&1 ||
  fail "Slurm cannot start here: munged did not come up ($(tail -n 3 "$work/log/munged.out"))"

# a minimal single-node configuration: no cgroups, no accounting, state in the folder
cat > "$work/slurm.conf" << EOF
ClusterName=latboxtest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
SlurmUser=$(id -un)
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/socket
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/builtin
ReturnToService=2
MinJobAge=600
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/log/slurmctld.log
SlurmdLogFile=$work/log/slurmd.log
NodeName=localhost NodeAddr=127.0.0.1 CPUs=2 RealMemory=1000 State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$work/slurm.conf"
touch "$work/slurmctld.started"
slurmctld -D -c -f "$SLURM_CONF" > "$work/log/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -N localhost -f "$SLURM_CONF" > "$work/log/slurmd.out" 2>&1 &
pids+=($!)
state=""
for _ in $(seq 1 100); do
  state="$(sinfo -h -o %T 2> /dev/null || true)"
  [ "$state" = idle ] && break
  sleep 0.2
done
[ "$state" = idle ] ||
  fail "Slurm cannot start here: the node is '${state:-not reachable}' after 20 s" \
    "(slurmctld: $(tail -n 2 "$work/log/slurmctld.out" | tr '\n' ' ')," \
    "slurmd: $(tail -n 2 "$work/log/slurmd.out" | tr '\n' ' '))"
echo "slurm: slurmctld on 127.0.0.1:$ctld_port, slurmd on :$slurmd_port, node idle"

job_state() { scontrol show job "$1" -o 2> /dev/null | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p' | head -n 1; }
wait_ended() {  # wait_ended <job id> <seconds>: the job's final state
  local s
  for _ in $(seq 1 $(($2 * 5))); do
    s="$(job_state "$1")"
    case "$s" in
      COMPLETED | FAILED | CANCELLED | TIMEOUT | NODE_FAIL | OUT_OF_MEMORY | BOOT_FAIL | DEADLINE)
        echo "$s"; return 0 ;;
    esac
    sleep 0.2
  done
  echo "still ${s:-unknown} after $2 s"
}
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
state="$(wait_ended "$merge_job" 90)"
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
  s="$(job_state "${shard_job}_3")"
  [ "$s" = RUNNING ] && break
  case "$s" in COMPLETED | FAILED | CANCELLED) break ;; esac
  sleep 0.1
done
[ "$s" = RUNNING ] || fail "shard 3 did not run (state ${s:-unknown})"
scancel "${shard_job}_3"
state="$(wait_ended "$merge_job" 90)"
[ "$(job_state "${shard_job}_3")" = CANCELLED ] ||
  fail "shard 3 ended $(job_state "${shard_job}_3") before it was cancelled"
[ "$state" = FAILED ] || fail "the merge after a cancelled shard ended $state, not FAILED"
[ ! -e "$work/run2/detection_study_shard_3_of_4.mat" ] || fail "the cancelled shard left its file"
grep -q "1 of 4 shards missing: 3 " "$work/run2/logs/merge_job_$merge_job.out" ||
  fail "the merge did not name shard 3 missing: $(cat "$work/run2/logs/merge_job_$merge_job.out")"
echo "slurm: shard 3 cancelled; the merge says: $(grep -o '1 of 4 shards missing: 3' \
  "$work/run2/logs/merge_job_$merge_job.out")"

# the shard resubmitted alone, and the merge after it
submit "$work/run2" --array 3
state="$(wait_ended "$merge_job" 90)"
[ "$state" = COMPLETED ] || fail "the merge after resubmitting shard 3 ended $state"
compare "$work/run2" || fail "the merge after the rerun is not the serial run"
passed=1
echo "PASS slurm (cluster path $((cluster_ms / 1000)).$((cluster_ms % 1000 / 100)) s," \
  "one process $((serial_ms / 1000)).$((serial_ms % 1000 / 100)) s)"
