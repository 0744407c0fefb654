#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks that every relative link of the documentation resolves: each [text](target) and
# ![alt](target) outside code blocks in README.md and docs/*.md must name a file or folder
# that exists (relative to the page), and a #anchor must be a heading of the page it points
# into (the anchors GitHub makes: lower case, punctuation dropped, blanks as hyphens, -1,
# -2, ... for repeated headings). Links to web addresses are not followed.
#   scripts/check_links.sh [top folder]     (the CTest docs_links)
set -euo pipefail
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
export LC_ALL=C

# links <page>: one target a line, with the line number, outside fenced code blocks
links() {
  awk '/^ *```/ { fence = !fence; next }
       fence { next }
       { line = $0
         gsub(/`[^`]*`/, "", line)            # no links inside code spans
         while (match(line, /\]\([^) ]+\)/)) {
           print NR "\t" substr(line, RSTART + 2, RLENGTH - 3)
           line = substr(line, RSTART + RLENGTH)
         } }' "$1"
}
# anchors <page>: the anchor of every heading outside fenced code blocks
anchors() {
  awk '/^ *```/ { fence = !fence; next }
       fence || !/^#+ / { next }
       { a = $0
         sub(/^#+ +/, "", a); sub(/ +#* *$/, "", a)
         a = tolower(a)
         gsub(/[!-,.\/:-@[-^`{-~]/, "", a)       # ASCII punctuation but - and _
         gsub(/ /, "-", a)
         if (a in seen) { seen[a]++; a = a "-" seen[a] } else { seen[a] = 0 }
         print a }' "$1"
}

pages=("$root/README.md")
for page in "$root"/docs/*.md; do
  [ -e "$page" ] && pages+=("$page")
done
bad=0
count=0
for page in "${pages[@]}"; do
  dir=$(dirname "$page")
  rel=${page#"$root/"}
  while IFS=$'\t' read -r line target; do
    case "$target" in
      http://* | https://* | mailto:*) continue ;;
    esac
    count=$((count + 1))
    path=${target%%#*}
    anchor=""
    [[ "$target" == *"#"* ]] && anchor=${target#*#}
    if [ -z "$path" ]; then
      file="$page"
    else
      file="$dir/$path"
    fi
    if [ ! -e "$file" ]; then
      echo "$rel:$line: $target: no such file"
      bad=$((bad + 1))
      continue
    fi
    if [ -n "$anchor" ]; then
      if [[ "$file" != *.md ]] || ! anchors "$file" | grep -qxF -- "$anchor"; then
        echo "$rel:$line: $target: no heading with the anchor #$anchor"
        bad=$((bad + 1))
      fi
    fi
  done < <(links "$page")
done
if [ "$bad" != 0 ]; then
  echo "$bad of $count relative links do not resolve"
  exit 1
fi
echo "all $count relative links resolve (${#pages[@]} pages)"
