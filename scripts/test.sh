#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs what is missing, checks the formatting, builds, and runs every test (C++ and
# Octave).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}"
bash "$LATBOX_ROOT/scripts/check_format.sh"

build="$LATBOX_ROOT/build"
latbox_build "$build"
(cd "$build" && ctest --output-on-failure --timeout 600)

# Robustness: the C++ tests again under ASan + UBSan, the batch tests under ThreadSanitizer,
# then every fuzz harness for a bounded time (the harnesses share LATBOX_FUZZ_SECONDS,
# default 360; 0 skips all four), then the Octave tests under memcheck.
fuzz_seconds="${LATBOX_FUZZ_SECONDS:-360}"
if [ "$fuzz_seconds" != 0 ]; then
  bash "$LATBOX_ROOT/scripts/sanitize.sh"
  bash "$LATBOX_ROOT/scripts/tsan.sh"
  bash "$LATBOX_ROOT/scripts/fuzz.sh" --total "$fuzz_seconds"
  # the Octave tests under valgrind's memcheck: about 2 minutes; reported, not blocking
  bash "$LATBOX_ROOT/scripts/valgrind_octave.sh" || echo "valgrind_octave.sh did not run through (not blocking)"
fi
