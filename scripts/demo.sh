#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The server's main job on simulated devices: installs what the build needs, builds the dev
# preset, starts a private session bus when none is given, runs
#   zemb-sim --devices data/sim/demo.ini -- zemb-server --no-window
# in the background and walks one zemb-cli client through hook-up, enumeration, connect,
# open, a write and the read of its echo, traffic statistics, the tree and the communication
# log; then pulls a device out and plugs it back while the client watches, and ends everything
# it started.
# With --window, the server shows its window instead: scripts/screenshots.sh runs it on the same
# devices under a private Xvfb display with a notification area, a client connected, and saves
# pictures of the window, its menu and dialogs into docs/screenshots.
#   scripts/demo.sh [--no-build] [--window]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=1
window=0
for arg in "$@"; do
    case "$arg" in
    --no-build) build=0 ;;
    --window) window=1 ;;
    -h | --help)
        sed -n '3,13p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "demo.sh: unknown argument $arg" >&2
        exit 2
        ;;
    esac
done

if [ "$window" = 1 ]; then
    if [ "$build" = 1 ]; then
        exec scripts/screenshots.sh
    fi
    exec scripts/screenshots.sh --no-build
fi

# Without a session bus of our own, run again inside a private one that ends with us.
if [ -z "${ZEMB_DEMO_BUS:-}" ]; then
    if [ "$build" = 1 ]; then
        scripts/deps.sh
        cmake --preset dev >/dev/null
        cmake --build --preset dev -j "$(nproc)" --target zemb-server zemb-sim zemb-cli
    fi
    if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
        echo "== private session bus"
        exec env ZEMB_DEMO_BUS=private dbus-run-session -- "$0" --no-build
    fi
    export ZEMB_DEMO_BUS=given
fi

# ZEMB_BUILD_DIR: the build folder whose programs run (default build/dev).
bin="${ZEMB_BUILD_DIR:-$root/build/dev}"
server="$bin/src/server/zemb-server"
sim="$bin/tools/zemb-sim/zemb-sim"
cli="$bin/tools/zemb-cli/zemb-cli"
for program in "$server" "$sim" "$cli"; do
    if [ ! -x "$program" ]; then
        echo "demo.sh: $program is missing; run without --no-build" >&2
        exit 1
    fi
done

# Everything the demo writes lives in one temporary folder: the registration files, the
# simulator's control socket, the server's log and its settings folder.
work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-demo-XXXXXX")
export XDG_DATA_HOME="$work/data"
export ZEMB_CONFIG_DIR="$work/config/"
mkdir -p "$ZEMB_CONFIG_DIR"
# Two connections may share an opened device in this demo.
printf '[General]\nEnableSharedAccess=1\n' >"$ZEMB_CONFIG_DIR/FENWY.INI"
control="$work/zemb-sim.sock"
server_log="$work/server.log"
sim_pid=""
monitor_pid=""

finish() {
    local status=$?
    if [ -n "$monitor_pid" ]; then
        kill -TERM "$monitor_pid" 2>/dev/null || true
        wait "$monitor_pid" 2>/dev/null || true
    fi
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        # zemb-sim passes the signal on to the server and ends with it.
        for _ in $(seq 100); do
            kill -0 "$sim_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== starting: zemb-sim --devices data/sim/demo.ini -- zemb-server --no-window"
"$sim" --devices "$root/data/sim/demo.ini" --control "$control" -- "$server" --no-window \
    >"$server_log" 2>&1 &
sim_pid=$!

# Bounded wait until the server owns its name on the bus.
up=0
for _ in $(seq 150); do
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        break
    fi
    if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.zemb.ZEMB 2>/dev/null | grep -q 'true'; then
        up=1
        break
    fi
    sleep 0.1
done
if [ "$up" != 1 ]; then
    echo "demo.sh: the server did not come up on the bus; its output:" >&2
    cat "$server_log" >&2
    exit 1
fi
echo "== org.zemb.ZEMB is on the bus (zemb-sim pid $sim_pid)"

echo "== simulated devices"
"$sim" ctl --control "$control" list

echo "== one client, one session of calls (zemb-cli shell)"
"$cli" shell --echo --stop-on-error <<'EOF'
# Register, list the devices through the client's sink, find a Fenwy box and use it.
hookup --exe zemb-demo
devices
first fenwy --mode shared
info
connect --mode shared
open
write 10 20 30 40
read 4
write 55 aa
read 2
stats
buffer-size
tree
close
disconnect
unhook
# What an operator sees of all this: the communication log.
log
EOF

echo "== a device pulled out and plugged back while a client watches (zemb-cli monitor)"
monitor_log="$work/monitor.log"
"$cli" monitor --connect --for 8000 >"$monitor_log" 2>&1 &
monitor_pid=$!
# Bounded wait until the monitor watches, then pull the Fenwy box and plug it back.
for _ in $(seq 100); do
    grep -q '^Monitoring' "$monitor_log" && break
    sleep 0.1
done
"$sim" ctl --control "$control" unplug fenwy
for _ in $(seq 50); do
    grep -q '^DeviceRemoved' "$monitor_log" && break
    sleep 0.1
done
"$sim" ctl --control "$control" plug fenwy
for _ in $(seq 50); do
    grep -q '^DeviceAdded' "$monitor_log" && break
    sleep 0.1
done
kill -INT "$monitor_pid" 2>/dev/null || true
wait "$monitor_pid" || true
monitor_pid=""
cat "$monitor_log"

echo "== the devices after the Fenwy box came back"
"$cli" devices

echo "== done; ending the server"
kill -TERM "$sim_pid"
wait "$sim_pid" && status=0 || status=$?
sim_pid=""
echo "zemb-server ended with status $status"
