#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# The batch benchmark alone (bench/run_all.sh runs it with the others):
#   bench/batch/run.sh [build-dir]   (default: build-bench)
# Builds what it needs, then prints the Octave tables (the forms against single calls, the
# forms on threads) and the scratch table. Exits 1 when
# a part did not run through (or found a result that differs from the batch call's).
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLATBOX_BENCH=ON >/dev/null
cmake --build "$build" -j2 >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
(cd "$here" && octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); addpath('$build/bench-mex'); bench_batch") > "$out" 2>&1 || status=1
grep -v 'while preparing to exit' "$out" || true
echo
(cd "$here" && octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); addpath('$build/bench-mex'); bench_threads") > "$out" 2>&1 || status=1
grep -v 'while preparing to exit' "$out" || true
echo
"$build/bench/batch/bench_batch_memory" || status=1
echo
# large blocks go back to the system when freed: the resident size then shows live memory
(cd "$here" && GLIBC_TUNABLES=glibc.malloc.mmap_threshold=131072 octave-cli --no-gui --norc \
  --quiet --eval "addpath('$build/mex'); addpath('$build/bench-mex'); peak_memory_batch") \
  > "$out" 2>&1 || status=1
grep -v 'while preparing to exit' "$out" || true
exit $status
