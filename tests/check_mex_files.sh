#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks every MEX file of a folder: none imports or exports a BLAS/LAPACK name (a name the
# BLAS archive defines, or a Fortran BLAS/LAPACK-style name), every function of the list is
# there, and the MEX files of functions that do not need BLAS stay small.
#   check_mex_files.sh <function list> <BLAS archive> <size limit, bytes> <nm> <mex folder>
set -euo pipefail
export LC_ALL=C
list="$1"
archive="$2"
limit="$3"
nm="$4"
dir="$5"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The external names the archive defines, from its index (reading the index alone is fast;
# the listing of every member takes long), or from that listing if it has no index.
{ "$nm" --print-armap "$archive" 2> /dev/null || true; } |
  awk '/^Archive index:/ { f = 1; next } f && /^$/ { exit } f { print $1 }' |
  sort -u > "$work/archive"
if [ ! -s "$work/archive" ]; then
  "$nm" -g --defined-only "$archive" 2> /dev/null | awk 'NF == 3 { print $3 }' |
    sort -u > "$work/archive"
fi
if ! grep -qx 'dgemv_' "$work/archive"; then
  echo "$archive defines no dgemv_: not a BLAS archive"
  exit 1
fi
# Names of the list without comments: all functions, and those that need BLAS.
sed 's/#.*//' "$list" | awk 'NF >= 2 { print $1 }' > "$work/functions"
sed 's/#.*//' "$list" | awk 'NF >= 2 && $2 ~ /(^|,)blas(,|$)/ { print $1 }' > "$work/blas_functions"

failures=0
fail() {
  echo "$1"
  failures=$((failures + 1))
}
while read -r name; do
  [ -e "$dir/$name.mex" ] || fail "$name.mex is missing from $dir"
done < "$work/functions"

shopt -s nullglob
files=("$dir"/*.mex)
[ ${#files[@]} -gt 0 ] || fail "no MEX file in $dir"
for file in "${files[@]}"; do
  name=$(basename "$file" .mex)
  # dynamic symbols, defined or not, without their version suffix
  "$nm" -D "$file" | awk '{ print $NF }' | sed 's/@.*//' | sort -u > "$work/symbols"
  found=$( (comm -12 "$work/symbols" "$work/archive"
            grep -E '^([sdcz][a-z0-9]{2,}_(64_)?|cblas_.*|LAPACKE_.*|openblas_.*)$' \
              "$work/symbols" || true) | sort -u | tr '\n' ' ')
  size=$(stat -L -c %s "$file")
  if [ -n "$found" ]; then
    fail "$name.mex imports or exports BLAS/LAPACK names: $found"
  elif grep -qx "$name" "$work/blas_functions"; then
    echo "$name.mex: $size bytes (links BLAS), no BLAS name in its dynamic symbols"
  elif [ "$size" -gt "$limit" ]; then
    fail "$name.mex: $size bytes, more than $limit for a MEX file without BLAS"
  else
    echo "$name.mex: $size bytes, no BLAS name in its dynamic symbols"
  fi
done
if [ "$failures" -ne 0 ]; then
  echo "$failures problem(s) with the MEX files in $dir"
  exit 1
fi
