#!/usr/bin/env bash
# Takes a picture of the tool's main window on a virtual X display, connected to the
# transmitter simulator and showing live values; or, with --trend, of its Trend window after
# SECONDS of polling; or, with --find, of Find transmitters after a bus scan of three units.
#   screenshot.sh [OUT.png]                       default: docs/screenshot-main-window.png
#   screenshot.sh --trend [OUT.png] [SECONDS]     defaults: docs/screenshot-trend.png, 240
#   screenshot.sh --find [OUT.png]                default: docs/screenshot-find-transmitters.png
# BUILD_DIR selects the build tree (default: build/ in the repository); the tool is its
# bin/quorvel-setup. Needs xvfb, x11-utils, xdotool and imagemagick (scripts/install-deps.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
trend=
find=
if [ "${1:-}" = --trend ]; then
    trend=${3:-240}
    out=$(realpath -m "${2:-$root/docs/screenshot-trend.png}")
elif [ "${1:-}" = --find ]; then
    find=1
    out=$(realpath -m "${2:-$root/docs/screenshot-find-transmitters.png}")
else
    out=$(realpath -m "${1:-$root/docs/screenshot-main-window.png}")
fi
build=${BUILD_DIR:-$root/build}
tool=$build/bin/quorvel-setup
simulator=$build/bin/quorvel-transmitter-sim
for program in "$tool" "$simulator"; do
    [ -x "$program" ] || { echo "screenshot: $program not built" >&2; exit 1; }
done

# Start over inside a fresh virtual display; the rest of the script runs there.
if [ -z "${SCREENSHOT_ON_XVFB:-}" ]; then
    export SCREENSHOT_ON_XVFB=1 BUILD_DIR=$build
    if [ -n "$trend" ]; then
        exec xvfb-run -a -s "-screen 0 1024x700x24" "$0" --trend "$out" "$trend"
    fi
    if [ -n "$find" ]; then
        exec xvfb-run -a -s "-screen 0 1024x700x24" "$0" --find "$out"
    fi
    exec xvfb-run -a -s "-screen 0 800x700x24" "$0" "$out"
fi

link=$(mktemp -u /tmp/quorvel-screenshot-XXXXXX)
units=()
# Three generations on one line, each at an address of its own, answering 15 ms after a request.
[ -n "$find" ] && units=(--unit 17 --unit 88:2014-02-18 --unit 203:legacy --turnaround-ms 15)
"$simulator" --link "$link" --seed 1 "${units[@]}" >/dev/null &
simulator_pid=$!

# A widgets-only window needs no OpenGL under X.
export QT_XCB_GL_INTEGRATION=none
"$tool" 2>/dev/null &
pid=$!
trap 'kill "$pid" "$simulator_pid" 2>/dev/null; wait "$pid" "$simulator_pid" 2>/dev/null || true' EXIT

# The main window is the viewable top-level window whose class is the program's name; Qt also
# keeps small unmapped helper windows under that class.
window=
for _ in $(seq 100); do
    for id in $(xwininfo -root -tree | awk '/\("quorvel-setup" / { print $1 }'); do
        if xwininfo -id "$id" | grep -q 'Map State: IsViewable'; then
            window=$id
            break 2
        fi
    done
    kill -0 "$pid" 2>/dev/null || { echo "screenshot: the tool exited early" >&2; exit 1; }
    sleep 0.1
done
[ -n "$window" ] || { echo "screenshot: no window appeared" >&2; exit 1; }

# Type the simulator's port into the editable Port box and press Connect (Alt+C). The box sits
# at the left of the port bar, at the bottom of the window.
height=$(xwininfo -id "$window" | awk '/Height:/ { print $2 }')
xdotool mousemove --window "$window" 80 $((height - 34)) click 1
xdotool key --window "$window" ctrl+a
xdotool type --window "$window" "$link"
if [ -z "$find" ]; then
    xdotool key --window "$window" alt+c
fi
if [ -n "$find" ]; then
    # Tools > Find transmitters (Ctrl+F) takes the Port box's text; Start (Alt+S) scans 1-247
    # at 19200 8N1, about 7 s. Without a window manager the keyboard follows the pointer.
    xdotool key --window "$window" ctrl+f
    find_window=
    for _ in $(seq 100); do
        find_window=$(xdotool search --onlyvisible --name '^Find transmitters$' | head -n 1) \
            && [ -n "$find_window" ] && break
        sleep 0.1
    done
    [ -n "$find_window" ] || { echo "screenshot: no Find transmitters window appeared" >&2; exit 1; }
    xdotool mousemove --window "$find_window" 300 10
    xdotool key --window "$find_window" alt+s
    sleep 12
    window=$find_window
elif [ -n "$trend" ]; then
    # The readings of a few minutes, then View > Trend (Ctrl+R) on the main window.
    sleep "$trend"
    xdotool key --window "$window" ctrl+r
    trend_window=
    for _ in $(seq 100); do
        trend_window=$(xdotool search --name '^Trend$' | head -n 1) && [ -n "$trend_window" ] && break
        sleep 0.1
    done
    [ -n "$trend_window" ] || { echo "screenshot: no Trend window appeared" >&2; exit 1; }
    sleep 1
    window=$trend_window
else
    # Connecting reads the persistent block twice, then the volatile block: about 1.3 s each.
    sleep 5
fi
mkdir -p "$(dirname "$out")"
import -window "$window" "$out"
echo "screenshot: $out ($(xwininfo -id "$window" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'))"
