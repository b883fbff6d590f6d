#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the optimised benchmarks and runs them on a private session bus, the server on
# simulated devices; then the idle server's resident memory and wake-ups, headless and with its
# window hidden on a private Xvfb display (bench/server_footprint.sh).
#   scripts/bench.sh [benchmark arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target zemb-bench zemb-server zemb-sim
XDG_DATA_HOME="$(mktemp -d)"
export XDG_DATA_HOME ZEMB_CONFIG_DIR="$XDG_DATA_HOME"
trap 'rm -rf "$XDG_DATA_HOME"' EXIT
dbus-run-session -- build/bench/bench/zemb-bench "$@"
dbus-run-session -- bench/server_footprint.sh build/bench
