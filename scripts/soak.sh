#!/usr/bin/env bash
# Long reliability runs of the window and the master thread against the in-process simulator.
#
#   scripts/soak.sh [transactions] [processes]   the soak under faults, split over processes that
#                                                run in parallel, each with its own simulator and
#                                                seed (default 5200 over 8, about 10 minutes)
#   scripts/soak.sh close [rounds] [processes]   closing the window at any moment: rounds per
#                                                phase and process (default 12 x 6 phases x 3)
#
# BUILD names the build directory (default build); SEED the first seed (default 1). Each
# process's output goes to $BUILD/soak-logs/; the summed figures go to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD:-build}
first_seed=${SEED:-1}
mode=soak
if [[ ${1:-} == close ]]; then
    mode=close
    shift
fi
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target soak tst_interruptedpolling -j"$(nproc)" >/dev/null
logs=$build/soak-logs
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen

if [[ $mode == soak ]]; then
    total=${1:-5200}
    processes=${2:-8}
    each=$(((total + processes - 1) / processes))
    echo "soak: $processes processes x $each transactions, seeds $first_seed.., logs in $logs"
else
    rounds=${1:-12}
    processes=${2:-3}
    echo "close: $processes processes x $rounds rounds per phase, logs in $logs"
fi
pids=()
for ((seed = first_seed; seed < first_seed + processes; ++seed)); do
    if [[ $mode == soak ]]; then
        "$build/bin/soak" "$each" "$seed" >"$logs/soak-$seed.log" 2>&1 &
    else
        QUORVEL_CLOSE_ROUNDS=$rounds "$build/bin/tst_interruptedpolling" closeAtAnyMoment \
            >"$logs/close-$seed.log" 2>&1 &
    fi
    pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
    wait "$pid" || failed=$((failed + 1))
done

if [[ $mode == soak ]]; then
    # Counts add up; the gap margin and the memory growth are reported at their worst.
    grep -h '^soak-figures:' "$logs"/soak-*.log | awk '
        function worst(key, value) { if (!(key in sum) || value > sum[key]) sum[key] = value }
        {
            for (i = 2; i <= NF; ++i) {
                split($i, kv, "="); f[kv[1]] = kv[2] + 0
                if (NR == 1 && kv[1] !~ /^(seed|rss-|worst-)/) order[++n] = kv[1]
            }
            for (i = 1; i <= n; ++i) sum[order[i]] += f[order[i]]
            worst("worst-gap-over-bound-ms", f["worst-gap-over-bound-ms"])
            worst("rss-growth-kb", f["rss-end-kb"] - f["rss-warm-kb"])
        }
        END {
            printf "soak-total: processes=%d", NR
            for (i = 1; i <= n; ++i) printf " %s=%d", order[i], sum[order[i]]
            printf " faulted-percent=%.1f worst-gap-over-bound-ms=%d largest-rss-growth-kb=%d\n",
                100 * sum["answers-faulted"] / (sum["answers"] + !sum["answers"]),
                sum["worst-gap-over-bound-ms"], sum["rss-growth-kb"]
        }'
    grep -h '^soak: ' "$logs"/soak-*.log | sort | uniq -c
else
    grep -h '^FAIL\|^Totals' "$logs"/close-*.log || true
fi
echo "$mode: $((processes - failed)) processes passed, $failed failed"
exit $((failed > 0))
