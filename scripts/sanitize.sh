#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the whole C++ test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang++, no MEX files; the build of the fuzz harnesses, build-asan/) and runs it; any
# report fails the run.
#   scripts/sanitize.sh [--no-corpus]
# --no-corpus leaves out the replays of the fuzz corpus (fuzz_corpus_<name>): for
# scripts/test.sh, whose fuzzing step runs every input of that corpus first, under
# AddressSanitizer and UndefinedBehaviorSanitizer too, before it mutates them.
# LATBOX_TEST_JOBS: tests at a time (default 2).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
no_corpus=0
[ "${1:-}" = "--no-corpus" ] && no_corpus=1
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}" "${LATBOX_FUZZ_PACKAGES[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
jobs="${LATBOX_TEST_JOBS:-2}"
if [ "$no_corpus" = 1 ]; then
  # the test executables alone, not the replays of the fuzz corpus
  latbox_sanitizer_build latbox_tests fuzz_input_tests
  (cd "$LATBOX_SANITIZER_BUILD" && ctest --output-on-failure --timeout 600 -j"$jobs" -E '^fuzz_corpus_')
else
  latbox_sanitizer_build
  (cd "$LATBOX_SANITIZER_BUILD" && ctest --output-on-failure --timeout 600 -j"$jobs")
fi
