#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The idle server's footprint: resident memory once start-up has settled, and how often its
# threads wake (context switches of every thread over a time), headless and with its window
# hidden on a private Xvfb display. Needs a session bus (scripts/bench.sh gives it one).
#   bench/server_footprint.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=${1:?build folder}
seconds=${2:-10}
server="$build/src/server/zemb-server"

work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-footprint-XXXXXX")
server_pid=""
xvfb_pid=""
finish() {
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && kill -TERM "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap finish EXIT

# Context switches of all the process's threads: each is one wake-up of a thread that slept.
switches() {
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches/ { n += $2 } END { print n + 0 }'
}

owns_name() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.zemb.ZEMB 2>/dev/null | grep -q true
}

# measure LABEL SWITCH ENV...: starts the server with the switch and the environment given (env's
# options first), waits until it serves and has settled, then prints its resident memory and its
# wake-ups over the time.
measure() {
    local label=$1 switch=$2
    shift 2
    mkdir -p "$work/config" "$work/data"
    env "$@" ZEMB_CONFIG_DIR="$work/config/" XDG_DATA_HOME="$work/data" "$server" $switch \
        >"$work/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 200); do
        owns_name && break
        sleep 0.05
    done
    if ! owns_name; then
        echo "server_footprint: the server did not start ($label):" >&2
        cat "$work/server.log" >&2
        exit 1
    fi
    sleep 2 # start-up's own timers and the first repaint
    local rss before after
    rss=$(awk '/^VmRSS/ { print $2 }' /proc/"$server_pid"/status)
    before=$(switches "$server_pid")
    sleep "$seconds"
    after=$(switches "$server_pid")
    printf '%-32s resident %6.1f MB   wake-ups %5d in %d s (%d threads)\n' "$label" \
        "$(awk -v kb="$rss" 'BEGIN { print kb / 1024 }')" "$((after - before))" "$seconds" \
        "$(ls /proc/"$server_pid"/task | wc -l)"
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=""
}

echo "== the idle server ($(basename "$build") build)"
measure "headless (--no-window)" --no-window -u DISPLAY -u WAYLAND_DISPLAY

# A private display: a number of its own from 200 on, the next one when it is taken.
if command -v Xvfb >/dev/null; then
    base=$((200 + $$ % 500))
    for number in $(seq "$base" $((base + 20))); do
        Xvfb ":$number" -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 \
            3>"$work/display" 2>/dev/null &
        xvfb_pid=$!
        for _ in $(seq 100); do
            [ -s "$work/display" ] && break
            kill -0 "$xvfb_pid" 2>/dev/null || break
            sleep 0.05
        done
        [ -s "$work/display" ] && break
        xvfb_pid=""
    done
    if [ -n "$xvfb_pid" ]; then
        measure "window hidden (Xvfb, no tray)" "" -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
            DISPLAY=":$(cat "$work/display")"
    else
        echo "server_footprint: no free display for Xvfb; window not measured"
    fi
else
    echo "server_footprint: Xvfb is not installed; window not measured"
fi
