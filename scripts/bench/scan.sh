#!/usr/bin/env bash
# Finding transmitters against the simulator, timed from the command line's start to its end:
# one pass over 1-247 at one line setting with three units answering after a 15 ms turnaround,
# a lone transmitter at 38400-8O2 (the last of the 42 settings tried), and the all-settings bus
# search with three units at 38400-8O2. Beside them the floor the line sets for a silent address
# at 19200 baud, and mbpoll scanning the same addresses (its time-out at our 20 ms, and per
# address at the 100 ms that generic scanners take as their least).
#   scripts/bench/scan.sh BUILD_DIR        prints a markdown table; called by benchmark.sh
set -euo pipefail

build=${1:?usage: scan.sh BUILD_DIR}
cli=$build/bin/quorvel-setup-cli
simulator=$build/bin/quorvel-transmitter-sim
work=$(mktemp -d /tmp/quorvel-bench-scan.XXXXXX)
link=$work/line

pass_target_s=7
lone_target_s=3
all_target_s=15
timeout_ms=20

sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
    rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "benchmark (scan): $*" >&2; exit 1; }

# simulate ARGS...: the simulator on a fresh link, until the next call or the end.
simulate() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -f "$link"
    "$simulator" --link "$link" --seed 1 "$@" >"$work/sim.log" 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do
        grep -q '^Connect to:' "$work/sim.log" 2>/dev/null && return 0
        sleep 0.05
    done
    fail "the simulator did not start: $(tail -n 2 "$work/sim.log")"
}

# timed OUT ARGS...: runs the command line, its JSON into OUT; prints the seconds it took.
timed() {
    local out=$1 t0 t1
    shift
    t0=$EPOCHREALTIME
    "$cli" scan --port "$link" --format json "$@" >"$out" 2>>"$work/skipped" \
        || fail "scan $* ended with $?: $(tail -n 1 "$work/skipped")"
    t1=$EPOCHREALTIME
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f\n", b - a }'
}
found() { grep -c '"address"' "$1" || true; }
lines() { grep -o '"line": "[^"]*"' "$1" | sort -u | sed 's/.*: "//; s/"//' | paste -sd, -; }
verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v <= limit) ? "PASS" : "MISS" }'; }

units=(--unit 17 --unit 88:2014-02-18 --unit 203:legacy)

simulate "${units[@]}" --turnaround-ms 15
pass_s=$(timed "$work/pass.json" --timeout "$timeout_ms")
pass_found=$(found "$work/pass.json")

simulate --unit 42 --line 38400-8O2 --turnaround-ms 15
lone_s=$(timed "$work/lone.json" --lone --timeout "$timeout_ms")
lone_found="$(found "$work/lone.json") at $(lines "$work/lone.json")"

simulate --unit 17 --unit 88 --unit 203 --line 38400-8O2 --turnaround-ms 15
all_s=$(timed "$work/all.json" --all-lines --timeout "$timeout_ms")
all_found="$(found "$work/all.json") at $(lines "$work/all.json")"

# The floor of a silent address at 19200 8N1: the request's 8 bytes, the 3.5 characters of
# silence that end it, and the time-out, with 10 bits a character.
read -r char_ms floor_ms floor_pass_s generic_ms generic_pass_s < <(awk -v t="$timeout_ms" 'BEGIN {
    c = 10 / 19200 * 1000
    f = 8 * c + 3.5 * c + t
    g = 8 * c + 3.5 * c + 100
    printf "%.3f %.2f %.2f %.2f %.1f\n", c, f, 247 * f / 1000, g, 247 * g / 1000 }')
# The lone search's floor over all 42 settings: at each, the request, 3.5 characters and the
# time-out; slow settings cost most (8 characters at 600 baud take 147 ms).
lone_floor_s=$(awk -v t="$timeout_ms" 'BEGIN {
    split("600 1200 2400 4800 9600 19200 38400", b, " ")
    for (s = 1; s <= 2; s++) for (p = 0; p < 3; p++) for (i = 1; i <= 7; i++) {
        c = (1 + 8 + (p > 0) + s) / b[i] * 1000
        f += 11.5 * c + t
    }
    printf "%.2f\n", f / 1000 }')
