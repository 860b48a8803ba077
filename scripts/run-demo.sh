#!/usr/bin/env bash
# Builds everything, starts the transmitter simulator on a pseudo-terminal and the tool beside it,
# already connected to the simulator, and stops the simulator when the tool closes.
#   scripts/run-demo.sh [SIMULATOR OPTIONS...]   e.g. --firmware legacy, --fault-bad-crc 0.2
# The simulator's port is the link /tmp/quorvel-sim (QUORVEL_SIM_LINK overrides it); its log,
# with --trace lines if asked for, goes to build/quorvel-sim.log. BUILD_DIR selects another build
# tree than build/ in the repository.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
link=${QUORVEL_SIM_LINK:-/tmp/quorvel-sim}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build"
cmake --build "$build" -j2

log=$build/quorvel-sim.log
"$build/bin/quorvel-transmitter-sim" --link "$link" "$@" >"$log" 2>&1 &
simulator=$!
stop_simulator() {
    kill "$simulator" 2>/dev/null || true
    wait "$simulator" 2>/dev/null || true
}
trap stop_simulator EXIT
trap 'exit 130' INT TERM

# The simulator names its port once the link is in place.
for _ in $(seq 100); do
    grep -q '^Connect to:' "$log" && break
    kill -0 "$simulator" 2>/dev/null || { cat "$log" >&2; exit 1; }
    sleep 0.05
done
head -n 1 "$log"

"$build/bin/quorvel-setup" --port "$link" --connect
