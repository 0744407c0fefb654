#!/bin/sh
# kelvane against Octave's qp and SciPy's lsq_linear (bvls, trf) on the same problems,
# then the BLAS candidates for the solver. Prints figures only.
#   bench/kelvane/run.sh [build-dir] [--full]   (default build dir: build-bench;
#   qp takes ~40 s at n=512 and runs on one n=512 instance per family unless --full)
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-bench}
full=false
# Debian's python3-scipy lives with the system interpreter
PYTHON=${PYTHON:-/usr/bin/python3}
[ "$2" = "--full" ] && full=true
cmake -S "$root" -B "$build" -DLATBOX_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target kelvane_mex >/dev/null
for b in openblas64-serial openblas64-pthread reference64; do
  cmake --build "$build" -j2 --target "bench_blas_$b" >/dev/null 2>&1 || true
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); addpath('$here'); bench_octave('$work', $full)" 2>&1 | grep -v 'while preparing to exit' || true
$PYTHON "$here/bench_scipy.py" "$work"
$PYTHON "$here/report.py" "$work"
echo
echo "BVLS iteration alone (C++, no host) with each BLAS/LAPACK candidate:"
for b in openblas64-serial openblas64-pthread reference64; do
  [ -x "$build/bench/kelvane/bench_blas_$b" ] && "$build/bench/kelvane/bench_blas_$b" "$b"
done
