#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# The soft-output benchmark alone (bench/run_all.sh runs it with the others):
#   bench/soft/run.sh [build-dir] [bench_soft options, e.g. --quick]   (default: build-bench)
# Builds what it needs (IT++ from libitpp-dev must be installed), then prints the C++ tables
# (IT++ and the hard search) and the Octave tables (threads; IT++'s complex demodulator
# against plinden_llr, and mimo_detect when it is built). Exits 1 when a part did not
# run through.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-bench}
[ $# -gt 0 ] && shift
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLATBOX_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_soft plinden_llr_mex plinden_batch_mex >/dev/null
cmake --build "$build" -j2 --target mimo_detect_mex >/dev/null 2>&1 || true  # when it exists
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
"$build/bench/soft/bench_soft" --qam-out "$out" "$@" || status=1
echo
scale=1
case " $* " in *" --quick "*) scale=0.1 ;; esac
(cd "$here" && octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); bench_soft_threads('scale', $scale)") > "$out/octave.txt" 2>&1 || status=1
grep -v 'while preparing to exit' "$out/octave.txt" || true
echo
(cd "$here" && octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); bench_mimo_itpp('$out/qam_problems.txt')") > "$out/octave.txt" 2>&1 || status=1
grep -v 'while preparing to exit' "$out/octave.txt" || true
exit $status
