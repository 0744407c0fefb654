#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs the Octave end-to-end tests once under valgrind's memcheck, with MEX files built
# with debug information in their own build directory, and reports the errors whose
# stack passes through a MEX file or the project's sources. Octave's own noise is
# suppressed by tests/valgrind/octave.supp. Reported, not blocking: the exit status is 0
# unless --strict is given and such an error was found (or the tests failed).
# Slow (Octave under memcheck): see the closing lines it prints for the time taken.
#   scripts/valgrind_octave.sh [--strict]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
strict=0
[ "${1:-}" = "--strict" ] && strict=1
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}" "${LATBOX_VALGRIND_PACKAGES[@]}"

build="$LATBOX_ROOT/build-valgrind"
latbox_build "$build" -DLATBOX_MEX=ON -DLATBOX_TESTS=OFF -DCMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer"
log="$build/memcheck.log"
out="$build/octave.out"
start=$(date +%s)
status=0
valgrind --tool=memcheck --error-exitcode=0 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --track-origins=yes \
  --num-callers=40 --suppressions="$LATBOX_ROOT/tests/valgrind/octave.supp" \
  --gen-suppressions=all --log-file="$log" \
  octave-cli --no-gui --norc --quiet --eval \
  "addpath('$LATBOX_ROOT/tests/octave'); run_octave_tests('$build/mex')" > "$out" 2>&1 || status=$?
elapsed=$(( $(date +%s) - start ))

# One error record runs from a line "==pid== <kind>" to the next blank "==pid== " line.
awk -v root="$LATBOX_ROOT" '
  /^==[0-9]+== $/ { if (rec != "" && rec !~ /Memcheck, a memory|Command:/ && (rec ~ /\.mex/ || index(rec, root "/"))) { print rec; n++ } rec = ""; next }
  /^==[0-9]+== [A-Z0-9]/ && rec == "" { rec = $0 "\n"; next }
  rec != "" { rec = rec $0 "\n" }
  END { print n + 0 > "/dev/stderr" }' "$log" > "$build/mex_errors.txt" 2> "$build/mex_error_count"
count=$(cat "$build/mex_error_count")
total=$(grep -E "ERROR SUMMARY" "$log" | tail -n 1 || true)

tail -n 3 "$out"
echo "octave exit status: $status"
if ! grep -qE "^[0-9]+ passed, 0 failed" "$out"; then
  # e.g. valgrind stops at an instruction it does not know (exit 132) in a library Octave loads
  echo "memcheck: the Octave tests did not run through under valgrind: nothing was checked"
fi
echo "memcheck: $total (all of Octave); errors involving the MEX files: $count"
echo "memcheck log: $log; those errors: $build/mex_errors.txt; time: ${elapsed} s"
if [ "$count" != 0 ]; then
  head -n 80 "$build/mex_errors.txt"
fi
if [ "$strict" = 1 ] && { [ "$count" != 0 ] || [ "$status" != 0 ]; }; then
  exit 1
fi
