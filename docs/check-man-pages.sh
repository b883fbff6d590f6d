#!/bin/sh
# SPDX-License-Identifier: MIT
# Formats each manual page as man does and fails on any warning, or on a page whose NAME
# line lacks the "name \- what it does" form that apropos and whatis read.
#   check-man-pages.sh PAGE...
set -u
status=0
for page in "$@"; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        printf '%s:\n%s\n' "$page" "$warnings" >&2
        status=1
    fi
    if ! lexgrog "$page" >/dev/null 2>&1; then
        echo "$page: no whatis entry" >&2
        status=1
    fi
done
[ "$status" -eq 0 ] && echo "check-man-pages: $# pages without warnings"
exit "$status"
