#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libsystemd-dev libudev-dev libusb-1.0-0-dev
    umockdev libumockdev-dev gir1.2-umockdev-1.0 libglib2.0-dev
    libsimpleini-dev libcli11-dev
    dbus dbus-daemon libglib2.0-bin
    clang-format clang-tidy binutils
    libxcb1-dev libxcb-ewmh-dev xvfb openbox
    qt6-base-dev libqt6svg6
    trayer
    xdotool
    imagemagick
    x11-utils
    dpkg-dev
    fakeroot
    file
    lintian
    help2man
    go-md2man
    python3-dbus
    python3-gi
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
