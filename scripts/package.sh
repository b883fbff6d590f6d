#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages (zemb, libzemb-client1, libzemb-client-dev, zemb-sim) from the
# package preset (release, prefix /usr, Debian's hardening flags) in build/package, puts them
# in build/package/debs and checks them with lintian: any error fails the run.
#   scripts/package.sh [--no-deps]
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --no-deps ]; then
    scripts/deps.sh
fi

build=build/package
# Debian's hardening, all of it: stack protector, fortified functions, read-only relocations,
# bind now. Given on the command line so that a build folder made before takes them too.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)
flags=(
    "-DCMAKE_C_FLAGS=$(dpkg-buildflags --get CFLAGS) $cppflags"
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $cppflags"
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags"
    "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags"
)
# Reuse the compiler cache when there is one (CI keeps it between runs).
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake --preset package "${flags[@]}" "${launcher[@]}" >/dev/null
cmake --build --preset package -j "$(nproc)"

rm -rf "$build/debs"
(cd "$build" && cpack -G DEB -B "$PWD/debs" >/dev/null)
rm -rf "$build/debs/_CPack_Packages"
ls -1 "$build"/debs/*.deb

# lintian's errors fail the run; its warnings are printed.
lintian --fail-on error --tag-display-limit 0 "$build"/debs/*.deb
echo "package: $(ls "$build"/debs/*.deb | wc -l) packages in $build/debs, no lintian error"
