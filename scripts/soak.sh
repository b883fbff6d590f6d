#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soak run: 8 clients at once, each with a simulated Fenwy of its own, each making N round trips
# of 64 bytes through zemb-server and checking every byte of every echo; prints the server's
# resident memory before and after. Runs on a private session bus with its own scratch folder.
#   scripts/soak.sh [N] [--no-build]      (N: round trips per client, default 2000)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

trips=2000
build=1
for arg in "$@"; do
    case "$arg" in
    --no-build) build=0 ;;
    -h | --help)
        sed -n '3,6p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *[!0-9]* | '')
        echo "soak.sh: unknown argument $arg" >&2
        exit 2
        ;;
    *) trips=$arg ;;
    esac
done

if [ -z "${ZEMB_SOAK_BUS:-}" ]; then
    if [ "$build" = 1 ]; then
        scripts/deps.sh
        cmake --preset dev >/dev/null
        cmake --build --preset dev -j "$(nproc)" --target zemb-server zemb-sim zemb_soak_client
    fi
    exec env ZEMB_SOAK_BUS=private dbus-run-session -- "$0" "$trips" --no-build
fi

bin="${ZEMB_BUILD_DIR:-$root/build/dev}"
server="$bin/src/server/zemb-server"
sim="$bin/tools/zemb-sim/zemb-sim"
client="$bin/tests/e2e/server/zemb_soak_client"
work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-soak-XXXXXX")
export XDG_DATA_HOME="$work/data" ZEMB_CONFIG_DIR="$work/config/"
mkdir -p "$ZEMB_CONFIG_DIR"
sim_pid=""
finish() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT

devices="$work/devices.ini"
for i in 1 2 3 4 5 6 7 8; do
    printf '[fenwy%d]\nDriver=winusb_st\nVendorId=0483\nProductId=a7f1\nInstance=FWY00004%d007\nFirmware=2.04\nRamSize=0x0900\nSerialNumber=2040%04d\n\n' \
        "$i" "$i" "$i"
done >"$devices"

"$sim" --devices "$devices" --control "$work/sim.sock" -- "$server" --no-window \
    >"$work/server.log" 2>&1 &
sim_pid=$!
server_pid=""
for _ in $(seq 200); do
    server_pid=$(pgrep -P "$sim_pid" -x zemb-server || true)
    if [ -n "$server_pid" ] && busctl --user status org.zemb.ZEMB >/dev/null 2>&1; then
        break
    fi
    sleep 0.1
done
if [ -z "$server_pid" ]; then
    echo "soak.sh: the server did not start" >&2
    cat "$work/server.log" >&2
    exit 1
fi
rss() { awk '/^VmRSS/ { print $2 " kB" }' "/proc/$server_pid/status"; }

echo "== 8 clients x $trips round trips of 64 bytes on 8 simulated devices"
echo "server resident memory before: $(rss)"
start=$(date +%s.%N)
pids=()
for i in 0 1 2 3 4 5 6 7; do
    "$client" "$i" "$trips" &
    pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
done
end=$(date +%s.%N)
echo "server resident memory after:  $(rss)"
awk -v s="$start" -v e="$end" -v n=$((8 * trips)) \
    'BEGIN { printf "%d round trips in %.1f s (%.0f per second)\n", n, e - s, n / (e - s) }'
if [ "$failed" != 0 ] || ! kill -0 "$server_pid" 2>/dev/null; then
    echo "soak.sh: FAILED" >&2
    exit 1
fi
echo "soak: every byte of every echo came back"
