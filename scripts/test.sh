#!/usr/bin/env bash
# Builds the tool, the simulator and the tests in ./build and runs every test.
# Usage: scripts/test.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${1:-build}
shift || true
cmake -S . -B "$build" "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure --timeout 600
