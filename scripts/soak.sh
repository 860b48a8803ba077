#!/usr/bin/env bash
# Long reliability runs of the window and the master thread against the in-process simulator.
#
#   scripts/soak.sh [transactions] [processes]   the soak under faults, split over processes that
#                                                run in parallel, each with its own simulator and
#                                                seed (default 5200 over 8, about 10 minutes)
#   scripts/soak.sh close [rounds] [processes]   closing the window at any moment: rounds per
#                                                phase and process (default 12 x 9 phases x 3, about 5 minutes)
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
cmake --build "$build" --target soak tst_closeanytime -j"$(nproc)" >/dev/null
logs=$build/soak-logs
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen

pids=()
failed=0
wait_all() {
    for pid in "${pids[@]}"; do
        wait "$pid" || failed=$((failed + 1))
    done
}

if [[ $mode == soak ]]; then
    total=${1:-5200}
    processes=${2:-8}
    each=$(((total + processes - 1) / processes))
    echo "soak: $processes processes x $each transactions, seeds $first_seed.., logs in $logs"
    for ((i = 0; i < processes; ++i)); do
        seed=$((first_seed + i))
        "$build/bin/soak" --transactions "$each" --seed "$seed" >"$logs/soak-$seed.log" 2>&1 &
        pids+=($!)
    done
    wait_all
    grep -h '^soak: FAILED' "$logs"/soak-*.log || true
    # Counts add up; gaps and memory growth are reported at their worst.
    grep -h '^soak-figures:' "$logs"/soak-*.log | awk -v failed="$failed" '
        {
            for (i = 2; i <= NF; ++i) {
                split($i, kv, "=")
                key = kv[1]; value = kv[2] + 0
                if (key ~ /^(max-|worst-)/) {
                    if (!(key in sum) || value > sum[key]) sum[key] = value
                } else if (key ~ /^rss-/ || key ~ /^(seed|slack-ms|warm-after|bound-of-that-gap-ms|faulted-percent)$/) {
                    continue
                } else {
                    sum[key] += value
                }
                if (!(key in seen)) { seen[key] = 1; order[++n] = key }
            }
            for (i = 2; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] + 0 }
            growth = f["rss-end-kb"] - f["rss-warm-kb"]
            if (!maxgrowth_set || growth > maxgrowth) { maxgrowth = growth; maxgrowth_set = 1 }
            rss = rss sprintf(" %d->%d", f["rss-warm-kb"], f["rss-end-kb"])
            ++runs
        }
        END {
            printf "soak-total: processes=%d", runs
            for (i = 1; i <= n; ++i) if (order[i] in sum) printf " %s=%s", order[i], sum[order[i]]
            printf " faulted-percent=%.1f\n", sum["answers"] ? 100 * sum["answers-faulted"] / sum["answers"] : 0
            printf "soak-rss-kb (after warm-up -> end, per process):%s; largest growth %d kB\n", rss, maxgrowth
            printf "soak: %d passed, %d failed\n", runs - failed, failed
        }'
else
    rounds=${1:-12}
    processes=${2:-3}
    echo "close: $processes processes x $rounds rounds per phase, logs in $logs"
    for ((i = 0; i < processes; ++i)); do
        seed=$((first_seed + i))
        QUORVEL_CLOSE_ROUNDS=$rounds QUORVEL_CLOSE_SEED=$seed \
            "$build/bin/tst_closeanytime" >"$logs/close-$seed.log" 2>&1 &
        pids+=($!)
    done
    wait_all
    grep -h '^FAIL' "$logs"/close-*.log || true
    grep -ho 'close-figures: .*' "$logs"/close-*.log | awk -v failed="$failed" '
        {
            for (i = 2; i <= NF; ++i) { split($i, kv, "="); f[kv[1]] = kv[2] }
            closes += f["closes"]; if (f["max"] + 0 > max) max = f["max"] + 0
            medians = medians " " f["median"]; bound = f["bound"]; ++runs
        }
        END {
            printf "close-total: processes=%d closes=%d max-close-to-exit-ms=%d bound-ms=%d medians-ms:%s\n", runs, closes, max, bound, medians
            printf "close: %d passed, %d failed\n", runs - failed, failed
        }'
fi
exit $((failed > 0))
