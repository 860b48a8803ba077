#!/usr/bin/env bash
# Builds the libFuzzer target for the master's answer handling with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it on a copy of the seed corpus for a bounded time.
# Usage: scripts/fuzz.sh [seconds]   (default 600)
# The build goes to build-fuzz/, the grown corpus, the log and any crash input to
# fuzz-corpus-run/; both are ignored by git. Exits non-zero when the fuzzer finds a fault.
set -euo pipefail

seconds=${1:-600}
case $seconds in
'' | *[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
work=$root/fuzz-corpus-run

"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" \
    -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVEL_FUZZ=ON \
    -DQUORVEL_SANITIZE=address,undefined
cmake --build "$build" --target fuzz_response -j"$(nproc)"

# A fresh copy each run: the committed seeds stay as they are, and runs are comparable.
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
cp "$root"/tests/fuzz/corpus/* "$work/corpus/"

log=$work/fuzz.log
echo "fuzz: running fuzz_response for ${seconds} s, log in $log"
status=0
# A wrong answer aborts inside the target; ASan and UBSan report and abort on their own findings.
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/bin/fuzz_response" \
    -max_len=300 -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" >"$log" 2>&1 || status=$?

last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
echo "fuzz: last status line: $last"
grep -E '^stat::' "$log" || true
cov=$(sed -nE 's/.* cov: ([0-9]+) ft: ([0-9]+) corp: ([^ ]+).*/\1 edges, \2 features, corpus \3/p' \
    <<<"$last")
runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log")
echo "fuzz: ${runs:-?} executions, ${rate:-?} per second; coverage ${cov:-not reported}"

if [ "$status" -ne 0 ]; then
    echo "fuzz: FAILED (exit $status); the end of the log:" >&2
    tail -n 40 "$log" >&2
    ls -l "$work/artifacts" >&2 || true
    exit "$status"
fi
echo "fuzz: no fault found"
