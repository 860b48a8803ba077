#!/usr/bin/env bash
# The simulator program against mbpoll (libmodbus), an independent Modbus RTU master, at the
# simulator's own address. Usage: mbpoll_peer.sh SIMULATOR; exit code 77 (skipped) without mbpoll.
set -u
command -v mbpoll >/dev/null || { echo "SKIP: mbpoll is missing; scripts/install-deps.sh installs it"; exit 77; }
directory=$(mktemp -d) link=$directory/port
"$1" --link "$link" --address 17 --temperature 21.5 --temperature-drift 0 >"$directory/log" 2>&1 &
simulator=$!
trap 'kill $simulator 2>/dev/null; rm -rf "$directory"' EXIT
for _ in $(seq 100); do grep -q '^Connect to:' "$directory/log" && break; sleep 0.05; done
failed=0
check() { # DESCRIPTION EXPECTED OPTIONS: what one poll of slave 17 read, wrote or failed with
    got=$(mbpoll "$link" -m rtu -b 19200 -d 8 -s 1 -P none -0 -1 -o 0.5 -a 17 -t 4 "${@:3}" 2>&1 \
        | sed -n 's/^\[[0-9]*\]:[[:space:]]*//p; s/.*\(Illegal [a-z ]*\|Written 1 references\|timed out\).*/\1/p' \
        | tr '\n' ' ' | sed 's/ $//')
    [ "$2" = "$got" ] || { failed=$((failed + 1)); echo "FAIL: $1: expected '$2', got '$got'"; }
}
check "temperature, low word first" "21.5" -t 4:float -r 0
check "parameters, address, identifier QV30" "5 0 0 0 0 17 0 0 0 20822 13104" -r 200 -c 11
check "write 4 to 200" "Written 1 references" -r 200 4
check "write 1 to 201" "Written 1 references" -r 201 1
check "write 1 to 202" "Written 1 references" -r 202 1
check "written parameters read back" "4 1 1" -r 200 -c 3
check "read past register 20" "Illegal data address" -r 20 -c 2
check "write parity code 3" "Illegal data value" -r 201 3
check "another slave's address" "timed out" -a 18 -r 205
echo "mbpoll peer: $failed failed"
[ "$failed" -eq 0 ]
