#!/usr/bin/env bash
# Measures what the tool costs while it polls the transmitter simulator, beside two baselines
# measured the same way in the same run: an empty Qt widgets window of the tool's size (the floor
# any Qt window costs here) and mbpoll polling the simulator at the tool's rate.
#   scripts/benchmark.sh [TRANSACTIONS] [CPU-WINDOW-SECONDS]     defaults: 40 and 40
# Prints a markdown table: the period of each transaction kind against the floor the protocol
# timing sets, the CPU share of one core over the window, peak resident memory and the time from
# start to the window being mapped, each against its target, and the machine it ran on. Then the
# same CPU window with the tool recording (--record) and its Trend window open, and the Trend
# window over 7 days of samples fed fast (bench_trend): redraw time and resident memory. A last
# table follows: the same polling with the bus traffic window open on a full list of 10,000 rows.
# Then the scan figures (scripts/bench/scan.sh, which also runs alone): finding transmitters on
# the simulator against the floor of a silent address and against mbpoll; and last the publisher
# (quorvel-setup-cli publish to a mosquitto started here) beside mbpoll polling the same units at
# the same rate.
# BUILD_DIR selects the build tree (default: build-perf/ in the repository, configured as a
# Release build when it does not exist yet); BENCH_MAP_RUNS the number of starts whose
# time-to-map median is taken (default 5). Runs everything inside its own virtual X display.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
transactions=${1:-40}
cpu_window=${2:-40}
build=${BUILD_DIR:-$root/build-perf}
map_runs=${BENCH_MAP_RUNS:-5}

case "$transactions$cpu_window$map_runs" in
    *[!0-9]*) echo "usage: $0 [TRANSACTIONS] [CPU-WINDOW-SECONDS]" >&2; exit 2 ;;
esac
[ "$transactions" -ge 4 ] || { echo "benchmark: at least 4 transactions" >&2; exit 2; }
[ "$cpu_window" -ge 5 ] || { echo "benchmark: a CPU window of at least 5 s" >&2; exit 2; }
[ "$map_runs" -ge 1 ] || { echo "benchmark: BENCH_MAP_RUNS must be at least 1" >&2; exit 2; }

# Targets and the floor the protocol timing sets: a read answered at once takes the 1000 ms
# pause plus six receive passes, the first ending with the answer, five running out at 50 ms.
floor_s=1.25
period_margin_pct=3
cpu_target_pct=0.35
rss_target_mb=40
map_target_ms=70
recording_cpu_target_pct=0.5
redraw_target_ms=16
trend_rss_target_mb=60

if [ -z "${BENCH_ON_XVFB:-}" ]; then
    "$root/scripts/install-deps.sh"
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$build" --target quorvel-setup quorvel-setup-cli quorvel-transmitter-sim bench_trend -j2 \
        >/dev/null
    # Start over inside a fresh virtual display; the rest of the script runs there.
    export BENCH_ON_XVFB=1 BUILD_DIR=$build BENCH_MAP_RUNS=$map_runs
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$transactions" "$cpu_window"
fi

tool=$build/bin/quorvel-setup
simulator=$build/bin/quorvel-transmitter-sim
work=$(mktemp -d /tmp/quorvel-bench.XXXXXX)
link=$work/sim

