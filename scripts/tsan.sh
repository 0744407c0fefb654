#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the C++ tests with ThreadSanitizer (clang++, no MEX files) in its own build
# directory and runs the tests whose calls run columns or frames on worker threads (the batch
# forms, mimo_detect, plinden_llr, conv_decode): every comparison with single calls or the
# routine, every thread count, Ctrl-C. Any report (a data race, a lock-order inversion, a
# thread leak) fails the run.
#   scripts/tsan.sh [gtest filter, default: those tests]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
threaded='*Batch*:MimoDetect.ResultsDoNotDependOnTheThreadCount:MimoDetect.SoftInLinearMethods'
threaded+=':MimoDetect.CtrlC*:PlindenLlrGateway.*:ConvGateway.*'
filter="${1:-$threaded}"
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}" "${LATBOX_FUZZ_PACKAGES[@]}"

build="$LATBOX_ROOT/build-tsan"
mkdir -p "$build"
CXX=clang++ cmake -S "$LATBOX_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLATBOX_TSAN=ON \
  -DLATBOX_MEX=OFF -DLATBOX_TESTS=ON > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
# the test executable alone: the corpus replays and the fuzz input tests run no threads
cmake --build "$build" -j"${LATBOX_BUILD_JOBS:-2}" --target latbox_tests
export TSAN_OPTIONS="halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:report_thread_leaks=1"
"$build/tests/latbox_tests" --gtest_filter="$filter" --gtest_brief=1
echo "ThreadSanitizer: no reports in the tests matching ${1:-the threaded tests}"
