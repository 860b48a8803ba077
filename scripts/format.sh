#!/usr/bin/env bash
# Formats every C++ file of the project with the house .clang-format.
#   scripts/format.sh           rewrite the files in place
#   scripts/format.sh --check   change nothing; list the files that differ and fail if any do
set -euo pipefail
cd "$(dirname "$0")/.."

format=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$format" ] || { echo "format: clang-format is not installed (scripts/install-deps.sh)" >&2; exit 2; }

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
    bad=0
    for f in "${files[@]}"; do
        if ! "$format" --style=file "$f" | cmp -s - "$f"; then
            echo "not formatted: $f"
            bad=1
        fi
    done
    [ $bad -eq 0 ] && echo "format: all ${#files[@]} files formatted"
    exit $bad
fi
"$format" --style=file -i "${files[@]}"