skipped_note=$(grep -m 1 -o 'skipped [0-9]* of the 42 line settings' "$work/skipped" || true)
per_address_ms=$(awk -v s="$pass_s" 'BEGIN { printf "%.2f", s * 1000 / 247 }')

# mbpoll over the same silent line: every address once at our time-out, and 40 addresses at
# 100 ms (the whole pass there would take 25 s).
simulate --unit 247
mbpoll_run() {
    local t0 t1
    t0=$EPOCHREALTIME
    mbpoll -m rtu -a "$1" -b 19200 -d 8 -s 1 -P none -t 4 -r 201 -c 16 -1 -o "$2" "$link" \
        >/dev/null 2>&1 || true
    t1=$EPOCHREALTIME
    awk -v a="$t0" -v b="$t1" -v n="$3" 'BEGIN { printf "%.2f\n", (b - a) * 1000 / n }'
}
if command -v mbpoll >/dev/null; then
    mbpoll20_ms=$(mbpoll_run 1:246 0.02 246)
    mbpoll100_ms=$(mbpoll_run 1:40 0.1 40)
    mbpoll20_pass=$(awk -v m="$mbpoll20_ms" 'BEGIN { printf "%.2f s", 247 * m / 1000 }')
    mbpoll100_pass=$(awk -v m="$mbpoll100_ms" 'BEGIN { printf "%.1f s", 247 * m / 1000 }')
else
    mbpoll20_ms=n/a mbpoll100_ms=n/a mbpoll20_pass=n/a mbpoll100_pass=n/a
fi

cat <<TABLE
| Scan (quorvel-setup-cli scan, time-out $timeout_ms ms, simulator turnaround 15 ms) | Time | Found | Target | Result |
| --- | --- | --- | --- | --- |
| One pass over 1-247 at 19200-8N1, three units (current, 2014-02-18, legacy) | $pass_s s ($per_address_ms ms an address) | $pass_found | ≤ $pass_target_s s, all three | $( [ "$pass_found" = 3 ] && verdict "$pass_s" "$pass_target_s" || echo MISS) |
| Lone transmitter at 38400-8O2, the last of the 42 settings | $lone_s s | $lone_found | ≤ $lone_target_s s | $( [ "${lone_found%% *}" = 1 ] && verdict "$lone_s" "$lone_target_s" || echo MISS) |
| All 42 settings, three units at 38400-8O2 | $all_s s | $all_found | ≤ $all_target_s s, all three | $( [ "${all_found%% *}" = 3 ] && verdict "$all_s" "$all_target_s" || echo MISS) |

| A silent address at 19200 8N1 | Per address | Pass over 1-247 |
| --- | --- | --- |
| Floor: request 8 x $char_ms ms + 3.5 characters + $timeout_ms ms time-out | $floor_ms ms | $floor_pass_s s |
| quorvel-setup-cli scan (the pass above, found units included) | $per_address_ms ms | $pass_s s |
| mbpoll -1 -o 0.02 over the same line (its time-out starts when the request is handed to the driver; a pseudo-terminal sends at once) | $mbpoll20_ms ms | $mbpoll20_pass |
| mbpoll -1 -o 0.1: the 100 ms that generic scanners wait at least (40 addresses measured) | $mbpoll100_ms ms | $mbpoll100_pass |
| Computed: request, 3.5 characters and 100 ms | $generic_ms ms | $generic_pass_s s |

The lone search's floor over all 42 settings (request, 3.5 characters and $timeout_ms ms at each) is
$lone_floor_s s on a real line. ${skipped_note:+On this pseudo-terminal the scans $skipped_note: a pty keeps no parity-enable flag, so Qt reads even parity back as none and refuses it. The lone and all-settings times above are over the other settings.}
TABLE
