#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs what is missing, checks the formatting, builds, and runs every test (C++ and
# Octave), then the robustness checks. Prints the time of each step as it ends.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
start=$(date +%s)
step=$start
took() {  # took <step>: the seconds since the previous step ended
  local now
  now=$(date +%s)
  echo "== $1: $((now - step)) s (total $((now - start)) s)"
  step=$now
}
# everything at once, before any step: the steps beside the fuzzing must not run apt-get
# at the same time as it
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}" "${LATBOX_FUZZ_PACKAGES[@]}" \
  "${LATBOX_VALGRIND_PACKAGES[@]}"
bash "$LATBOX_ROOT/scripts/check_format.sh"
took "packages and formatting"

build="$LATBOX_ROOT/build"
latbox_build "$build"
took "build"
# Two tests at a time: they share nothing (each works in a folder of its own, the Slurm
# test on a cluster of its own); the longest ones start first (their COST).
(cd "$build" && ctest --output-on-failure --timeout 600 -j2)
took "ctest"

# Robustness: one sanitizer build (ASan + UBSan) of the C++ tests and the fuzz harnesses;
# then every fuzz harness for a bounded time (the harnesses share LATBOX_FUZZ_SECONDS,
# default 360; 0 skips these checks), one process at a time on one core, while the other
# core runs the C++ tests under ASan + UBSan, then builds and runs the threaded tests under
# ThreadSanitizer and then every function under memcheck (their output is shown when the
# fuzzing ends).
fuzz_seconds="${LATBOX_FUZZ_SECONDS:-360}"
if [ "$fuzz_seconds" != 0 ]; then
  latbox_sanitizer_build
  took "sanitizer build (ASan + UBSan: the C++ tests and the fuzz harnesses)"
  export LATBOX_SANITIZER_BUILT=1

  side_log="$build/side_checks.log"
  (
    export LATBOX_BUILD_JOBS=1 LATBOX_TEST_JOBS=1
    side_start=$(date +%s)
    status=0
    # the fuzzing below replays the fuzz corpus under the same sanitizers first
    if bash "$LATBOX_ROOT/scripts/sanitize.sh" --no-corpus > "$build/sanitize.log" 2>&1; then
      tail -n 3 "$build/sanitize.log"
    else
      status=1
      cat "$build/sanitize.log"
    fi
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer: $(($(date +%s) - side_start)) s"
    bash "$LATBOX_ROOT/scripts/tsan.sh" || status=1
    echo "== ... and ThreadSanitizer: $(($(date +%s) - side_start)) s"
    # reported, not blocking
    bash "$LATBOX_ROOT/scripts/valgrind_octave.sh" ||
      echo "valgrind_octave.sh did not run through (not blocking)"
    echo "== ... and memcheck: $(($(date +%s) - side_start)) s"
    exit $status
  ) > "$side_log" 2>&1 &
  side=$!
  trap 'kill "$side" 2> /dev/null || true' INT TERM
  fuzz_status=0
  bash "$LATBOX_ROOT/scripts/fuzz.sh" --total "$fuzz_seconds" || fuzz_status=$?
  took "fuzzing"
  side_status=0
  wait "$side" || side_status=$?
  echo "ASan + UBSan tests, ThreadSanitizer and memcheck, run beside the fuzzing (log: $side_log):"
  cat "$side_log"
  took "the checks beside the fuzzing (what was left after it)"
  if [ "$fuzz_status" != 0 ] || [ "$side_status" != 0 ]; then
    echo "robustness checks failed: fuzzing status $fuzz_status, sanitizer tests status $side_status"
    exit 1
  fi
fi
echo "scripts/test.sh: every step passed in $(($(date +%s) - start)) s"
