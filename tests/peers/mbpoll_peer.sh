#!/usr/bin/env bash
# The simulator program against mbpoll (libmodbus), a Modbus RTU master written independently of
# it, at the simulator's own address. Usage: mbpoll_peer.sh PATH-TO-quorvel-transmitter-sim
# Exit code 77 (skipped) when mbpoll is missing.
set -u
command -v mbpoll >/dev/null || { echo "SKIP: mbpoll is missing; scripts/install-deps.sh installs it"; exit 77; }
directory=$(mktemp -d)
link=$directory/port
"$1" --link "$link" --address 17 --temperature 21.5 --temperature-drift 0 >"$directory/log" 2>&1 &
simulator=$!
trap 'kill $simulator 2>/dev/null; rm -rf "$directory"' EXIT
for _ in $(seq 100); do grep -q '^Connect to:' "$directory/log" && break; sleep 0.05; done

failed=0
check() { # DESCRIPTION EXPECTED ACTUAL
    [ "$2" = "$3" ] || { failed=$((failed + 1)); echo "FAIL: $1: expected '$2', got '$3'"; }
}
# One poll at 19200 8N1 with PDU register numbers, values to write last; what it read, wrote or
# failed with, on one line.
poll() {
    mbpoll "$link" -m rtu -b 19200 -d 8 -s 1 -P none -0 -1 -o 0.5 "$@" 2>&1 \
        | sed -n 's/^\[[0-9]*\]:[[:space:]]*//p; s/.*\(Illegal [a-z ]*\|Written 1 references\|timed out\).*/\1/p' \
        | tr '\n' ' ' | sed 's/ $//'
}
check "temperature, low word first" "21.5" "$(poll -a 17 -t 4:float -r 0)"
check "parameters, address, identifier QV30" "5 0 0 0 0 17 0 0 0 20822 13104" "$(poll -a 17 -t 4 -r 200 -c 11)"
for write in "200 4" "201 1" "202 1"; do
    check "write $write" "Written 1 references" "$(poll -a 17 -t 4 -r $write)"
done
check "written parameters read back" "4 1 1" "$(poll -a 17 -t 4 -r 200 -c 3)"
check "read past register 20" "Illegal data address" "$(poll -a 17 -t 4 -r 20 -c 2)"
check "write parity code 3" "Illegal data value" "$(poll -a 17 -t 4 -r 201 3)"
check "another slave's address" "timed out" "$(poll -a 18 -t 4 -r 205)"
echo "mbpoll peer: $failed failed"
[ "$failed" -eq 0 ]