# Every process this script starts is recorded and stopped by its id on the way out.
started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${started[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { echo "benchmark: $*" >&2; }
fail() { say "$*"; exit 1; }

stop() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
say "building the helpers"
g++ -O2 -Wall -Wextra -o "$work/mapwait" "$root/scripts/bench/mapwait.cpp" \
    $(pkg-config --cflags --libs x11)
g++ -O2 -Wall -Wextra -o "$work/cputime" "$root/scripts/bench/cputime.cpp"
g++ -O2 -fPIC -Wall -Wextra -o "$work/trivial-window" "$root/scripts/bench/trivialwindow.cpp" \
    $(pkg-config --cflags --libs Qt5Widgets)

# The X server of this display: its CPU time shows what the painting costs outside the program.
xserver=
for dir in /proc/[0-9]*; do
    cmd=$(tr '\0' ' ' <"$dir/cmdline" 2>/dev/null) || continue
    case "$cmd" in
        Xvfb\ "$DISPLAY"\ *) xserver=${dir#/proc/}; break ;;
    esac
done

now() { echo "$EPOCHREALTIME"; }

# cpu_share PID [PID2]: waits the CPU window and prints the share of one core in % that PID
# used during it, every thread included (and PID2's, if given; else 0).
cpu_share() {
    local t0 t1 a0 a1 b0=0 b1=0
    t0=$(now); a0=$("$work/cputime" "$1")
    [ -n "${2:-}" ] && b0=$("$work/cputime" "$2")
    sleep "$cpu_window"
    t1=$(now); a1=$("$work/cputime" "$1")
    [ -n "${2:-}" ] && b1=$("$work/cputime" "$2")
    awk -v a="$((a1 - a0))" -v b="$((b1 - b0))" -v t0="$t0" -v t1="$t1" \
        'BEGIN { w = t1 - t0; printf "%.3f %.3f\n", a / 1e7 / w, b / 1e7 / w }'
}

peak_rss_kib() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds.
wait_for() {
    local deadline=$(($(date +%s) + $1))
    shift
    until "$@"; do
        [ "$(date +%s)" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

has_line() { [ -s "$1" ]; }
lines_at_least() { [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ]; }

# launch OUT ERR CLASS PROGRAM...: starts PROGRAM through mapwait, its stderr into ERR, and waits
# for its window; OUT then holds "PID MS WIDTHxHEIGHT WINDOW". Sets $launcher to mapwait's id.
launch() {
    local out=$1 err=$2
    shift 2
    : >"$out"
    "$work/mapwait" "$@" >"$out" 2>"$err" &
    launcher=$!
    started+=("$launcher")
    wait_for 20 has_line "$out" || fail "no window of $2 appeared"
}

start_simulator() {
    "$simulator" --link "$link" --trace >"$1" 2>&1 &
    sim_pid=$!
    started+=("$sim_pid")
    wait_for 10 lines_at_least "$1" '^Connect to:' 1 || fail "the simulator did not start"
}

median() { sort -n | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2); print (NR % 2) ? v[m] : (v[m] + v[m + 1]) / 2 }'; }

# --- Time to the mapped window, alternating the tool and the empty window -------------------
say "time to the mapped window, $map_runs starts each"
: >"$work/map-tool"; : >"$work/map-trivial"
for run in $(seq "$map_runs"); do
    launch "$work/launch" /dev/null quorvel-setup "$tool"
    read -r pid ms _ <"$work/launch"
    echo "$ms" >>"$work/map-tool"
    stop "$pid"; wait "$launcher" 2>/dev/null || true
    launch "$work/launch" /dev/null trivial-window "$work/trivial-window"
    read -r pid ms _ <"$work/launch"
    echo "$ms" >>"$work/map-trivial"
    stop "$pid"; wait "$launcher" 2>/dev/null || true
done
tool_map=$(median <"$work/map-tool")
trivial_map=$(median <"$work/map-trivial")
spread() { sort -n "$1" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { print lo "–" hi }'; }

# Without a window manager the keyboard follows the pointer. The Port box sits at the left of
# the bar along the window's bottom edge: click into it, replace its text, press Alt+C.
type_port_and_connect() {
    local height=${2#*x}
    xdotool mousemove --window "$1" 80 $((height - 34)) click 1
    xdotool key ctrl+a
    xdotool type --delay 5 "$link"
    xdotool key alt+c
}

# --- The tool polling the simulator ----------------------------------------------------------
say "the tool: $transactions transactions, CPU window $cpu_window s"
start_simulator "$work/sim-tool.log"
tool_log=$work/tool.log
export QT_MESSAGE_PATTERN='%{time process} %{message}'
launch "$work/launch" "$tool_log" quorvel-setup "$tool"
unset QT_MESSAGE_PATTERN
read -r tool_pid _ size window <"$work/launch"
tool_launcher=$launcher
type_port_and_connect "$window" "$size"
wait_for 15 lines_at_least "$tool_log" 'bytes read$' 1 || fail "the tool did not poll: $(tail -n 3 "$tool_log")"
grep -q 'run():  37  bytes read$' "$tool_log" \
    || fail "the tool is not polling the simulator: $(grep -m 1 'bytes read\|error' "$tool_log")"
# Warm-up: the first two transactions, then the CPU window while polling goes on.
wait_for 30 lines_at_least "$tool_log" '^ *[0-9.]* mbThreadFinished(): start$' 2 \
    || fail "the tool's polling stalled"
read -r tool_cpu tool_xcpu < <(cpu_share "$tool_pid" "$xserver")
wait_for $((transactions * 3 + 30)) lines_at_least "$tool_log" '^ *[0-9.]* mbThreadFinished(): start$' "$transactions" \
    || fail "the tool did not finish $transactions transactions"
tool_rss=$(peak_rss_kib "$tool_pid")
stop "$tool_pid"; wait "$tool_launcher" 2>/dev/null || true
stop "$sim_pid"

# A transaction's period runs from the end of the one before (the window's finished handler,
# which starts the next) to its own end, so it holds the pause, the exchange and the handover.
# The first transaction starts at the button press, which leaves no trace; it is not counted.
# Its kind is told by the answer's length: 37 bytes the persistent block, 47 the volatile one.
read -r p_n p_mean p_max v_n v_mean v_max c_n c_mean other < <(awk '
    / bytes read$/ { bytes = $3 }
    / mbThreadFinished\(\): start$/ {
        t = $1
        if (seen) {
            d = t - last
            k = bytes == 37 ? "p" : bytes == 47 ? "v" : "o"
            n[k]++; sum[k] += d; if (d > max[k]) max[k] = d
            if (k == "p") { if (lastp != "") { cn++; csum += t - lastp } lastp = t }
        }
        last = t; seen = 1
    }
    END {
        printf "%d %.4f %.4f %d %.4f %.4f %d %.4f %d\n", n["p"], n["p"] ? sum["p"] / n["p"] : 0, max["p"],
            n["v"], n["v"] ? sum["v"] / n["v"] : 0, max["v"], cn, cn ? csum / cn : 0, n["o"]
    }' "$tool_log")
[ "$p_n" -gt 0 ] && [ "$v_n" -gt 0 ] || fail "no complete transactions of both kinds in the trace"

# --- The tool recording, with its Trend window open ------------------------------------------
# Started with --port, --connect and --record; Ctrl+R opens the Trend window, which then redraws
# with every reading.
say "the tool recording with the Trend window open: CPU window $cpu_window s"
start_simulator "$work/sim-record.log"
record=$work/record.csv
launch "$work/launch" "$work/tool-record.log" quorvel-setup "$tool" --port "$link" --connect \
    --record "$record"
read -r record_pid _ size window <"$work/launch"
record_launcher=$launcher
xdotool mousemove --window "$window" 40 40 click 1
xdotool key ctrl+r
wait_for 10 xdotool search --name '^Trend$' >/dev/null || fail "the Trend window did not open"
csv_rows() { [ "$(grep -c ',reading,' "$record" 2>/dev/null)" -ge "$1" ]; }
wait_for 30 csv_rows 1 || fail "the tool did not record: $(tail -n 3 "$work/tool-record.log")"
read -r record_cpu record_xcpu < <(cpu_share "$record_pid" "$xserver")
record_rss=$(peak_rss_kib "$record_pid")
record_rows=$(grep -c ',reading,' "$record")
stop "$record_pid"; wait "$record_launcher" 2>/dev/null || true
stop "$sim_pid"
# Every row is written through with fdatasync; the rows must all be there.
[ "$record_rows" -ge $((cpu_window / 3)) ] || fail "only $record_rows readings recorded"

# --- The Trend window over 7 days of samples -------------------------------------------------
say "the Trend window over 7 days of samples"
"$build/bin/bench_trend" 7 30 >"$work/trend.txt" 2>/dev/null || fail "bench_trend failed"
trend() { awk -v k="$1" '$1 == k { print $2 }' "$work/trend.txt"; }

# --- Baseline: an empty Qt widgets window of the same size -----------------------------------
say "the empty Qt window: CPU window $cpu_window s"
launch "$work/launch" /dev/null trivial-window "$work/trivial-window"
read -r trivial_pid _ <"$work/launch"
trivial_launcher=$launcher
sleep 2.5 # the same warm-up as the tool's two first transactions
read -r trivial_cpu trivial_xcpu < <(cpu_share "$trivial_pid" "$xserver")
trivial_rss=$(peak_rss_kib "$trivial_pid")
stop "$trivial_pid"; wait "$trivial_launcher" 2>/dev/null || true

# --- Baseline: mbpoll reading the persistent block at the tool's rate --------------------------
# libmodbus takes no slave address above 247 in RTU mode, so mbpoll asks for the simulator's own
# address 1 instead of the tool's 255; the frames are the same size.
say "mbpoll: $transactions requests, CPU window $cpu_window s"
sim_log=$work/sim-mbpoll.log
start_simulator "$sim_log"
mbpoll -m rtu -a 1 -b 19200 -d 8 -s 1 -P none -t 4 -r 201 -c 16 -l 1250 "$link" \
    >"$work/mbpoll.log" 2>&1 &
mbpoll_pid=$!
started+=("$mbpoll_pid")
wait_for 30 lines_at_least "$sim_log" ' rx ' 2 || fail "mbpoll did not poll: $(tail -n 3 "$work/mbpoll.log")"
read -r mbpoll_cpu mbpoll_xcpu < <(cpu_share "$mbpoll_pid" "$xserver")
wait_for $((transactions * 3 + 30)) lines_at_least "$sim_log" ' rx ' "$transactions" \
    || fail "mbpoll did not finish $transactions requests"
mbpoll_rss=$(peak_rss_kib "$mbpoll_pid")
kill -0 "$mbpoll_pid" 2>/dev/null || fail "mbpoll ended: $(tail -n 3 "$work/mbpoll.log")"
stop "$mbpoll_pid"
stop "$sim_pid"
# mbpoll's own output is block-buffered into a file and lost when it is stopped; the
# simulator's trace shows that every request was answered with the 16 registers.
answers=$(grep -c ' tx 01 03 20 ' "$sim_log" || true)
[ "$answers" -ge "$transactions" ] || fail "mbpoll got $answers answers"
# mbpoll leaves no timed trace; its period is taken from the simulator's receive times.
read -r m_n m_mean m_max < <(awk '
    $2 == "rx" { if (seen) { d = $1 - last; n++; sum += d; if (d > max) max = d } last = $1; seen = 1 }
    END { printf "%d %.4f %.4f\n", n, n ? sum / n : 0, max }' "$sim_log")

# --- The table ---------------------------------------------------------------------------------
verdict() { awk -v v="$1" -v limit="$2" 'BEGIN { print (v <= limit) ? "PASS" : "MISS" }'; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f MB", k * 1024 / 1e6 }'; }
seconds() { awk -v s="$1" -v f="$2" 'BEGIN { printf "%.3f s (%+.1f %%)", s, 100 * (s - f) / f }'; }
limit=$(awk -v f="$floor_s" -v m="$period_margin_pct" 'BEGIN { print f * (1 + m / 100) }')
cycle_floor=$(awk -v f="$floor_s" 'BEGIN { print 2 * f }')
cycle_limit=$(awk -v f="$limit" 'BEGIN { print 2 * f }')
xcol() { [ -n "$xserver" ] && printf '%s %%' "$1" || printf 'n/a'; }

cpu_model=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
build_type=$(awk -F= '/^CMAKE_BUILD_TYPE:/ { print $2 }' "$build/CMakeCache.txt")
mbpoll_version=$(mbpoll -V 2>&1 | head -n 1)

cat <<TABLE
| Figure | Quorvel-Setup | Empty Qt window | mbpoll | Target | Result |
| --- | --- | --- | --- | --- | --- |
| Period, persistent read ($p_n, max $(printf '%.3f' "$p_max") s) | $(seconds "$p_mean" "$floor_s") | – | – | ≤ $limit s (floor $floor_s s + $period_margin_pct %) | $(verdict "$p_mean" "$limit") |
| Period, volatile read ($v_n, max $(printf '%.3f' "$v_max") s) | $(seconds "$v_mean" "$floor_s") | – | – | ≤ $limit s (floor $floor_s s + $period_margin_pct %) | $(verdict "$v_mean" "$limit") |
| Period, persistent + volatile cycle ($c_n) | $(seconds "$c_mean" "$cycle_floor") | – | – | ≤ $cycle_limit s (floor $cycle_floor s + $period_margin_pct %) | $(verdict "$c_mean" "$cycle_limit") |
| Period, mbpoll -l 1250 request ($m_n, max $(printf '%.3f' "$m_max") s) | – | – | $(seconds "$m_mean" "$floor_s") | same rate as the tool | – |
| CPU, share of one core over $cpu_window s while polling | $tool_cpu % | $trivial_cpu % | $mbpoll_cpu % | ≤ $cpu_target_pct % | $(verdict "$tool_cpu" "$cpu_target_pct") |
| CPU of the X server (Xvfb) in the same window | $(xcol "$tool_xcpu") | $(xcol "$trivial_xcpu") | $(xcol "$mbpoll_xcpu") | – | – |
| Peak resident memory (VmHWM) | $(mb "$tool_rss") | $(mb "$trivial_rss") | $(mb "$mbpoll_rss") | ≤ $rss_target_mb MB | $(verdict "$(awk -v k="$tool_rss" 'BEGIN { print k * 1024 / 1e6 }')" "$rss_target_mb") |
| Start to window mapped, median of $map_runs (range) | $tool_map ms ($(spread "$work/map-tool")) | $trivial_map ms ($(spread "$work/map-trivial")) | – | ≤ $map_target_ms ms | $(verdict "$tool_map" "$map_target_ms") |
| CPU over $cpu_window s while polling, recording ($record_rows readings written through) and showing the Trend window | $record_cpu % | – | – | ≤ $recording_cpu_target_pct % | $(verdict "$record_cpu" "$recording_cpu_target_pct") |
| Peak resident memory, recording with the Trend window open | $(mb "$record_rss") | – | – | – | – |
| Trend window, 7 days on "All" ($(trend samples) values fed in $(trend feed_s) s, $(trend stored_points) kept): redraw with painting, median of 30 (max) | $(trend redraw_ms_median) ms ($(trend redraw_ms_max)) | – | – | ≤ $redraw_target_ms ms | $(verdict "$(trend redraw_ms_median)" "$redraw_target_ms") |
| The same with all seven series switched on | $(trend redraw7_ms_median) ms ($(trend redraw7_ms_max)) | – | – | ≤ $redraw_target_ms ms | $(verdict "$(trend redraw7_ms_median)" "$redraw_target_ms") |
| Resident memory of that process after the 7 days and the redraws (VmRSS) | $(trend rss_mb) MB | – | – | ≤ $trend_rss_target_mb MB | $(verdict "$(trend rss_mb)" "$trend_rss_target_mb") |

Machine: $cpu_model, $(nproc) cores, Linux $(uname -r), Qt $(pkg-config --modversion Qt5Widgets), ${build_type:-default} build, Xvfb without a window manager, mbpoll $mbpoll_version, load average $load_at_start at the start; $(date -u +%F). $transactions transactions per poller; answers of neither block's length: $other.
TABLE

# === Bus traffic window ==========================================================================
# The run above polls with the traffic window closed (its list and statistics are fed all the
# same). Here the tool starts with its list already full (QUORVEL_TRAFFIC_PRELOAD puts 10,000
# synthetic transactions in it, a measuring aid only), connects, opens View > Bus traffic with
# Ctrl+T, and is measured the same way: CPU over the window, peak resident memory against the
# closed run, and resident memory at the start and end of the window, over which the full list
# only replaces rows.
traffic_cpu_target_pct=0.35
traffic_rss_growth_target_mb=10

say "the tool with the traffic window open on 10,000 rows: CPU window $cpu_window s"
start_simulator "$work/sim-traffic.log"
traffic_log=$work/traffic.log
export QT_MESSAGE_PATTERN='%{time process} %{message}' QUORVEL_TRAFFIC_PRELOAD=10000
launch "$work/launch" "$traffic_log" quorvel-setup "$tool"
unset QT_MESSAGE_PATTERN QUORVEL_TRAFFIC_PRELOAD
read -r traffic_pid _ size window <"$work/launch"
traffic_launcher=$launcher
type_port_and_connect "$window" "$size"
wait_for 15 lines_at_least "$traffic_log" 'run():  37  bytes read$' 1 \
    || fail "the tool did not poll: $(tail -n 3 "$traffic_log")"
xdotool key ctrl+t
traffic_window_shown() { xdotool search --onlyvisible --name '^Bus traffic$' >/dev/null 2>&1; }
wait_for 10 traffic_window_shown || fail "Ctrl+T did not open the traffic window"
# The same warm-up as above, counted from the opening of the window.
opened_at=$(grep -c 'mbThreadFinished(): start$' "$traffic_log" || true)
wait_for 30 lines_at_least "$traffic_log" 'mbThreadFinished(): start$' $((opened_at + 2)) \
    || fail "the tool's polling stalled"
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
traffic_rss_start=$(rss_kib "$traffic_pid")
read -r traffic_cpu traffic_xcpu < <(cpu_share "$traffic_pid" "$xserver")
traffic_rss_end=$(rss_kib "$traffic_pid")
traffic_rss=$(peak_rss_kib "$traffic_pid")
traffic_window_shown || fail "the traffic window closed during the measurement"
stop "$traffic_pid"; wait "$traffic_launcher" 2>/dev/null || true
stop "$sim_pid"

growth_mb=$(awk -v o="$traffic_rss" -v c="$tool_rss" 'BEGIN { printf "%.1f", (o - c) * 1024 / 1e6 }')
drift_mb=$(awk -v a="$traffic_rss_start" -v b="$traffic_rss_end" 'BEGIN { printf "%+.2f", (b - a) * 1024 / 1e6 }')
cat <<TABLE

| Figure | Traffic window closed | Traffic window open, 10,000 rows | Target | Result |
| --- | --- | --- | --- | --- |
| CPU, share of one core over $cpu_window s while polling | $tool_cpu % | $traffic_cpu % | closed: as before the window existed (0.171 %); open: ≤ $traffic_cpu_target_pct % | $(verdict "$traffic_cpu" "$traffic_cpu_target_pct") |
| CPU of the X server (Xvfb) in the same window | $(xcol "$tool_xcpu") | $(xcol "$traffic_xcpu") | – | – |
| Peak resident memory (VmHWM) | $(mb "$tool_rss") | $(mb "$traffic_rss") (+$growth_mb MB) | growth ≤ $traffic_rss_growth_target_mb MB | $(verdict "$growth_mb" "$traffic_rss_growth_target_mb") |
| Resident memory over the CPU window, list full | – | $(mb "$traffic_rss_start") → $(mb "$traffic_rss_end") ($drift_mb MB) | flat | – |
TABLE

# quorvel-setup-cli publish to a broker started here, one cycle a second, against mbpoll reading
# the volatile block of the same units once a second: CPU per unit and peak resident memory. With
# a simulator that has several units (--unit), three; else the one it has.
publish_rss_target_mb=15
publish_cpu_factor=3
cli=$build/bin/quorvel-setup-cli
if ! command -v mosquitto >/dev/null && [ ! -x /usr/sbin/mosquitto ]; then
    say "no mosquitto: the publisher is not measured"
    exit 0
fi
mosquitto_bin=$(command -v mosquitto || echo /usr/sbin/mosquitto)
broker_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'user root\nlistener %s 127.0.0.1\nallow_anonymous true\n' "$broker_port" >"$work/mosquitto.conf"
"$mosquitto_bin" -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
broker_pid=$!
started+=("$broker_pid")
if "$simulator" --help 2>&1 | grep -- '--unit' >/dev/null; then
    units=(1 2 3)
    start_sim_units() {
        "$simulator" --link "$link" --trace --unit 1 --unit 2 --unit 3 >"$1" 2>&1 &
        sim_pid=$!
        started+=("$sim_pid")
        wait_for 10 lines_at_least "$1" '^Connect to:' 1 || fail "the simulator did not start"
    }
else
    units=(1)
    start_sim_units() { start_simulator "$1"; }
fi
unit_count=${#units[@]}
unit_list=$(IFS=,; echo "${units[*]}")

say "publisher: units $unit_list, CPU window $cpu_window s"
start_sim_units "$work/sim-publish.log"
"$cli" publish --port "$link" --unit "$unit_list" --interval 1 --timeout 100 \
    --broker "mqtt://127.0.0.1:$broker_port" --ha-discovery 2>"$work/publish.err" &
publish_pid=$!
started+=("$publish_pid")
wait_for 30 lines_at_least "$work/sim-publish.log" ' rx ' $((unit_count * 3)) \
    || fail "the publisher did not poll: $(tail -n 3 "$work/publish.err")"
read -r publish_cpu _ < <(cpu_share "$publish_pid")
publish_rss=$(peak_rss_kib "$publish_pid")
kill -0 "$publish_pid" 2>/dev/null || fail "the publisher ended: $(tail -n 3 "$work/publish.err")"
stop "$publish_pid"
stop "$sim_pid"

say "mbpoll: units $unit_list, CPU window $cpu_window s"
start_sim_units "$work/sim-mbpoll-units.log"
mbpoll_addresses=1
[ "$unit_count" -gt 1 ] && mbpoll_addresses=1:$unit_count
# mbpoll pauses for -l between any two requests, the addresses taken in turn: each unit is read
# once a second when the pause is a second shared among the units.
mbpoll -m rtu -a "$mbpoll_addresses" -b 19200 -d 8 -s 1 -P none -t 4 -r 1 -c 21 \
    -l $((1000 / unit_count)) "$link" >"$work/mbpoll-units.log" 2>&1 &
mbpoll_units_pid=$!
started+=("$mbpoll_units_pid")
wait_for 30 lines_at_least "$work/sim-mbpoll-units.log" ' rx ' $((unit_count * 2)) \
    || fail "mbpoll did not poll: $(tail -n 3 "$work/mbpoll-units.log")"
read -r mbpoll_units_cpu _ < <(cpu_share "$mbpoll_units_pid")
mbpoll_units_rss=$(peak_rss_kib "$mbpoll_units_pid")
stop "$mbpoll_units_pid"
stop "$sim_pid"
stop "$broker_pid"

per_unit() { awk -v c="$1" -v n="$unit_count" 'BEGIN { printf "%.3f", c / n }'; }
# Requests a unit a second, as the simulator received them from its first request to its last.
request_rate() {
    awk -v n="$unit_count" '$2 == "rx" { if (!c++) t0 = $1; t1 = $1 }
        END { if (c > 1) printf "%.2f", (c - 1) / (t1 - t0) / n; else printf "–" }' "$1"
}
cpu_limit=$(awk -v m="$(per_unit "$mbpoll_units_cpu")" -v f="$publish_cpu_factor" 'BEGIN { printf "%.3f", m * f }')
cat <<TABLE

| Figure ($unit_count unit(s), one cycle a second) | quorvel-setup-cli publish | mbpoll | Target | Result |
| --- | --- | --- | --- | --- |
| Requests a unit a second, at the simulator | $(request_rate "$work/sim-publish.log") | $(request_rate "$work/sim-mbpoll-units.log") | the same rate (the publisher adds the persistent block every tenth cycle) | – |
| CPU per unit, share of one core over $cpu_window s | $(per_unit "$publish_cpu") % | $(per_unit "$mbpoll_units_cpu") % | ≤ $publish_cpu_factor × mbpoll's ($cpu_limit %) | $(verdict "$(per_unit "$publish_cpu")" "$cpu_limit") |
| Peak resident memory (VmHWM) | $(mb "$publish_rss") | $(mb "$mbpoll_units_rss") | ≤ $publish_rss_target_mb MB | $(verdict "$(awk -v k="$publish_rss" 'BEGIN { print k * 1024 / 1e6 }')" "$publish_rss_target_mb") |
TABLE
# === Finding transmitters =========================================================================
say "finding transmitters: three scans and mbpoll over the same line"
echo
"$root/scripts/bench/scan.sh" "$build"

# === The publisher beside mbpoll =============================================================