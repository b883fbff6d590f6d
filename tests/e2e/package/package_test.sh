#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages that scripts/package.sh made, unpacked into a scratch root: each holds
# exactly the files of expected-files.txt; the control data ties them together (same version,
# the library's shlibs and ldconfig trigger, the udev reload, the conffile); the D-Bus service
# file and the systemd user unit start the zemb-server that the package installs; the installed
# programs run from the root. (The pages and the completion are checked in the build tree,
# zemb_man_pages and zemb_cli_completion; a client built against the installed library by
# tests/integration/dbus/example_against_installed.sh.)
#   package_test.sh DEBS_DIR
set -uo pipefail

debs=$1
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d "${TMPDIR:-/tmp}/zemb-package-XXXXXX")
trap 'rm -rf "$root"' EXIT
fail=0
check() {
    if ! "$@"; then
        echo "package_test: failed: $*" >&2
        fail=1
    fi
}
has_line() { grep -qxF -- "$2" "$1"; }

mapfile -t packages < <(ls "$debs"/*.deb 2>/dev/null)
if [ ${#packages[@]} -eq 0 ]; then
    echo "package_test: no packages in $debs (scripts/package.sh makes them)" >&2
    exit 1
fi
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$multiarch
declare -A deb
for package in "${packages[@]}"; do
    name=$(dpkg-deb -f "$package" Package)
    deb[$name]=$package
    dpkg -x "$package" "$root"
    dpkg-deb -e "$package" "$root/DEBIAN-$name"
    # Files and links, without the folders: "PACKAGE PATH".
    dpkg-deb -c "$package" | awk -v p="$name" '$1 !~ /^d/ { sub(/^\.\//, "", $6); print p, $6 }'
done >"$root/files"
sort "$root/files" >"$root/actual-files"
sed -e '/^#/d' -e "s|LIBDIR|$libdir|" "$here/expected-files.txt" | sort >"$root/expected-files"
if ! diff -u "$root/expected-files" "$root/actual-files"; then
    echo "package_test: the packages' files differ from expected-files.txt (- expected, + found)" >&2
    fail=1
fi

# Control data.
version=$(dpkg-deb -f "${deb[zemb]}" Version)
for name in "${!deb[@]}"; do
    check test "$(dpkg-deb -f "${deb[$name]}" Version)" = "$version"
done
check grep -qF "libzemb-client1 (= $version)" <<<"$(dpkg-deb -f "${deb[zemb]}" Depends)"
check grep -qF "libzemb-client1 (= $version)" <<<"$(dpkg-deb -f "${deb[libzemb-client-dev]}" Depends)"
check grep -qF "libqt6widgets6" <<<"$(dpkg-deb -f "${deb[zemb]}" Depends)"
check grep -qF "umockdev" <<<"$(dpkg-deb -f "${deb[zemb-sim]}" Depends)"
check has_line "$root/DEBIAN-libzemb-client1/shlibs" "libzemb-client 1 libzemb-client1 (>= $version)"
check has_line "$root/DEBIAN-libzemb-client1/triggers" "activate-noawait ldconfig"
check has_line "$root/DEBIAN-zemb/conffiles" "/etc/xdg/autostart/zemb-server.desktop"
for script in postinst postrm; do
    check test -x "$root/DEBIAN-zemb/$script"
    check grep -q 'udevadm control --reload-rules' "$root/DEBIAN-zemb/$script"
done

# Activation: the service file and the unit name the installed server.
service=$root/usr/share/dbus-1/services/org.zemb.ZEMB.service
unit=$root/usr/lib/systemd/user/zemb-server.service
check has_line "$service" "Name=org.zemb.ZEMB"
check has_line "$service" "Exec=/usr/bin/zemb-server -Embedding"
check has_line "$service" "SystemdService=zemb-server.service"
check has_line "$unit" "Type=dbus"
check has_line "$unit" "BusName=org.zemb.ZEMB"
check has_line "$unit" "ExecStart=/usr/bin/zemb-server -Embedding --no-window"
check has_line "$root/etc/xdg/autostart/zemb-server.desktop" "Exec=zemb-server"
check has_line "$root/usr/share/applications/zemb-server.desktop" "Exec=zemb-server"
check grep -q 'TAG+="uaccess"' "$root/usr/lib/udev/rules.d/70-zemb-link.rules"

# The installed programs, from the root.
export LD_LIBRARY_PATH="$root/$libdir"
check grep -qx "zemb-server $version" <<<"$("$root/usr/bin/zemb-server" --version)"
check grep -q '^Usage: zemb-cli' <<<"$("$root/usr/bin/zemb-cli" --help)"
check grep -q '^    zemb-sim --devices FILE' <<<"$("$root/usr/bin/zemb-sim" --help)"

[ "$fail" -eq 0 ] && echo "package_test: ${#packages[@]} packages as expected"
exit "$fail"
