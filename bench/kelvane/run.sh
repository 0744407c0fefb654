#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# kelvane against Octave's qp and SciPy's lsq_linear (bvls, trf) on the same problems,
# then the BLAS candidates for the solver, the library against the plain loops
# (bench_kernels), kelvane_batch against single calls and by thread count, then the
# solver's accuracy against a quadruple-precision reference and the cost of its
# optimality check. Prints figures only; a candidate that is not installed is skipped
# with a note, and a part that fails does not stop the others (the exit status is then 1).
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
cmake --build "$build" -j2 --target kelvane_mex kelvane_batch_mex bench_accuracy bench_kernels >/dev/null
for b in openblas64-serial openblas64-pthread reference64; do
  cmake --build "$build" -j2 --target "bench_blas_$b" >/dev/null 2>&1 || true
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=""
status=0
octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); addpath('$here'); bench_octave('$work', $full)" > "$work/octave.out" 2>&1 ||
  status=$?
grep -v 'while preparing to exit' "$work/octave.out" || true
if [ "$status" -ne 0 ]; then
  failed="the Octave part (exit status $status)"
elif ! $PYTHON "$here/bench_scipy.py" "$work"; then
  failed="the SciPy part"
elif ! $PYTHON "$here/report.py" "$work"; then
  failed="the report of the comparison"
fi
if [ -n "$failed" ]; then
  echo "kelvane against qp and SciPy: $failed did not run through; no comparison figures"
fi
echo
echo "BVLS iteration alone (C++, no host) with each BLAS/LAPACK candidate:"
# A candidate whose archive is not installed is skipped (the executable is only made
# when CMake found it), and said so with the package that provides it.
for b in openblas64-serial openblas64-pthread reference64; do
  case $b in
    openblas64-serial) package=libopenblas64-serial-dev ;;
    openblas64-pthread) package=libopenblas64-pthread-dev ;;
    reference64) package="libblas64-dev liblapack64-dev" ;;
  esac
  exe="$build/bench/kelvane/bench_blas_$b"
  if [ ! -x "$exe" ]; then
    echo "  $b: skipped, not installed (Debian: $package)"
  elif ! "$exe" "$b"; then
    echo "  $b: stopped with an error"
    failed="$failed${failed:+, }bench_blas_$b"
  fi
done
echo
echo "The solver's two kernel sets (BLAS/LAPACK library, plain loops) side by side:"
if ! "$build/bench/kelvane/bench_kernels" 50; then
  echo "  bench_kernels: stopped with an error"
  failed="$failed${failed:+, }bench_kernels"
fi
echo
echo "kelvane_batch against single calls, on one thread, two and the default:"
if ! (cd "$here" && octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); bench_kelvane_batch") > "$work/batch.out" 2>&1; then
  failed="$failed${failed:+, }bench_kelvane_batch"
fi
grep -v 'while preparing to exit' "$work/batch.out" || true
echo
echo "Accuracy against a quadruple-precision reference, and the cost of the optimality check:"
if ! "$build/bench/kelvane/bench_accuracy" 30; then
  echo "  bench_accuracy: stopped with an error"
  failed="$failed${failed:+, }bench_accuracy"
fi
[ -z "$failed" ]
