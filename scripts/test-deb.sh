#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, checks the installed tool, its help
# page and its desktop integration, and removes the package again.
#   test-deb.sh [build-dir]      default: build-deb/ in the repository
# Needs root or sudo for apt-get. A package left by an earlier run is removed first, and the
# package is removed again on the way out, also when a check fails.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
deb_name=quorvel-setup
tool=/usr/bin/quorvel-setup
# Share of dark pixels in a grab of the help window: the help page text covers about 9 %, an
# empty page none.
dark_min=0.02

# ImageMagick by its full path: another program called convert may come first in PATH.
convert=/usr/bin/convert
compare=/usr/bin/compare
identify=/usr/bin/identify

fail() { echo "test-deb: FAIL: $*" >&2; exit 1; }
note() { echo "test-deb: $*"; }

dark_share() { "$convert" "$1" -colorspace Gray -threshold 50% -format '%[fx:1-mean]' info:; }
above() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a > b) }'; }

# The first viewable window whose name matches; empty when there is none yet.
find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true; }

# wait_window NAME-REGEX PID: waits up to 10 s for the window while the program runs.
wait_window() {
    local w
    for _ in $(seq 100); do
        w=$(find_window "$1")
        [ -n "$w" ] && { echo "$w"; return 0; }
        kill -0 "$2" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# start_tool PROGRAM DIR LOG: starts the program in DIR, waits for its main window and gives it
# the keyboard; sets pid and main.
start_tool() {
    (cd "$2" && exec "$1") >"$3" 2>&1 &
    pid=$!
    if ! main=$(wait_window '^Quorvel-Setup 2\.0$' "$pid"); then
        cat "$3" >&2
        kill -0 "$pid" 2>/dev/null || fail "$1 ended before its main window appeared"
        fail "$1: no main window within 10 s"
    fi
    xdotool windowfocus --sync "$main"
}

# menu_open: whether a menu of the program is showing, i.e. a viewable window of its class other
# than the main window.
menu_open() {
    xdotool search --onlyvisible --class '^quorvel-setup$' 2>/dev/null | grep -qvx "$main"
}

# choose KEYS LETTER: opens a menu by its mnemonic and picks an entry by its letter, which only
# reaches the menu once it is up. A window just mapped may not take keys yet, so the mnemonic is
# tried again.
choose() {
    for _ in $(seq 10); do
        xdotool key --clearmodifiers "$1"
        for _ in $(seq 10); do
            if menu_open; then
                xdotool key "$2"
                return 0
            fi
            sleep 0.1
        done
    done
    fail "the menu for $1 did not open"
}

# grab_help TIMES OUT: grabs the help window up to TIMES times, 0.1 s apart, until its dark
# share exceeds dark_min, and ends the program; sets best to the largest share seen.
grab_help() {
    local help share
    help=$(wait_window '^Help page$' "$pid") || fail "no help window"
    best=0
    for _ in $(seq "$1"); do
        import -window "$help" "$2"
        share=$(dark_share "$2")
        if above "$share" "$best"; then best=$share; fi
        if above "$best" "$dark_min"; then break; fi
        sleep 0.1
    done
    kill "$pid"
    wait "$pid" || true
}

# The checks that need a display; run inside xvfb-run by the main part below.
on_display() {
    local tmp=$1 pid main best status
    export QT_XCB_GL_INTEGRATION=none

    # The installed tool, started outside the build tree in an empty folder: its help page can
    # only come from the package's data folder.
    start_tool "$tool" "$tmp/empty" "$tmp/help.log"
    choose alt+question h
    grab_help 50 "$tmp/help.png"
    above "$best" "$dark_min" || fail "the installed help window stays empty (dark share $best)"
    if grep -q 'No document' "$tmp/help.log"; then fail "$(cat "$tmp/help.log")"; fi
    note "help page found from $tmp/empty (dark share $best)"

    # The same program file in a folder with no share/quorvel-setup beside it finds no page;
    # its empty window shows that the grab tells a shown page from an empty one.
    mkdir -p "$tmp/elsewhere/bin"
    cp "$tool" "$tmp/elsewhere/bin/"
    start_tool "$tmp/elsewhere/bin/quorvel-setup" "$tmp/empty" "$tmp/none.log"
    choose alt+question h
    grab_help 20 "$tmp/none.png"
    if above "$best" "$dark_min"; then fail "a copy outside the prefix shows a page ($best)"; fi
    grep -q 'No document for index.html' "$tmp/none.log" || fail "the copy found a help page"
    note "control: a copy outside the prefix shows an empty help window (dark share $best)"

    # File > Quit ends the installed tool with status 0.
    start_tool "$tool" "$tmp/empty" "$tmp/quit.log"
    choose alt+f q
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || fail "File > Quit ended the tool with status $status"
    note "File > Quit: status 0"
}

if [ "${1:-}" = --on-display ]; then
    on_display "$2"
    exit 0
fi

build=$(realpath -m "${1:-$root/build-deb}")
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive

remove_package() {
    if dpkg-query -W "$deb_name" >/dev/null 2>&1; then
        "${as_root[@]}" apt-get purge -y -qq "$deb_name" >/dev/null
    fi
}

"$root/scripts/install-deps.sh"
remove_package

tmp=$(mktemp -d)
trap 'remove_package; rm -rf "$tmp"' EXIT
mkdir -p "$tmp/empty" "$tmp/runtime"
chmod 700 "$tmp/runtime"
export XDG_RUNTIME_DIR=$tmp/runtime

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/"$deb_name"_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/"$deb_name"_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "cpack made no single package: ${debs[*]}"
fi
deb=${debs[0]}
note "package $deb"

# Dependencies come from dpkg-shlibdeps; the Qt libraries the programs link must be among them.
depends=$(dpkg-deb -f "$deb" Depends)
note "Depends: $depends"
depends_names=$(tr ',|' '\n' <<<"$depends" | awk '{ print $1 }')
for lib in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5 libqt5serialport5; do
    grep -Fqx "$lib" <<<"$depends_names" || fail "Depends lacks $lib"
done

# Exactly these files, so neither tests nor a help page in bin/ slip in.
expected=$(
    printf '%s\n' ./usr/bin/quorvel-setup ./usr/bin/quorvel-transmitter-sim \
        ./usr/bin/quorvel-setup-cli ./usr/share/man/man1/quorvel-setup-cli.1 \
        ./usr/libexec/quorvel-setup/quorvel-setup-report \
        ./usr/share/quorvel-setup/commissioning-record.schema.json \
        ./usr/share/quorvel-setup/index.html \
        ./usr/share/quorvel-setup/publish-example.conf \
        ./usr/lib/systemd/system/quorvel-publish@.service \
        ./usr/share/applications/quorvel-setup.desktop \
        ./usr/share/metainfo/com.example.QuorvelSetup.metainfo.xml
    for n in 16 32 48 64 128 256; do
        echo "./usr/share/icons/hicolor/${n}x${n}/apps/quorvel-setup.png"
    done
)
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }')
[ "$(sort <<<"$contents")" = "$(sort <<<"$expected")" ] \
    || fail "package contents differ:$(diff <(sort <<<"$expected") <(sort <<<"$contents") || true)"

