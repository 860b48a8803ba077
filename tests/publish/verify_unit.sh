#!/usr/bin/env bash
# systemd-analyze verify on an instance of the publisher's unit, its ExecStart pointed at the
# program just built (verify wants an executable that exists). Exit 77 without systemd-analyze.
# Usage: verify_unit.sh UNIT_TEMPLATE CLI
set -euo pipefail
command -v systemd-analyze > /dev/null || { echo "SKIP: systemd-analyze is not installed"; exit 77; }
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
sed "s|^ExecStart=[^ ]*|ExecStart=$2|" "$1" > "$folder/quorvel-publish@line1.service"
# Warnings about this machine's own units are not ours; only lines naming our unit count.
output=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no \
             "$folder/quorvel-publish@line1.service" 2>&1 || true)
ours=$(grep -i "quorvel-publish" <<< "$output" || true)
if [ -n "$ours" ]; then
    echo "$ours"
    exit 1
fi
echo "systemd-analyze verify: quorvel-publish@line1.service is clean"
