#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs what is missing, builds the MEX files (not the tests) in build-demo/ and runs
# the Octave demo: the studies in demo/, detection_study, soft_study, idd_study and
# ambiguity_study. One line per step; the package manager's and the build's output go to
# log files in build-demo/.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
build="$LATBOX_ROOT/build-demo"
mkdir -p "$build"
LATBOX_INSTALL_LOG="$build/install.log" \
  bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_DEMO_PACKAGES[@]}"

echo "building (log: $build/build.log)"
latbox_build "$build" -DLATBOX_TESTS=OFF > "$build/build.log" 2>&1 ||
  { tail -n 30 "$build/build.log"; echo "building failed (log: $build/build.log)"; exit 1; }

echo "running the demo: detection_study, soft_study, idd_study, then ambiguity_study"
cd "$LATBOX_ROOT/demo"
octave-cli --no-gui --norc --quiet --eval \
  "addpath('$build/mex'); detection_study; fprintf('\\n'); soft_study; fprintf('\\n'); idd_study; fprintf('\\n'); ambiguity_study;" 2>&1 |
  grep -v "ignoring const execution_exception"
