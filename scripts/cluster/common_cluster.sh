# SPDX-License-Identifier: BSD-3-Clause
# Shared by the cluster scripts: where the repository, the MEX files and Octave are, and
# how an Octave command of a study runs (study_main.m with the demo folder on the path).
LATBOX_ROOT="${LATBOX_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"

latbox_mex_dir() {  # latbox_mex_dir [folder]: the MEX folder given, or the default one
  local mex="${1:-${LATBOX_MEX_DIR:-$LATBOX_ROOT/build/mex}}"
  if [ ! -e "$mex/tessaly_batch.mex" ]; then
    echo "no MEX files in $mex: build them first (source scripts/common.sh;" \
      "latbox_build build), or give --mex DIR or LATBOX_MEX_DIR" >&2
    return 1
  fi
  (cd "$mex" && pwd)
}

latbox_octave_study() {  # latbox_octave_study <mex folder> shard|merge <study> <folder> ...
  local mex="$1"
  shift
  # octave-cli notes a MEX file loaded before exit with a harmless line; it is dropped
  octave-cli --no-gui --norc --quiet -p "$mex" -p "$LATBOX_ROOT/demo" \
    "$LATBOX_ROOT/scripts/cluster/study_main.m" "$@" 2>&1 |
    { grep -v "ignoring const execution_exception" || true; }
  return "${PIPESTATUS[0]}"
}

latbox_expand_list() {  # latbox_expand_list 1-3,7: the numbers 1 2 3 7, one a line
  local part
  local IFS=,
  for part in $1; do
    if [[ "$part" =~ ^([0-9]+)-([0-9]+)$ ]]; then
      seq "${BASH_REMATCH[1]}" "${BASH_REMATCH[2]}"
    elif [[ "$part" =~ ^[0-9]+$ ]]; then
      echo "$part"
    else
      echo "not a list of shards: $1 (e.g. 1-4 or 2,5)" >&2
      return 1
    fi
  done
}
