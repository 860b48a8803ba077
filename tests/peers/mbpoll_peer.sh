#!/usr/bin/env bash
# Checks the simulator program with mbpoll (libmodbus), a Modbus RTU master written independently
# of it, at the simulator's own address: floats and 32-bit numbers, both blocks, writes and the
# exceptions. Usage: mbpoll_peer.sh PATH-TO-quorvel-transmitter-sim
# Exit code 77 (skipped) when mbpoll is missing.
set -u

simulator=$1
if ! command -v mbpoll >/dev/null; then
    echo "SKIP: mbpoll is missing; scripts/install-deps.sh installs it"
    exit 77
fi

directory=$(mktemp -d)
link=$directory/port
"$simulator" --link "$link" --address 17 --seed 5 --temperature 21.5 --temperature-drift 0 \
    --probe-serial 123456 >"$directory/simulator.log" 2>&1 &
simulator_pid=$!
trap 'kill "$simulator_pid" 2>/dev/null; wait "$simulator_pid" 2>/dev/null; rm -rf "$directory"' EXIT
for _ in $(seq 100); do
    grep -q '^Connect to:' "$directory/simulator.log" && break
    sleep 0.05
done

passed=0
failed=0
check() { # check DESCRIPTION EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1: expected '$2', got '$3'"
    fi
}
# mbpoll at 19200 8N1, PDU (0-based) register numbers, one poll; prints "[n]: value" lines.
poll() {
    mbpoll -m rtu -b 19200 -d 8 -s 1 -P none -0 -1 -o 0.5 "$@"
}
values() {
    poll "$@" 2>&1 | sed -n 's/^\[[0-9]*\]:[[:space:]]*//p' | tr '\n' ' ' | sed 's/ $//'
}

check "temperature float, low word first" "21.5" "$(values -a 17 -t 4:float -r 0 -c 1 "$link")"
check "probe serial 32-bit, low word first" "123456" "$(values -a 17 -t 4:int -r 6 -c 1 "$link")"
check "persistent block: parameters, address, identifier QV30" "5 0 0 0 0 17 0 0 0 20822 13104" \
    "$(values -a 17 -t 4 -r 200 -c 11 "$link")"
check "volatile block has 21 registers" "21" "$(poll -a 17 -t 4 -r 0 -c 21 "$link" | grep -c '^\[[0-9]*\]:')"

for write in "200 4" "201 1" "202 1"; do
    set -- $write
    check "write $2 to register $1" "Written 1 references." \
        "$(poll -a 17 -t 4 -r "$1" "$link" "$2" 2>&1 | grep '^Written')"
done
check "written parameters read back" "4 1 1" "$(values -a 17 -t 4 -r 200 -c 3 "$link")"

check "read past register 20" "Illegal data address" \
    "$(poll -a 17 -t 4 -r 20 -c 2 "$link" 2>&1 | grep -o 'Illegal data address')"
check "write parity code 3" "Illegal data value" \
    "$(poll -a 17 -t 4 -r 201 "$link" 3 2>&1 | grep -o 'Illegal data value')"
check "write register 206" "Illegal data address" \
    "$(poll -a 17 -t 4 -r 206 "$link" 1 2>&1 | grep -o 'Illegal data address')"
check "input registers (function 4)" "Illegal function" \
    "$(poll -a 17 -t 3 -r 0 "$link" 2>&1 | grep -o 'Illegal function')"
poll -a 18 -t 4 -r 205 "$link" >/dev/null 2>&1
check "another slave's address gets no answer" "1" "$?"

poll -a 17 -t 4 -r 205 "$link" 18 >/dev/null 2>&1
check "the new address answers" "18" "$(values -a 18 -t 4 -r 205 -c 1 "$link")"

kill "$simulator_pid"
wait "$simulator_pid"
check "simulator ends cleanly on SIGTERM" "0" "$?"
check "link removed on exit" "gone" "$([ -e "$link" ] || [ -L "$link" ] || echo gone)"

echo "mbpoll peer: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
