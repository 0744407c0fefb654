#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Ctrl-C at the prompt during a long batch call: the call ends with "interrupted", the
# session goes on (the next command runs), and Octave exits normally. The call is a search
# far too long to finish (60 levels, no radius) on a tiny output, so that the signal lands
# inside it (not between calls or in Octave's handling of an output) however fast the
# machine; the search asks about Ctrl-C every million nodes or so.
#   tests/octave/interrupt_test.sh <folder with the MEX files>
set -euo pipefail
mexdir="$1"
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cat > "$work/commands.m" <<EOC
addpath('$mexdir');
randn('seed', 1); n = 60; R = triu(randn(n)) + eye(n); Y = 100 * randn(n, 2);
disp('ready'); fflush(stdout);
[S, info] = plinden_batch(Y, R, Inf, -1e6, 1e6); disp('not interrupted');
disp('still here'); fflush(stdout);
S = zarrow_batch(randn(n, 10), R); disp(size(S))
exit(0)
EOC
octave-cli --no-gui --norc --quiet --interactive --no-line-editing < "$work/commands.m" \
  > "$work/out" 2>&1 &
pid=$!
for _ in $(seq 1 240); do
  grep -q ready "$work/out" && break
  sleep 0.25
done
sleep 0.5
kill -INT "$pid"
for _ in $(seq 1 120); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.25
done
status=0
wait "$pid" || status=$?
cat "$work/out"
grep -q "plinden_batch: interrupted" "$work/out" || { echo "FAIL: no interrupted error"; exit 1; }
grep -q "still here" "$work/out" || { echo "FAIL: the session did not go on"; exit 1; }
grep -q "60   10" "$work/out" || { echo "FAIL: the next call did not run"; exit 1; }
if grep -q "not interrupted" "$work/out"; then echo "FAIL: the call ran to its end"; exit 1; fi
[ "$status" -eq 0 ] || { echo "FAIL: octave exited with $status"; exit 1; }
echo "PASS interrupt"
