#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs one build into a staging folder and checks that D-Bus activation and the systemd
# user unit point at the zemb-server that the installation holds.
#   install_test.sh BUILD_DIR
set -euo pipefail
build_dir=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build_dir" >/dev/null
service=$(find "$stage" -path '*/share/dbus-1/services/org.zemb.ZEMB.service')
unit=$(find "$stage" -path '*/lib/systemd/user/zemb-server.service')
fail=0
check() {
    if ! "$@"; then
        echo "install_test: failed: $*" >&2
        fail=1
    fi
}
check test -n "$service"
check test -n "$unit"
exec_line=$(grep '^Exec=' "$service")
server=${exec_line#Exec=}
server=${server% -Embedding}
check test -x "$stage$server"
check grep -qx 'Name=org.zemb.ZEMB' "$service"
check grep -qx 'SystemdService=zemb-server.service' "$service"
check grep -qx 'Type=dbus' "$unit"
check grep -qx 'BusName=org.zemb.ZEMB' "$unit"
check grep -qx "ExecStart=$server -Embedding --no-window" "$unit"
check test -x "$stage${server%/zemb-server}/zemb-cli"
check test -n "$(find "$stage" -path '*/udev/rules.d/*.rules')"
exit "$fail"
