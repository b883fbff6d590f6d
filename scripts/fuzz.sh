#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang and runs each of them for a bounded time.
#   scripts/fuzz.sh [--smoke] [seconds per target]
# --smoke runs each target for 10 s (CI); the default is 60 s each. Seed inputs are taken
# from tests/fuzz/corpus/<target name without fuzz_>/ when that folder exists.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
if [ "${1:-}" = "--smoke" ]; then
    seconds=10
    shift
fi
seconds="${1:-$seconds}"

scripts/deps.sh
cmake --preset fuzz >/dev/null
# Only the fuzz targets and what they link: the rest of the tree is built by the other presets.
mapfile -t targets < <(cmake --build --preset fuzz --target help | sed -n 's/^\(fuzz_[a-z_]*\): .*/\1/p')
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}"

status=0
for target in build/fuzz/fuzzers/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    work=$(mktemp -d)
    dirs=("$work")
    seeds="tests/fuzz/corpus/${name#fuzz_}"
    [ -d "$seeds" ] && dirs+=("$seeds")
    echo "fuzzing $name for ${seconds}s"
    if "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/" "${dirs[@]}" >"$work/log" 2>&1; then
        grep -E '^Done [0-9]+ runs' "$work/log" || true
        rm -rf "$work"
    else
        tail -n 40 "$work/log"
        echo "$name found a fault; its input is in $work"
        status=1
    fi
done
exit "$status"
