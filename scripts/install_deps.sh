#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs the Debian packages given as arguments that are not installed yet
# (apt-get update once, and only when something is missing). It never removes a
# package: apt-get runs with --no-remove, so an install that would replace an installed
# package fails instead.
# With LATBOX_INSTALL_LOG set, apt-get's output goes to that file and one line is printed.
set -euo pipefail
missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$pkg")
  fi
done
log="${LATBOX_INSTALL_LOG:-}"
if [ ${#missing[@]} -eq 0 ]; then
  [ -n "$log" ] && echo "packages: all installed"
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
run_apt() {
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}"
}
if [ -n "$log" ]; then
  echo "installing packages: ${missing[*]} (log: $log)"
  mkdir -p "$(dirname "$log")"
  run_apt > "$log" 2>&1 || { tail -n 20 "$log"; echo "installing packages failed (log: $log)"; exit 1; }
else
  echo "installing: ${missing[*]}"
  run_apt
fi