# The metainfo's launchable must name the desktop file in the same tree.
dpkg-deb -x "$deb" "$tmp/tree"
appstreamcli validate-tree --no-net "$tmp/tree" || fail "appstreamcli validate-tree"

"${as_root[@]}" apt-get install -y -qq "$deb" >/dev/null
dpkg-query -W -f='${Status}' "$deb_name" | grep -q 'install ok installed' || fail "not installed"
note "installed $(dpkg-query -W -f='${Package} ${Version}' "$deb_name")"

desktop-file-validate /usr/share/applications/quorvel-setup.desktop
appstreamcli validate --no-net /usr/share/metainfo/com.example.QuorvelSetup.metainfo.xml

# Every icon has its folder's size, and the sizes the window icon carries are its very pixels.
for n in 16 32 48 64 128 256; do
    png=/usr/share/icons/hicolor/${n}x${n}/apps/quorvel-setup.png
    [ "$("$identify" -format '%wx%h' "$png")" = "${n}x${n}" ] || fail "$png is not ${n}x${n}"
done
"$convert" "$root/ui/QuorvelSetup.ico" "$tmp/ico-%d.png"
for frame in "$tmp"/ico-*.png; do
    n=$("$identify" -format '%w' "$frame")
    png=/usr/share/icons/hicolor/${n}x${n}/apps/quorvel-setup.png
    # Qt's raster engine may round an antialiased edge pixel one level apart on another CPU's
    # vector path; 1 % lets that through and still catches any change to the drawing.
    diff=$("$compare" -metric AE -fuzz 1% "$frame" "$png" null: 2>&1 || true)
    [ "$diff" = 0 ] || fail "the ${n}x${n} icon differs from the window icon in $diff pixels"
