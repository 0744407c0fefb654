#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (C++ and Octave).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$LATBOX_ROOT/scripts/install_deps.sh" "${LATBOX_PACKAGES[@]}"

build="$LATBOX_ROOT/build"
latbox_build "$build"
(cd "$build" && ctest --output-on-failure --timeout 600)
