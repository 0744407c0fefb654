#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Runs Octave under valgrind's memcheck with MEX files built with debug information in
# their own build directory, and reports the errors whose stack passes through a MEX file
# or the project's sources. Octave's own noise is suppressed by tests/valgrind/octave.supp.
# What runs: tests/valgrind/memcheck_calls.m, every function through each of its option
# paths and a rejected call (about a minute and a half); with --full, the whole Octave
# end-to-end suite instead (about ten minutes). Reported, not blocking: the exit status is
# 0 unless --strict is given and such an error was found (or the calls failed).
#   scripts/valgrind_octave.sh [--strict] [--full]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
strict=0
full=0
for arg in "$@"; do
  case "$arg" in
    --strict) strict=1 ;;
    --full) full=1 ;;
    *) echo "usage: scripts/valgrind_octave.sh [--strict] [--full]" >&2; exit 2 ;;
  esac
done
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}" "${LATBOX_VALGRIND_PACKAGES[@]}"

build="$LATBOX_ROOT/build-valgrind"
# the MEX files alone (not the in-process test host and its libraries)
mkdir -p "$build"
cmake -S "$LATBOX_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLATBOX_MEX=ON -DLATBOX_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" > "$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
mapfile -t targets < <(sed -e 's/#.*//' "$LATBOX_ROOT/gateways/mex_functions.txt" | awk 'NF { print $1 "_mex" }')
cmake --build "$build" -j"${LATBOX_BUILD_JOBS:-2}" --target "${targets[@]}"
if [ "$full" = 1 ]; then
  run="addpath('$LATBOX_ROOT/tests/octave'); run_octave_tests('$build/mex')"
else
  run="addpath('$LATBOX_ROOT/tests/valgrind'); memcheck_calls('$LATBOX_ROOT', '$build/mex')"
fi
log="$build/memcheck.log"
out="$build/octave.out"
start=$(date +%s)
status=0
valgrind --tool=memcheck --error-exitcode=0 --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite --track-origins=yes \
  --num-callers=40 --suppressions="$LATBOX_ROOT/tests/valgrind/octave.supp" \
  --gen-suppressions=all --log-file="$log" \
  octave-cli --no-gui --norc --quiet --eval "$run" > "$out" 2>&1 || status=$?
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
  echo "memcheck: the Octave calls did not run through under valgrind: nothing was checked"
fi
echo "memcheck: $total (all of Octave); errors involving the MEX files: $count"
echo "memcheck log: $log; those errors: $build/mex_errors.txt; time: ${elapsed} s"
if [ "$count" != 0 ]; then
  head -n 80 "$build/mex_errors.txt"
fi
if [ "$strict" = 1 ] && { [ "$count" != 0 ] || [ "$status" != 0 ]; }; then
  exit 1
fi
