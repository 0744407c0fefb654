#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the whole C++ test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# (no MEX files) in its own build directory and runs it; any report fails the run.
#   scripts/sanitize.sh [--no-corpus]
# --no-corpus leaves out the replays of the fuzz corpus (fuzz_corpus_<name>): for
# scripts/test.sh, whose fuzzing step runs every input of that corpus first, under
# AddressSanitizer and UndefinedBehaviorSanitizer too, before it mutates them.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
no_corpus=0
[ "${1:-}" = "--no-corpus" ] && no_corpus=1
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}"

build="$LATBOX_ROOT/build-asan"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if [ "$no_corpus" = 1 ]; then
  # the test executables alone, not the replays of the fuzz corpus
  mkdir -p "$build"
  cmake -S "$LATBOX_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLATBOX_SANITIZE=ON \
    -DLATBOX_MEX=OFF -DLATBOX_TESTS=ON > "$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
  cmake --build "$build" -j"${LATBOX_BUILD_JOBS:-2}" --target latbox_tests fuzz_input_tests
  (cd "$build" && ctest --output-on-failure --timeout 600 -j2 -E '^fuzz_corpus_')
else
  latbox_build "$build" -DLATBOX_SANITIZE=ON -DLATBOX_MEX=OFF -DLATBOX_TESTS=ON
  (cd "$build" && ctest --output-on-failure --timeout 600 -j2)
fi
