#!/usr/bin/env bash
# Installs what is missing, builds the MEX files and runs the Octave demo.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}"

build="$LATBOX_ROOT/build"
latbox_build "$build" > /dev/null
cd "$LATBOX_ROOT/demo"
octave-cli --no-gui --norc --quiet --eval "addpath('$build/mex'); detection_study;" 2>&1 |
  grep -v "ignoring const execution_exception"
