#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The clients in other languages under examples/ against the real server on simulated devices,
# on a private session bus of their own: the Python client's whole session up to Disconnected
# when the simulator pulls its device out, and the shell example's calls.
#   examples_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1
build_dir=$2
if [ -z "${ZEMB_EXAMPLES_BUS:-}" ]; then
    exec env -u DBUS_SESSION_BUS_ADDRESS ZEMB_EXAMPLES_BUS=1 dbus-run-session -- "$0" "$@"
fi
# Debian's Python, which python3-dbus and python3-gi belong to.
python=${ZEMB_PYTHON:-/usr/bin/python3}
sim="$build_dir/tools/zemb-sim/zemb-sim"
server="$build_dir/src/server/zemb-server"

work=$(mktemp -d "${TMPDIR:-/tmp}/zemb-examples-XXXXXX")
export XDG_DATA_HOME="$work/data" ZEMB_CONFIG_DIR="$work/config/"
mkdir -p "$ZEMB_CONFIG_DIR"
control="$work/zemb-sim.sock"
sim_pid=""
client_pid=""
finish() {
    for pid in $client_pid $sim_pid; do
        kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    done
    rm -rf "$work"
}
trap finish EXIT
fail=0
check() {
    if ! "$@"; then
        echo "examples_test: failed: $*" >&2
        fail=1
    fi
}
# Bounded wait until a command succeeds.
wait_for() {
    for _ in $(seq 150); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

"$sim" --devices "$source_dir/data/sim/demo.ini" --control "$control" -- "$server" --no-window \
    >"$work/server.log" 2>&1 &
sim_pid=$!
if ! wait_for busctl --user status org.zemb.ZEMB >/dev/null 2>&1; then
    echo "examples_test: the server did not come up; its output:" >&2
    cat "$work/server.log" >&2
    exit 1
fi

echo "== examples/python/zemb_client.py"
"$python" "$source_dir/examples/python/zemb_client.py" --wait 30 >"$work/python.log" 2>&1 &
client_pid=$!
check wait_for grep -q '^Waiting for Disconnected' "$work/python.log"
check "$sim" ctl --control "$control" unplug fenwy
wait "$client_pid"
status=$?
client_pid=""
cat "$work/python.log"
check test "$status" -eq 0
for line in "ClientAppID: 1" "DevID: 3  FriendlyName: Fenwy Link (simulated)  SerialNumber: 20401234" \
    "WriteCount: 4  ReadData: 10 20 30 40" "DeviceRemoved DevID 3" "Disconnected ConnectID 0" "done"; do
    check grep -qxF -- "$line" "$work/python.log"
done

echo "== examples/shell/zemb-busctl.sh"
output=$("$source_dir/examples/shell/zemb-busctl.sh" 2>&1)
status=$?
echo "$output"
check test "$status" -eq 0
check grep -qF 'GetDeviceTree' <<<"$output"
check grep -qE '^o "/org/zemb/ZEMB/objects/[0-9]+"' <<<"$output"
check grep -qF '"DevType: dtMirel"' <<<"$output"
check grep -qF "'DevType: dtMirel'" <<<"$output"
check grep -qE '^tt?as? [0-9]+ [0-9]+ [0-9]+ "' <<<"$output"
exit "$fail"
