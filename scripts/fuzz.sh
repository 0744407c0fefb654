#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the libFuzzer harnesses (clang++, ASan + UBSan, in build-asan/ beside the tests of
# scripts/sanitize.sh) and runs each for a bounded time, starting from the committed seed
# corpus. Fails on any crash, sanitizer report, failed check, timeout (2 s per input), leak
# or memory blow-up, and prints the reproducer.
#   scripts/fuzz.sh [--total <seconds>] [gateway names]
#       the harnesses share <seconds> (default 360) in equal parts
#   scripts/fuzz.sh <seconds per harness> [gateway names]
# The names default to every function of gateways/mex_functions.txt and the routine
# harnesses (complex_search).
# A reproducer runs again with: build-asan/fuzz/fuzz_<name> <file>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
total=360
each=""
case "${1:-}" in
  --total)
    total="${2:?--total needs a number of seconds}"
    shift 2
    ;;
  "" | *[!0-9]*) ;;
  *)
    each="$1"
    shift
    ;;
esac
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  mapfile -t names < <(sed -e 's/#.*//' "$LATBOX_ROOT/gateways/mex_functions.txt" | awk 'NF { print $1 }')
  # and the harnesses of host-free routines (fuzz/CMakeLists.txt)
  names+=(complex_search)
fi
# seconds for the k-th harness (0-based): the total in equal parts, the remainder to the first
seconds_for() {
  if [ -n "$each" ]; then
    echo "$each"
  else
    local count=${#names[@]}
    local part=$((total / count + ($1 < total % count ? 1 : 0)))
    echo $((part > 0 ? part : 1))
  fi
}
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}" "${LATBOX_FUZZ_PACKAGES[@]}"

build="$LATBOX_SANITIZER_BUILD"
latbox_sanitizer_build "${names[@]/#/fuzz_}"

work="$build/runs"
rm -rf "$work"
failed=()
for k in "${!names[@]}"; do
  name="${names[$k]}"
  seconds="$(seconds_for "$k")"
  # the committed corpus stays as it is: new inputs go to a scratch copy
  mkdir -p "$work/$name/corpus" "$work/$name/findings"
  cp "$LATBOX_ROOT/fuzz/corpus/$name/"* "$work/$name/corpus/"
  echo "fuzz_$name: ${seconds} s"
  # A fixed seed makes a run repeat the same inputs on the same build (the time limit only
  # decides how far it gets): CI explores what a run before the submission explored.
  if "$build/fuzz/fuzz_$name" "$work/$name/corpus" -max_total_time="$seconds" -timeout=2 \
       -seed="${LATBOX_FUZZ_SEED:-1}" \
       -rss_limit_mb=2048 -detect_leaks=1 -print_final_stats=1 \
       -artifact_prefix="$work/$name/findings/" > "$work/$name/log" 2>&1; then
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/$name/log" | sed 's/^/  /'
  else
    failed+=("$name")
    tail -n 60 "$work/$name/log"
    echo "fuzz_$name FAILED; reproducer(s):" "$work/$name/findings/"*
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: no findings"
