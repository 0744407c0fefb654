#!/bin/sh
# SPDX-License-Identifier: BSD-3-Clause
# The convolutional decoder's benchmark alone (bench/run_all.sh runs it with the others):
#   bench/code/run.sh [build-dir] [--quick]   (default: build-bench)
# Builds what it needs (IT++ from libitpp-dev must be installed), then prints the C++ table
# (Mbit/s per thread, IT++'s Rec_Syst_Conv_Code beside it, two threads against one) and the
# Octave one (conv_decode called from Octave). Exits 1 when a part did not run through.
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build-bench}
[ $# -gt 0 ] && shift
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLATBOX_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_conv conv_encode_mex conv_decode_mex >/dev/null
build=$(cd "$build" && pwd)  # Octave runs in bench/code
status=0
"$build/bench/code/bench_conv" "$@" || status=1
echo
scale=1
case " $* " in *" --quick "*) scale=0.2 ;; esac
(cd "$here" && octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); bench_conv_octave('scale', $scale)") 2>&1 | grep -v 'while preparing to exit' || status=1
exit $status
