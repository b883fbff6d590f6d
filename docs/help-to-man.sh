#!/bin/sh
# SPDX-License-Identifier: MIT
# A manual page from a program's --help that is laid out as one (zemb-sim's): headings in
# column 0 become sections, the indented text under them stays as it is printed.
#   help-to-man.sh PROGRAM NAME SECTION VERSION
set -eu
program=$1 name=$2 section=$3 version=$4
"$program" --help | awk -v name="$name" -v section="$section" -v version="$version" '
function escape(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.\047]/) s = "\\&" s
    return s
}
BEGIN {
    printf ".TH %s %s \"\" \"%s\" \"User Commands\"\n", toupper(name), section, version
}
/^[^ \t]/ {
    if (filled) print ".fi"
    filled = 0
    heading = $0
    printf ".SH %s\n", escape(heading)
    if (heading != "NAME") { print ".nf"; filled = 1 }
    started = 0
    next
}
{
    sub(/^    /, "")
    if (heading == "NAME") {
        if ($0 != "") print escape($0)
        next
    }
    # Blank lines between sections are left out, those within a section kept.
    if ($0 == "") { pending++; next }
    if (started) while (pending-- > 0) print ""
    pending = 0
    started = 1
    print escape($0)
}
END { if (filled) print ".fi" }
'
