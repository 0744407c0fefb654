#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The Octave package from archive to uninstall, as a user goes through it:
#   1. scripts/package.sh writes the archive;
#   2. pkg install without the BLAS archive fails with a message that names the Debian
#      package, and installs nothing;
#   3. pkg install puts the package into a temporary prefix;
#   4. its MEX files keep BLAS/LAPACK to themselves (tests/check_mex_files.sh);
#   5. a fresh octave-cli loads it and runs tests/octave/package_smoke.m, and another one
#      checks that the CMake build's MEX files give the same bits;
#   6. pkg uninstall leaves nothing in the prefix.
# Octave runs with HOME, its package lists and its prefixes in a temporary folder: the
# user's own packages are never read or touched.
#   tests/package_round_trip.sh <work folder> <MEX folder of the CMake build> <BLAS archive> <nm>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$1"
reference="$2"
blas_archive="$3"
nm="$4"
rm -rf "$work"
mkdir -p "$work"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_DATA_HOME="$tmp/home/.local/share"
export XDG_CACHE_HOME="$tmp/home/.cache"
mkdir -p "$HOME"
prefix="$tmp/packages"
mkdir -p "$prefix"
setup="pkg prefix '$prefix/share' '$prefix/arch'; pkg local_list '$prefix/local_list';
       pkg global_list '$prefix/global_list';"

fail() {
  echo "FAIL $1"
  exit 1
}
run_octave() {  # run_octave <log file> <commands>: prints the session's output
  local status=0
  octave-cli --no-gui --norc --quiet --eval "$setup $2" > "$1" 2>&1 || status=$?
  grep -v "ignoring const execution_exception" "$1" || true
  return $status
}
installed_files() {
  find "$prefix/share" "$prefix/arch" -mindepth 1 2> /dev/null || true
}

version=$(head -n 1 "$root/VERSION" | tr -d '[:space:]')
bash "$root/scripts/package.sh" "$work/dist"
archive="$work/dist/latbox-$version.tar.gz"
[ -f "$archive" ] || fail "no $archive"

echo "== pkg install without libopenblas64.a"
if (unset LATBOX_BLAS64_ARCHIVE; export LATBOX_BLAS64_DIRS=/nonexistent
    run_octave "$work/no_blas.log" "pkg install -local '$archive'") > /dev/null; then
  fail "pkg install succeeded without the BLAS archive"
fi
grep -q 'apt-get install libopenblas64-serial-dev' "$work/no_blas.log" ||
  { cat "$work/no_blas.log"; fail "the message does not name libopenblas64-serial-dev"; }
if grep -E 'undefined reference|cannot find|mkoctfile' "$work/no_blas.log"; then
  fail "pkg install without the BLAS archive got as far as compiling or linking"
fi
[ -z "$(installed_files)" ] || fail "a failed install left files: $(installed_files)"
grep -o 'libopenblas64.a not found[^.]*' "$work/no_blas.log" | head -n 1
echo "PASS the install stops before compiling and names the Debian package"

echo "== pkg install"
start=$(date +%s)
run_octave "$work/install.log" "pkg install -local '$archive'" ||
  fail "pkg install (log: $work/install.log)"
echo "PASS pkg install ($(($(date +%s) - start)) s)"

echo "== the installed MEX files"
mexdir=$(dirname "$(find "$prefix/arch" -name zarrow.mex | head -n 1)")
[ -d "$mexdir" ] || fail "no zarrow.mex under $prefix/arch"
bash "$root/tests/check_mex_files.sh" "$root/gateways/mex_functions.txt" "$blas_archive" \
  1000000 "$nm" "$mexdir" || fail "the installed MEX files"

echo "== a fresh session: pkg load latbox"
run_octave "$work/smoke.log" "pkg load latbox; addpath('$root/tests/octave');
  package_smoke('$root', 'package', '$work/results.bin')" || fail "the smoke test"

if [ -n "$reference" ] && [ -e "$reference/zarrow.mex" ]; then
  echo "== the CMake build's MEX files, same calls"
  run_octave "$work/reference.log" "addpath('$reference'); addpath('$root/tests/octave');
    package_smoke('$root', 'reference', '$work/results.bin')" || fail "against the CMake build"
fi

echo "== pkg uninstall latbox"
run_octave "$work/uninstall.log" "pkg uninstall -local latbox" || fail "pkg uninstall"
[ -z "$(installed_files)" ] || fail "pkg uninstall left: $(installed_files)"
run_octave "$work/after.log" "assert(isempty(pkg('list')), 'a package is still listed')" ||
  fail "after pkg uninstall"
echo "PASS pkg uninstall leaves nothing"
