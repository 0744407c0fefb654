#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Writes the Octave package latbox-<version>.tar.gz into dist/ (or the folder given) and
# prints its path:
#   scripts/package.sh [output folder]
# At the Octave prompt: pkg install dist/latbox-<version>.tar.gz, then pkg load latbox.
#
# The archive holds one folder latbox-<version>/ with
#   DESCRIPTION, INDEX     written here (the version from VERSION, the functions from
#                          gateways/mex_functions.txt)
#   COPYING, NEWS          LICENSE and NEWS.md
#   post_install.m         package/post_install.m: puts each help file beside its MEX file
#   inst/                  the help file of every function, latbox_version with VERSION,
#                          and the demo with its study_* functions (shards)
#   src/                   package/Makefile, the function list and the MEX files' sources
# It is the same archive for the same files (names sorted, owner and times fixed).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$root/dist}"
list="$root/gateways/mex_functions.txt"

version=$(head -n 1 "$root/VERSION" | tr -d '[:space:]')
if ! [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "VERSION: '$version' is not MAJOR.MINOR.PATCH" >&2
  exit 1
fi
# the date and time of the last commit (of now outside a clone)
if stamp=$(git -C "$root" log -1 --format=%ct 2> /dev/null) && [ -n "$stamp" ]; then
  date=$(git -C "$root" log -1 --format=%cd --date=format:%Y-%m-%d)
else
  stamp=$(date +%s)
  date=$(date -u +%Y-%m-%d)
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name="latbox-$version"
top="$work/$name"
mkdir -p "$top/inst" "$top/src"

# The functions of the list (name, needs, sources; # starts a comment).
entries=$(sed -e 's/#.*//' "$list" | awk 'NF >= 2')
functions=$(awk '{ print $1 }' <<< "$entries")

# Sources: what the MEX files are built from (the host adapter for Octave, the gateways
# and the host-free routines), not the in-process test host.
for dir in core host gateways detect reduce box channel code ambiguity; do
  mkdir -p "$top/src/$dir"
  for file in "$root/$dir"/*.h "$root/$dir"/*.cpp "$root/$dir"/*.txt; do
    [ -e "$file" ] || continue
    case "$(basename "$file")" in
      test_host.*) continue ;;
    esac
    cp "$file" "$top/src/$dir/"
  done
done
cp "$root/package/Makefile" "$top/src/Makefile"
# every source the list names must be there, or pkg install would fail in make
while read -r fn _ extra; do
  for source in host/mex_entry.cpp host/host_mex.cpp gateways/args.cpp "gateways/$fn.cpp" \
      $extra; do
    if [ ! -e "$top/src/$source" ]; then
      echo "$fn: $source is not in the package's sources" >&2
      exit 1
    fi
  done
  if [ ! -e "$root/matlab/$fn.m" ]; then
    echo "$fn: no help file matlab/$fn.m" >&2
    exit 1
  fi
  cp "$root/matlab/$fn.m" "$top/inst/"
done <<< "$entries"
cp "$root/matlab/latbox_version.m" "$root/VERSION" "$root"/demo/*.m "$top/inst/"
mfunctions=$(grep -E '^[a-z]' "$root/matlab/m_functions.txt")
for m in $mfunctions; do cp "$root/matlab/$m.m" "$top/inst/"; done
cp "$root/LICENSE" "$top/COPYING"
cp "$root/NEWS.md" "$top/NEWS"
cp "$root/package/post_install.m" "$top/"

cat > "$top/DESCRIPTION" << EOF
Name: latbox
Version: $version
Date: $date
Author: The latbox developers
Maintainer: The latbox developers
Title: Integer and box-constrained least squares on triangular systems
Description: MEX functions for y ~ R*s with a square upper-triangular R (the R factor
 of a QR factorisation): decision-feedback detectors (s integer, or odd integers in a
 box), an exact sphere-decoding search in a box, LLL reduction carried out on QR
 factors, and box-constrained least squares (BVLS) with warm starts; each with a batch
 form that splits the columns across threads. Built for Monte Carlo loops: fast,
 allocation-bounded, bit-identical on every machine, and every bad input is rejected
 with a message.
License: BSD-3-Clause
Depends: octave (>= 6.1)
BuildRequires: libopenblas64-serial-dev (Debian: the static BLAS/LAPACK with 64-bit integers)
EOF

# INDEX: each function under the kind of routine it runs (the folder of its first
# source), in the order of the list; then the version and the demo.
{
  echo "latbox >> Integer and box-constrained least squares"
  for category in "detect:Detection and search" "reduce:Lattice reduction" \
      "box:Box-constrained least squares" "channel:Channel-level detection"; do
    names=$(awk -v d="${category%%:*}" 'index($3, d "/") == 1 { printf " %s", $1 }' \
      <<< "$entries")
    if [ -n "$names" ]; then
      echo "${category#*:}"
      echo "$names"
    fi
  done
  others=$(awk '$3 !~ /^(detect|reduce|box|channel)\// { printf " %s", $1 }' <<< "$entries")
  if [ -n "$others" ]; then
    echo "Other functions"
    echo "$others"
  fi
  echo "Coding and EXIT tools"
  echo "$mfunctions" | tr '\n' ' ' | sed 's/^/ /; s/ $//'
  echo
  echo "Version and demos"
  echo " latbox_version detection_study soft_study idd_study ambiguity_study"
  echo "Studies in shards"
  echo "$(cd "$root/demo" && ls study_*.m | sed 's/\.m$//' | tr '\n' ' ' | sed 's/^/ /; s/ $//')"
} > "$top/INDEX"

mkdir -p "$out"
archive="$(cd "$out" && pwd)/$name.tar.gz"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" \
  --mode='u+rwX,go+rX,go-w' -C "$work" -cf - "$name" | gzip -n -9 > "$archive"
echo "$archive ($(wc -w <<< "$functions") functions)"
