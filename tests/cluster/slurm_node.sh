# SPDX-License-Identifier: BSD-3-Clause
# A Slurm cluster of one node on 127.0.0.1 for tests and benchmarks (sourced): munged with
# a key and socket of its own, slurmctld and slurmd in the foreground, every file in one
# folder, ports nothing else listens on. No cgroups (proctrack/linuxproc, task/none), no
# accounting; the node has 2 CPUs whatever the machine has (config_overrides).
#   slurm_node_start <folder>   starts it and exports SLURM_CONF; on failure prints why
#                               on stderr and returns 1 (what it started stays recorded)
#   slurm_node_stop <folder>    cancels this cluster's jobs, stops the daemons it started
#   slurm_job_state <job id>    the job's state (COMPLETED, RUNNING, ...)
#   slurm_wait_ended <job id> <seconds>   waits for the job to end; prints its final state
slurm_node_pids=()

slurm_node_why() { echo "Slurm cannot start here: $*"; return 1; }

slurm_port_in_use() { (exec 3<> "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }

slurm_free_port() {  # a port from $1 up that nothing listens on, other than $2
  local p="$1"
  while slurm_port_in_use "$p" || [ "$p" = "${2:-}" ]; do p=$((p + 1)); done
  echo "$p"
}

slurm_node_start() {
  local work="$1" cmd state ctld_port slurmd_port
  for cmd in munged munge unmunge slurmctld slurmd sbatch squeue scontrol scancel sinfo; do
    command -v "$cmd" > /dev/null ||
      slurm_node_why "$cmd is not installed (Debian packages slurm-wlm and munge; scripts/test.sh installs them)" ||
      return 1
  done
  [ "$(id -u)" -eq 0 ] ||
    slurm_node_why "slurmd runs jobs as their users and must be root (this is $(id -un))" ||
    return 1
  mkdir -p "$work/munge" "$work/state" "$work/spool" "$work/log"
  ctld_port="$(slurm_free_port $((21000 + ($$ % 20000))))"
  slurmd_port="$(slurm_free_port $((ctld_port + 1)) "$ctld_port")"

  dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 status=none
  chmod 600 "$work/munge/key"
  munged --foreground --force --socket="$work/munge/socket" --key-file="$work/munge/key" \
    --pid-file="$work/munge/pid" --seed-file="$work/munge/seed" \
    --log-file="$work/log/munged.log" > "$work/log/munged.out" 2>&1 &
  slurm_node_pids+=($!)
  for _ in $(seq 1 50); do [ -S "$work/munge/socket" ] && break; sleep 0.1; done
  munge -n -S "$work/munge/socket" | unmunge -S "$work/munge/socket" > /dev/null 2>&1 ||
    slurm_node_why "munged did not come up: $(tail -n 3 "$work/log/munged.out" | tr '\n' ' ')" ||
    return 1

  cat > "$work/slurm.conf" << EOC
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
EOC
  export SLURM_CONF="$work/slurm.conf"
  slurmctld -D -c -f "$SLURM_CONF" > "$work/log/slurmctld.out" 2>&1 &
  slurm_node_pids+=($!)
  slurmd -D -N localhost -f "$SLURM_CONF" > "$work/log/slurmd.out" 2>&1 &
  slurm_node_pids+=($!)
  state=""
  for _ in $(seq 1 100); do
    state="$(sinfo -h -o %T 2> /dev/null || true)"
    [ "$state" = idle ] && break
    sleep 0.2
  done
  [ "$state" = idle ] ||
    slurm_node_why "the node is '${state:-not reachable}' after 20 s" \
      "(slurmctld: $(tail -n 2 "$work/log/slurmctld.out" | tr '\n' ' ')," \
      "slurmd: $(tail -n 2 "$work/log/slurmd.out" | tr '\n' ' '))" || return 1
  echo "slurm: slurmctld on 127.0.0.1:$ctld_port, slurmd on :$slurmd_port, node idle"
}

slurm_node_stop() {
  local pid
  if [ -n "${SLURM_CONF:-}" ] && [ "${#slurm_node_pids[@]}" -gt 1 ]; then
    scancel --user="$(id -un)" 2> /dev/null || true   # SLURM_CONF: this cluster's jobs only
    for _ in $(seq 1 50); do
      [ -z "$(squeue -h -o %i 2> /dev/null)" ] && break
      sleep 0.2
    done
  fi
  for pid in "${slurm_node_pids[@]}"; do kill "$pid" 2> /dev/null || true; done
  for pid in "${slurm_node_pids[@]}"; do wait "$pid" 2> /dev/null || true; done
  slurm_node_pids=()
}

slurm_job_state() {
  scontrol show job "$1" -o 2> /dev/null | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p' | head -n 1
}

slurm_wait_ended() {
  local s=""
  for _ in $(seq 1 $(($2 * 5))); do
    s="$(slurm_job_state "$1")"
    case "$s" in
      COMPLETED | FAILED | CANCELLED | TIMEOUT | NODE_FAIL | OUT_OF_MEMORY | BOOT_FAIL | DEADLINE)
        echo "$s"; return 0 ;;
    esac
    sleep 0.2
  done
  echo "still ${s:-unknown} after $2 s"
}
