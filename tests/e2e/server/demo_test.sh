#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs scripts/demo.sh without building, with the programs of one build folder, and checks
# that its output holds the lines of every step.
#   demo_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
source_dir=$1
build_dir=$2

output=$(env -u DBUS_SESSION_BUS_ADDRESS ZEMB_BUILD_DIR="$build_dir" \
    timeout 150 "$source_dir/scripts/demo.sh" --no-build 2>&1)
status=$?
echo "$output"
if [ "$status" -ne 0 ]; then
    echo "demo_test: demo.sh ended with status $status" >&2
    exit 1
fi

expected=(
    "== org.zemb.ZEMB is on the bus"
    "ClientAppID: 1"
    "DevID: 3  dtFenwy  ddWinUSB_ST  Firmware: 02.04  SerialNumber: 20401234"
    "ConnectID: 0"
    "OpenDevice (ConnectID 0): ok"
    "WriteCount: 4"
    "ReadData: 10 20 30 40"
    "ReadData: 55 aa"
    "TotalWriteCount: 6"
    "TotalReadCount: 6"
    "      ClientAppExeName: zemb-demo"
    "DisconnectDevice (ConnectID 0): ok"
    "UnhookClientApp (ClientAppID 1): ok"
    "TrafficStats (ConnectID 0): W: 6  R: 6"
    "ReadBuffer 2:2  ok"
    "UnhookClientApp (ClientAppID: 1)"
    "DeviceRemoved DevID 3"
    "Disconnected ConnectID"
    "Reconnected ConnectID"
    "DeviceAdded DevID 3"
    "zemb-server ended with status 0"
)
missing=0
for line in "${expected[@]}"; do
    if ! grep -qF -- "$line" <<<"$output"; then
        echo "demo_test: missing line: $line" >&2
        missing=1
    fi
done
exit "$missing"