done
note "icons: hicolor sizes checked, 32/64/128 equal the window icon"

/usr/bin/quorvel-transmitter-sim --help >/dev/null || fail "quorvel-transmitter-sim --help"

# The command line: no widgets linked, its man page renders cleanly and names the exit codes,
# and it reads the installed simulator and records it against the installed schema.
cli=/usr/bin/quorvel-setup-cli
if ldd "$cli" | grep -q 'libQt5Widgets\|libQt5Gui'; then fail "$cli links widgets"; fi
[ "$("$cli" --version)" = "quorvel-setup-cli $(dpkg-query -W -f='${Version}' "$deb_name")" ] \
    || fail "$cli --version: $("$cli" --version)"
man_page=/usr/share/man/man1/quorvel-setup-cli.1
warnings=$(groff -man -Tutf8 -ww -z "$man_page" 2>&1)
[ -z "$warnings" ] || fail "man page: $warnings"
for section in 'SYNOPSIS' 'COMMANDS' 'EXIT STATUS'; do
    grep -q "^\.SH $section\$" "$man_page" || fail "the man page lacks $section"
done
/usr/bin/quorvel-transmitter-sim --link "$tmp/sim" --seed 1 >"$tmp/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do [ -e "$tmp/sim" ] && break; sleep 0.1; done
status=0
"$cli" record --port "$tmp/sim" --output "$tmp/record.json" >"$tmp/cli.log" 2>&1 || status=$?
# check --report finds the installed report program; exit 7 (outside tolerance) still writes it.
code=0
"$cli" check --port "$tmp/sim" --reference-temperature 22.5 --reads 1 --output "$tmp/check.json" \
    --report "$tmp/check.pdf" >>"$tmp/cli.log" 2>&1 || code=$?
case $code in 0 | 7) ;; *) status=$code ;; esac
pdftotext "$tmp/check.pdf" - 2>/dev/null | grep -q 'Overall verdict' || status=99
kill -INT "$sim"
wait "$sim" || true
[ "$status" -eq 0 ] || { cat "$tmp/cli.log" >&2; fail "$cli record ended with status $status"; }
python3 -c 'import json, sys, jsonschema
jsonschema.validate(json.load(open(sys.argv[1])), json.load(open(sys.argv[2])))' \
    "$tmp/record.json" /usr/share/quorvel-setup/commissioning-record.schema.json \
    || fail "the record does not match the installed schema"
status=0
"$cli" read --port "$tmp/no-such-port" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "$cli read from a missing port: status $status, not 2"
note "command line: no widgets, man page clean, record of the simulator valid, check report written, missing port 2"

# Offscreen, the tool stays up until it is told to end; SIGTERM is the only way it ends here.
(cd "$tmp/empty" && QT_QPA_PLATFORM=offscreen exec "$tool") >"$tmp/offscreen.log" 2>&1 &
pid=$!
for _ in $(seq 20); do
    kill -0 "$pid" 2>/dev/null || { cat "$tmp/offscreen.log" >&2; fail "the tool ended by itself"; }
    sleep 0.1
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
if [ "$status" -ne 143 ]; then
    cat "$tmp/offscreen.log" >&2
    fail "the offscreen run ended with status $status, not by SIGTERM"
fi
note "offscreen: up for 2 s, ended by SIGTERM"

# Without -noreset the server resets when its last client goes, and a tool started right after
# the previous one ended cannot connect while it does (seen on about one start in six).
xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" --on-display "$tmp"

remove_package
for path in "$tool" /usr/bin/quorvel-transmitter-sim /usr/bin/quorvel-setup-cli \
    /usr/libexec/quorvel-setup /usr/share/man/man1/quorvel-setup-cli.1 /usr/share/quorvel-setup \
    /usr/share/applications/quorvel-setup.desktop \
    /usr/share/metainfo/com.example.QuorvelSetup.metainfo.xml \
    /usr/share/icons/hicolor/48x48/apps/quorvel-setup.png; do
    [ ! -e "$path" ] || fail "$path is left after removal"
done
! dpkg-query -W "$deb_name" >/dev/null 2>&1 || fail "dpkg still knows $deb_name"
note "removed; all checks passed"
