#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The house rules that a compiler does not check, on a configured and built preset
# (default: dev): layers one way down, sd-bus only in the bus layer, the client library
# exporting only its API, clang-format and clang-tidy clean.
#   scripts/check.sh [preset]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
build="build/$preset"
failed=0
fail() { printf 'check: %s\n' "$*" >&2; failed=1; }

# Layers, bottom-up: a folder includes only from itself and the folders before it.
layers=(base contract usb host bus server window)
for ((i = 0; i < ${#layers[@]}; i++)); do
    low=${layers[i]}
    [ -d "src/$low" ] || continue
    for ((j = i + 1; j < ${#layers[@]}; j++)); do
        high=${layers[j]}
        hits=$(git grep -lE "#include [\"<]$high/" -- "src/$low" || true)
        [ -z "$hits" ] || fail "src/$low includes src/$high: $hits"
    done
done
hits=$(git grep -lE '#include [<"](client|tools|tests)/' -- src || true)
[ -z "$hits" ] || fail "src includes from client, tools or tests: $hits"
# Nothing below the window uses Qt.
hits=$(git grep -lE '#include <Q' -- src ':!src/window' || true)
[ -z "$hits" ] || fail "Qt outside src/window: $hits"

# The same at the level of the libraries: no layer's library links one of a later layer.
cmake --graphviz="$build/layers.dot" "$build" >/dev/null
hits=$(awk '
    BEGIN { n = split("zemb_base zemb_contract zemb_usb zemb_host zemb_bus zemb_runtime zemb_serverobject", t)
            for (i = 1; i <= n; i++) rank[t[i]] = i
            rank["zemb_serverobject"] = rank["zemb_runtime"] }
    / -> / && /\/\/ / { sub(/.*\/\/ /, ""); split($0, e, " -> ")
        if ((e[1] in rank) && (e[2] in rank) && rank[e[2]] > rank[e[1]]) print e[1] " -> " e[2] }
' "$build/layers.dot" | sort -u)
[ -z "$hits" ] || fail "a layer links a later one: $hits"

# The window module takes the lower layers from zemb-server, which exports them: each symbol
# it leaves undefined must be in the executable or in a library of either (else it fails to load).
server="$build/src/server/zemb-server"
module="$build/src/server/zemb-server-window.so"
if [ -f "$module" ] && [ -f "$server" ]; then
    missing=$(comm -23 \
        <(nm -D --undefined-only "$module" | awk '$1 == "U" { sub(/@.*/, "", $2); print $2 }' | sort -u) \
        <({ echo "$server"; ldd "$server" "$module" | awk '$3 ~ /^\// { print $3 }'; } |
            xargs nm -D --defined-only | awk '{ sub(/@.*/, "", $3); print $3 }' | sort -u) | c++filt)
    [ -z "$missing" ] || fail "the window module needs what zemb-server does not export:
$missing"
fi

# sd-bus is called from the bus layer only.
hits=$(git grep -l 'sd_bus_' -- src client tools tests ':!src/bus' || true)
[ -z "$hits" ] || fail "sd-bus called outside src/bus: $hits"

# The client library exports its API and nothing else.
lib="$build/client/libzemb-client.so"
if [ -f "$lib" ]; then
    # Type A is the version script's node name, no symbol of the library.
    stray=$(nm -D --defined-only -C "$lib" | awk '$2 != "A" { $1 = ""; $2 = ""; print substr($0, 3) }' |
        grep -vE '(^|[ (<])ZEMB::' || true)
    [ -z "$stray" ] || fail "libzemb-client exports more than its API:
$stray"
fi

# Formatting, then the static checks of .clang-tidy with warnings as errors.
mapfile -t sources < <(git ls-files src client tools tests bench | grep -E '\.(cpp|h)$')
clang-format --dry-run --Werror "${sources[@]}" || fail "clang-format would change the files above"
mapfile -t units < <(git ls-files src client tools | grep -E '\.cpp$')
if ! run-clang-tidy -quiet -p "$build" -j "$(nproc)" \
    -extra-arg=-Wno-unknown-warning-option "${units[@]/#/$PWD/}" >"$build/clang-tidy.log" 2>&1; then
    grep -E 'warning:|error:' "$build/clang-tidy.log" >&2 || tail -20 "$build/clang-tidy.log" >&2
    fail "clang-tidy found the problems above"
fi

[ "$failed" -eq 0 ] && echo "check: layers, bus, exports, format and clang-tidy clean"
exit "$failed"
