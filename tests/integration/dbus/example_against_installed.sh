#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs libzemb-client into a scratch prefix, builds the example client against it through
# pkg-config, registers the stand-in server from a folder with a blank in its name, and lets
# a private bus start it on the example's first call. The stand-in ends on the last release.
#   example_against_installed.sh BUILD_DIR STANDIN_SERVER EXAMPLE_SOURCE [compiler flags...]
set -euo pipefail
build="$1"
standin="$2"
example="$3"
shift 3

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for component in client clientdev; do
    cmake --install "$build" --prefix "$work/prefix" --component "$component" >/dev/null
done
pc="$(dirname "$(find "$work/prefix" -name zemb-client.pc | head -n1)")"
export PKG_CONFIG_PATH="$pc"
libdir="$(pkg-config --variable=libdir zemb-client)"
# shellcheck disable=SC2046
"${CXX:-c++}" -std=c++20 "$@" "$example" $(pkg-config --cflags --libs zemb-client) \
    -Wl,-rpath,"$libdir" -o "$work/example"

# The CMake package finds the same library.
mkdir -p "$work/cmake-project"
cat >"$work/cmake-project/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(example CXX)
find_package(ZEMBClient REQUIRED)
add_executable(example "$example")
target_link_libraries(example PRIVATE ZEMB::zemb-client)
target_compile_options(example PRIVATE $*)
target_link_options(example PRIVATE $*)
CMAKE
cmake -S "$work/cmake-project" -B "$work/cmake-build" -G Ninja \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
test -x "$work/cmake-build/example"

mkdir -p "$work/server folder"
cp "$standin" "$work/server folder/zemb-standin"
export XDG_DATA_HOME="$work/data"
"$work/server folder/zemb-standin" -RegServer
service="$XDG_DATA_HOME/dbus-1/services/org.zemb.ZEMB.service"
grep -qx "Exec=\"$work/server folder/zemb-standin\" -Embedding" "$service"

dbus-run-session -- "$work/example" --listen 100 >"$work/out"
cat "$work/out"
grep -qx "EnumDevice 3" "$work/out"
grep -qx "WriteBuffer: status 0x00000000, Result True" "$work/out"
grep -qx "Disconnected 1" "$work/out"

"$work/server folder/zemb-standin" -UnregServer
test ! -e "$service"

# With ZEMB_SIM, ZEMB_SERVER and ZEMB_SIM_DEVICES set: the same example against the real server,
# started by bus activation inside the simulator's testbed, drives a simulated device: the
# bytes it writes come back as the device's echo.
if [[ -n "${ZEMB_SIM:-}" ]]; then
    mkdir -p "$work/config"
    export ZEMB_CONFIG_DIR="$work/config"
    "$ZEMB_SERVER" -RegServer
    "$ZEMB_SIM" --devices "$ZEMB_SIM_DEVICES" --control "$work/sim.sock" -- \
        dbus-run-session -- "$work/example" >"$work/device-out" # fails unless every call was S_OK
    cat "$work/device-out"
    grep -qx "ReadBuffer data: 10 20 30" "$work/device-out"
    "$ZEMB_SERVER" -UnregServer
fi
echo "example ok"
