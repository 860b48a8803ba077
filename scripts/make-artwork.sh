#!/usr/bin/env bash
# Builds the artwork generator (scripts/artwork/) and runs it.
#   make-artwork.sh                 rewrites ui/QuorvelSetup.ico and ui/company.bmp
#   make-artwork.sh --png DIR       writes DIR/<n>x<n>/apps/quorvel-setup.png (hicolor sizes) only
#   make-artwork.sh --preview DIR   writes enlarged previews of icon and logo for review only
# The generator is not part of the CMake build; it needs g++, pkg-config and qtbase5-dev.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# shellcheck disable=SC2046  # pkg-config's flags are meant to split into words
g++ -std=c++17 -O1 -Wall -Wextra -fPIC -o "$tmp/artwork" "$root/scripts/artwork/artwork.cpp" \
    $(pkg-config --cflags --libs Qt5Gui)

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$tmp}
case "${1:-}" in
    "")
        "$tmp/artwork" --ico "$root/ui/QuorvelSetup.ico" --bmp "$root/ui/company.bmp" ;;
    --png | --preview)
        [ $# -eq 2 ] || { echo "usage: $0 [--png DIR | --preview DIR]" >&2; exit 2; }
        "$tmp/artwork" "$1" "$2" ;;
    *)
        echo "usage: $0 [--png DIR | --preview DIR]" >&2; exit 2 ;;
esac
