#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The bash completion that the build writes for zemb-cli: registered for zemb-cli, it offers
# commands that zemb-cli takes (each answers its --help), among them those of every group, and
# completes a command's options and the identifiers of its values.
#   completion_test.sh COMPLETION ZEMB_CLI
set -uo pipefail
completion=$1
cli=$2
# shellcheck source=/dev/null
source "$completion"
fail=0
check() {
    if ! "$@"; then
        echo "completion_test: failed: $*" >&2
        fail=1
    fi
}
# The words offered for the last word of a command line.
offered() {
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _zemb_cli
    printf '%s\n' "${COMPREPLY[@]}"
}
has() { grep -qx -- "$2" <<<"$1"; }

check grep -q -- '-F _zemb_cli zemb-cli' <<<"$(complete -p zemb-cli)"
top=$(offered zemb-cli '')
for command in hookup devices connect write read session tree monitor log shell; do
    check has "$top" "$command"
done
check has "$top" --json
for command in $(grep -v '^-' <<<"$top"); do
    check "$cli" "$command" --help >/dev/null
done
check test "$(offered zemb-cli --json wr)" = write
check test "$(offered zemb-cli first --mode '')" = "$(printf 'cmExclusive\ncmShared')"
check has "$(offered zemb-cli devices --type '')" dtFenwy
check has "$(offered zemb-cli session '')" end
check has "$(offered zemb-cli log --f)" --follow
check test -z "$(offered zemb-cli --client '')"
[ "$fail" -eq 0 ] && echo "completion_test: zemb-cli's completion offers its commands and values"
exit "$fail"
