#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Pictures of the operator window, taken on a private Xvfb display with openbox and a
# notification area (trayer): the server runs on the simulator's demo devices with one client
# connected to the Fenwy, and everything is opened the way an operator does, by clicks on the
# icon and its menu (xdotool). Writes main-window.png, tray-menu.png, setup-dialog.png and
# latency-dialog.png into the folder (default docs/screenshots).
#   scripts/screenshots.sh [--no-build] [FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=1
out="$root/docs/screenshots"
for arg in "$@"; do
    case "$arg" in
    --no-build) build=0 ;;
    -h | --help)
        sed -n '3,8p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    -*)
        echo "screenshots.sh: unknown argument $arg" >&2
        exit 2
        ;;
    *) out=$(realpath -m "$arg") ;;
    esac
done

# A session bus of its own, so that the server and its client meet no other copy.
if [ -z "${ZEMB_SHOTS_BUS:-}" ]; then
    if [ "$build" = 1 ]; then
        scripts/deps.sh
        cmake --preset dev >/dev/null
        cmake --build --preset dev -j "$(nproc)" --target zemb-server zemb-sim zemb-cli
    fi
    exec env ZEMB_SHOTS_BUS=1 dbus-run-session -- "$0" --no-build "$out"
fi

bin="${ZEMB_BUILD_DIR:-$root/build/dev}"
server="$bin/src/server/zemb-server"
sim="$bin/tools/zemb-sim/zemb-sim"
cli="$bin/tools/zemb-cli/zemb-cli"
for program in "$server" "$sim" "$cli" Xvfb openbox trayer xdotool import; do
    if ! command -v "$program" >/dev/null; then
        echo "screenshots.sh: $program is missing (scripts/deps.sh installs the packages)" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-shots-XXXXXX")
pids=()
finish() {
    local status=$?
    exec 4>&- 2>/dev/null || true # the client's commands end: it unhooks and leaves
    # Last started, first ended; the X server last.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill -TERM "${pids[i]}" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "${pids[i]}" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# until SECONDS COMMAND...: runs the command every 0.1 s until it succeeds; false after the time.
until_ok() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# A display number of its own from 300 on; the next one when another server holds it.
base=$((300 + $$ % 400))
for number in $(seq "$base" $((base + 20))); do
    Xvfb ":$number" -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 \
        3>"$work/display" 2>"$work/xvfb.log" &
    xvfb=$!
    if until_ok 10 test -s "$work/display" || ! kill -0 "$xvfb" 2>/dev/null; then
        [ -s "$work/display" ] && break
    fi
    wait "$xvfb" 2>/dev/null || true
done
if [ ! -s "$work/display" ]; then
    echo "screenshots.sh: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
pids+=("$xvfb")
export DISPLAY=":$(cat "$work/display")"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM XDG_CURRENT_DESKTOP
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
echo "== display $DISPLAY"

openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
until_ok 10 sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
trayer --edge top --align right --widthtype request --height 24 --transparent false \
    --tint 0xdddddd >"$work/trayer.log" 2>&1 &
pids+=($!)
until_ok 10 xdotool search --onlyvisible --class trayer

# The server's folders: settings that offer the setup item, open the window from the icon and
# let two clients share a device; the latency configurations of the sample file.
export XDG_DATA_HOME="$work/data" ZEMB_CONFIG_DIR="$work/config/"
mkdir -p "$ZEMB_CONFIG_DIR" "$XDG_DATA_HOME"
printf '[General]\nEnableSharedAccess=1\nShowDeviceListLog=1\n' >"$ZEMB_CONFIG_DIR/FENWY.INI"
cp "$root/data/ini/Nabto.ini" "$ZEMB_CONFIG_DIR/Nabto.ini"
"$sim" --devices "$root/data/sim/demo.ini" --control "$work/sim.sock" -- "$server" \
    >"$work/server.log" 2>&1 &
pids+=($!)
owns_name() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.zemb.ZEMB | grep -q true
}
if ! until_ok 30 owns_name; then
    echo "screenshots.sh: the server did not come up; its output:" >&2
    cat "$work/server.log" >&2
    exit 1
fi

# One client that stays: hooked up, connected to the Fenwy (shared) and the device opened.
mkfifo "$work/client.in"
"$cli" shell --echo <"$work/client.in" >"$work/client.log" 2>&1 &
pids+=($!)
exec 4>"$work/client.in"
printf 'hookup --exe zemb-demo\nfirst fenwy --mode shared\nconnect --mode shared\nopen\n' >&4
printf 'write 10 20 30 40\nread 4\n' >&4
until_ok 20 grep -q 'ReadCount' "$work/client.log" || until_ok 5 grep -qi 'read' "$work/client.log"

# The icon in the notification area: the middle of trayer's window, which holds only it.
tray=$(xdotool search --onlyvisible --class trayer | head -1)
eval "$(xdotool getwindowgeometry --shell "$tray")"
icon_x=$((X + WIDTH / 2))
icon_y=$((Y + HEIGHT / 2))

mkdir -p "$out"
shot() { # shot FILE WINDOW
    import -window "$2" "$out/$1"
    echo "== $out/$1"
}
find_window() { # the shown window with that title, waiting for it
    if ! until_ok 10 xdotool search --onlyvisible --name "$1"; then
        import -window root "$work/screen.png"
        cp "$work/screen.png" "$out/failed-screen.png"
        echo "screenshots.sh: no window \"$1\" appeared (the screen: $out/failed-screen.png)" >&2
        exit 1
    fi
    xdotool search --onlyvisible --name "$1" | tail -1
}

# A left click on the icon shows the main window.
xdotool mousemove "$icon_x" "$icon_y" click 1
main=$(find_window '^Tavro USB Link communication')
xdotool windowactivate --sync "$main" 2>/dev/null || true
sleep 1 # the first paint of the tree and the log
shot main-window.png "$main"

# A right click opens the menu; it is taken with the screen's corner around it.
xdotool mousemove "$icon_x" "$icon_y" click 3
sleep 1
import -window root -crop 420x140+604+0 "$out/tray-menu.png"
echo "== $out/tray-menu.png"

# "Edit/create Fenwy.Ini", the first item, opens the setup dialog.
xdotool key Down Return
setup=$(find_window '^ZEMB configuration$')
sleep 0.5
shot setup-dialog.png "$setup"

# Its "Napto config" button opens the latency dialog.
xdotool mousemove --window "$setup" 270 102 click 1
latency=$(find_window '^uFrmNabtoSetup$')
sleep 0.5
shot latency-dialog.png "$latency"

# Both closed without saving.
xdotool key --window "$latency" Escape
sleep 0.3
xdotool key --window "$setup" Escape
