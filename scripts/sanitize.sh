#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Builds the whole C++ test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# (no MEX files) in its own build directory and runs it; any report fails the run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}"

build="$LATBOX_ROOT/build-asan"
latbox_build "$build" -DLATBOX_SANITIZE=ON -DLATBOX_MEX=OFF -DLATBOX_TESTS=ON
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd "$build" && ctest --output-on-failure --timeout 600 -j2)
