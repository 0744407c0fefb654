#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks that every tracked C++ source and header is formatted as .clang-format says
# (Debian's clang-format, changing nothing); lists the files that are not and fails.
#   scripts/check_format.sh
# To format a file: clang-format -i <file>
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bash "$LATBOX_ROOT/scripts/install_deps.sh" clang-format

cd "$LATBOX_ROOT"
if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  mapfile -t files < <(git ls-files -- '*.cpp' '*.h' ':!:fuzz/corpus/*')
else
  mapfile -t files < <(find . -path ./fuzz/corpus -prune -o -path './build*' -prune -o \
                         \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
fi
unformatted=()
for file in "${files[@]}"; do
  if ! clang-format --style=file --dry-run -Werror "$file" > /dev/null 2>&1; then
    unformatted+=("$file")
  fi
done
if [ ${#unformatted[@]} -ne 0 ]; then
  echo "not formatted as .clang-format says ($(clang-format --version)):"
  printf '  %s\n' "${unformatted[@]}"
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
