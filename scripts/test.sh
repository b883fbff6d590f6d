#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what the build needs, then configures, builds and runs every test of one preset
# (default: dev) on a private session bus.
#   scripts/test.sh [dev|asan] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-dev}"
shift || true

scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
# The tests register servers and write logs: never into the user's own data folder.
XDG_DATA_HOME="$(mktemp -d)"
export XDG_DATA_HOME
trap 'rm -rf "$XDG_DATA_HOME"' EXIT
# Every D-Bus test talks to a bus of its own, never to the user's session bus. The umockdev
# preload is in place for every test; it stays passive until a test creates a testbed.
dbus-run-session -- umockdev-wrapper ctest --preset "$preset" -j "$(nproc)" "$@"
