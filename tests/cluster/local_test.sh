#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# A study's shards as separate processes on this machine (scripts/cluster/run_local.sh):
# they merge; a shard killed while it runs leaves no shard file and loses only its own
# work (the merge names it missing); run again alone it writes the same counts and the
# merge completes with the counts of the first run; failing shards are reported.
#   tests/cluster/local_test.sh <folder with the MEX files>
set -euo pipefail
mex="$(cd "${1:?usage: local_test.sh <folder with the MEX files>}" && pwd)"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cluster="$root/scripts/cluster"
args=('snr_db=[10 20 30]' trials=16000 error_channels=1200 seed=3)
# the shard to kill: a budget of minutes, so that it is still running when killed however
# fast the machine (the other shards take well under a second each)
long_args=('snr_db=[10 20 30]' trials=100000000 error_channels=100000000 seed=3)
work="$(mktemp -d /tmp/latbox-local.XXXXXX)"
victim=""
cleanup() {
  [ -n "$victim" ] && kill -9 -- "-$victim" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

bash "$cluster/run_local.sh" --shards 3 --out "$work/a" --mex "$mex" "${args[@]}" \
  > "$work/a.out" 2>&1 || fail "run_local.sh failed: $(tail -n 5 "$work/a.out")"
grep -q "3 of 3 shards merged" "$work/a.out" || fail "no merged table: $(cat "$work/a.out")"
head -n 1 "$work/a.out"

# shard 2 in a folder of its own, killed (with its Octave) while it runs
mkdir -p "$work/b/logs"
setsid bash "$cluster/run_shard.sh" --shards 3 --shard 2 --out "$work/b" --mex "$mex" \
  "${long_args[@]}" > "$work/b/logs/killed.out" 2>&1 &
victim=$!
for _ in $(seq 1 100); do   # run_shard.sh's first line, printed as Octave starts
  grep -q "^shard 2 of 3" "$work/b/logs/killed.out" && break
  sleep 0.05
done
sleep 1
kill -9 -- "-$victim" 2> /dev/null || true
{ wait "$victim" || true; } 2> /dev/null
victim=""
[ ! -e "$work/b/detection_study_shard_2_of_3.mat" ] ||
  fail "the shard finished before it was killed (or a killed shard left its file)"
cp "$work/a/detection_study_shard_1_of_3.mat" "$work/a/detection_study_shard_3_of_3.mat" \
  "$work/b/"
status=0
bash "$cluster/merge.sh" --out "$work/b" --mex "$mex" > "$work/b.out" 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "the merge without shard 2 succeeded"
grep -q "1 of 3 shards missing: 2 " "$work/b.out" || fail "shard 2 not named: $(cat "$work/b.out")"
echo "killed shard 2: the merge says $(grep -o '1 of 3 shards missing: 2' "$work/b.out")"

# shard 2 again, alone: the same counts as in the first run, and the merge completes
bash "$cluster/run_local.sh" --shards 3 --array 2 --out "$work/b" --mex "$mex" "${args[@]}" \
  > "$work/b2.out" 2>&1 || fail "the rerun failed: $(tail -n 5 "$work/b2.out")"
octave-cli --no-gui --norc --quiet --eval "
a = load('$work/a/merged.mat'); b = load('$work/b/merged.mat');
s = load('$work/a/detection_study_shard_2_of_3.mat'); t = load('$work/b/detection_study_shard_2_of_3.mat');
assert(isequal(s.study_shard.counts, t.study_shard.counts), 'the rerun shard has other counts');
for f = {'errors', 'error_channels', 'vectors', 'ml_worse', 'box_passes_cold', 'box_passes_warm'}
  assert(isequal(a.study_result.(f{1}), b.study_result.(f{1})), ['merged ' f{1} ' differ']);
end
printf('rerun of shard 2: the same counts, the same merged result\n');" > "$work/d.out" 2>&1 ||
  fail "the rerun did not give the same counts: $(cat "$work/d.out")"
grep -v "ignoring const execution_exception" "$work/d.out"

# shards that fail are reported, and the run fails
status=0
bash "$cluster/run_local.sh" --shards 2 --out "$work/c" --mex "$mex" no_such_option=1 \
  > "$work/c.out" 2>&1 || status=$?
[ "$status" -ne 0 ] && grep -q "failed shards: 1 2" "$work/c.out" ||
  fail "failing shards not reported: $(cat "$work/c.out")"
echo "PASS local shards"
