#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Ctrl-C at the prompt during a long conv_decode call: the call ends with "interrupted", the
# session goes on (the next command runs), and Octave exits normally. The call decodes 60
# frames of 200,000 bits on the log-domain path (a known bit in each frame keeps it off the
# faster one), far longer than the half second before the signal; the decoder asks about
# Ctrl-C every 4,096 steps.
#   tests/octave/interrupt_conv_test.sh <folder with the MEX files>
set -euo pipefail
mexdir="$1"
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
cat > "$work/commands.m" <<EOC
addpath('$mexdir');
code = conv_code(7, [133 171]); L = ones(2 * 200006, 60); L(1, :) = Inf;
disp('ready'); fflush(stdout);
Lu = conv_decode(L, code); disp('not interrupted');
disp('still here'); fflush(stdout);
Lu = conv_decode(ones(20, 3), code); disp(size(Lu))
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
grep -q "conv_decode: interrupted" "$work/out" || { echo "FAIL: no interrupted error"; exit 1; }
grep -q "still here" "$work/out" || { echo "FAIL: the session did not go on"; exit 1; }
grep -q "4   3" "$work/out" || { echo "FAIL: the next call did not run"; exit 1; }
if grep -q "not interrupted" "$work/out"; then echo "FAIL: the call ran to its end"; exit 1; fi
[ "$status" -eq 0 ] || { echo "FAIL: octave exited with $status"; exit 1; }
echo "PASS interrupt"
