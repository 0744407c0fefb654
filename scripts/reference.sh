#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Writes docs/reference.md, the function reference, from the help files: the help text of a
# function (the comment block after its function line, what `help <name>` shows) is the one
# place it is described, and this page only gathers those texts.
#   scripts/reference.sh            writes docs/reference.md
#   scripts/reference.sh --check    fails when docs/reference.md differs from what it would
#                                   write, or when the README's table of functions links no
#                                   line to a function of the list (the CTest
#                                   docs_reference_current)
#   scripts/reference.sh --stdout   prints the page
# The functions, in this order: every function of gateways/mex_functions.txt (its help file
# matlab/<name>.m), every other matlab/*.m (tools written in Octave code), then the studies
# of demo/*.m (detection_study, soft_study, idd_study, ambiguity_study, then the study_*
# pieces). A function added to the list or a help file added to matlab/ or demo/ appears
# without a change here.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export LC_ALL=C
mode="${1:-write}"
page="$root/docs/reference.md"

mex=$(sed -e 's/#.*//' "$root/gateways/mex_functions.txt" | awk 'NF { print $1 }')
tools=$(cd "$root/matlab" && ls ./*.m | sed 's|^\./||; s/\.m$//' |
        grep -vxF -f <(printf '%s\n' $mex) || true)
studies=$(cd "$root/demo" && { ls detection_study.m soft_study.m idd_study.m ambiguity_study.m 2> /dev/null
                               ls ./*.m | sed 's|^\./||' |
                                 grep -vx 'detection_study.m\|soft_study.m\|idd_study.m\|ambiguity_study.m'; } |
          sed 's/\.m$//')

help_file() {  # help_file <name>: the file that holds the help of <name>
  if [ -e "$root/matlab/$1.m" ]; then echo "matlab/$1.m"; else echo "demo/$1.m"; fi
}
# The help block: the comment lines after the function line, up to the first other line;
# the leading % taken off (and one blank after it, as help does).
help_text() {
  awk 'done { next }
       !started && /^[ \t]*function / { started = 1; next }
       started && /^[ \t]*%/ { line = $0; sub(/^[ \t]*%/, "", line); print line; next }
       started { done = 1 }' "$root/$1" | sed -e 's/^ //'
}
# The summary: the first help line without its leading NAME.
summary() { help_text "$1" | head -n 1 | sed -e 's/^[A-Z0-9_]* *//'; }

table() {  # table <names...>
  echo "| function | what it does |"
  echo "|---|---|"
  for name in "$@"; do
    echo "| [\`$name\`](#$name) | $(summary "$(help_file "$name")") |"
  done
}
entries() {  # entries <names...>
  for name in "$@"; do
    file=$(help_file "$name")
    echo
    echo "### $name"
    echo
    echo "\`$file\` · \`help $name\`"
    echo
    echo '```text'
    help_text "$file"
    echo '```'
  done
}

generate() {
  cat << 'EOF'
# Function reference

This page is written by `scripts/reference.sh` from the help files (`matlab/*.m` and
`demo/*.m`): it is the help text of every function, as `help <name>` shows it at
the Octave or MATLAB prompt. Do not edit it; change the help file and run
`scripts/reference.sh` (the test command fails while this page is out of date).
How the pieces fit together: [the documentation index](index.md).
EOF
  echo
  echo "## MEX functions"
  echo
  echo "The functions of \`gateways/mex_functions.txt\`, in its order; each has a gateway in"
  echo "\`gateways/\` and is built into its own MEX file."
  echo
  # shellcheck disable=SC2086
  table $mex
  if [ -n "$tools" ]; then
    echo
    echo "## Tools in Octave code"
    echo
    echo "The other functions of \`matlab/\`."
    echo
    # shellcheck disable=SC2086
    table $tools
  fi
  echo
  echo "## Studies"
  echo
  echo "The studies of \`demo/\` and the pieces they share (shards, merging, plots); see"
  echo "[studies, shards and the cluster](studies.md)."
  echo
  # shellcheck disable=SC2086
  table $studies
  echo
  echo "## Help texts"
  # shellcheck disable=SC2086
  entries $mex $tools $studies
}

case "$mode" in
  write)
    generate > "$page.tmp"
    mv "$page.tmp" "$page"
    echo "wrote $page"
    ;;
  --stdout) generate ;;
  --check)
    if ! diff -u "$page" <(generate) > /dev/null; then
      diff -u "$page" <(generate) | head -n 40 || true
      echo "docs/reference.md is out of date with the help files: run scripts/reference.sh" >&2
      exit 1
    fi
    echo "docs/reference.md matches the help files"
    # and the README's table of functions has a line for every MEX function
    missing=""
    for name in $mex; do
      grep -qF "](docs/reference.md#$name)" "$root/README.md" || missing="$missing $name"
    done
    if [ -n "$missing" ]; then
      echo "README.md: the table of functions has no line for:$missing" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: scripts/reference.sh [--check | --stdout]" >&2
    exit 2
    ;;
esac
