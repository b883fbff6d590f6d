#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the optimised benchmarks and prints the server's figures as one table, each a ratio
# against a baseline run beside it in the same run, on a private session bus with the server
# on simulated devices (bench/figures.ini); then the idle server's resident memory and
# wake-ups, headless and with its window hidden on a private Xvfb display
# (bench/server_footprint.sh).
#   scripts/bench.sh [REPETITIONS [FIGURE...]]  the table (default: medians of 3) and the
#                                             footprint; FIGUREs (throughput pair call churn
#                                             idle) take only those, without the footprint
#   scripts/bench.sh --micro [ARGS...]      the per-function micro-benchmarks instead
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
-h | --help)
    sed -n '3,11p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
esac

scripts/deps.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)" --target zemb-bench zemb-figures zemb-server zemb-sim
XDG_DATA_HOME="$(mktemp -d)"
export XDG_DATA_HOME ZEMB_CONFIG_DIR="$XDG_DATA_HOME"
trap 'rm -rf "$XDG_DATA_HOME"' EXIT
if [ "${1:-}" = "--micro" ]; then
    shift
    exec dbus-run-session -- build/bench/bench/zemb-bench "$@"
fi
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)," \
     "$(uname -sr), load $(cut -d' ' -f1-3 /proc/loadavg)"
dbus-run-session -- build/bench/tools/zemb-sim/zemb-sim --devices bench/figures.ini -- \
    build/bench/bench/zemb-figures "${1:-3}" "${@:2}"
[ $# -gt 1 ] || dbus-run-session -- bench/server_footprint.sh build/bench
