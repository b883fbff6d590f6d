#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes the bash completion of zemb-cli from its own help: the subcommands and global options
# of `zemb-cli --help`, each subcommand's options and choices from `zemb-cli SUB --help`, and
# the TYPE and MODE identifiers it lists. So the completion knows every command the program has.
#   make-zemb-cli-completion.sh ZEMB_CLI > zemb-cli
set -eu
cli=$1
help=$("$cli" --help)

words() { awk '$1 ~ /^-/ { n = split($1, o, ","); for (i = 1; i <= n; i++) printf "%s ", o[i] }'; }
# The options followed by a value ("--client INT", "-c,--connection INT").
valued() { awk '$1 ~ /^-/ && $2 ~ /^[A-Z][A-Z0-9_]*(:|$)/ { n = split($1, o, ","); for (i = 1; i <= n; i++) print o[i] }'; }
commands=$(printf '%s\n' "$help" | awk '/^Subcommands:/ { on = 1; next } on && /^[^ ]/ { on = 0 }
    on && $1 ~ /^[a-z]/ { printf "%s ", $1 }')
globals=$(printf '%s\n' "$help" | sed -n '/^Options:/,/^Subcommands:/p' | words)
# "  TYPE: dtNotRecognized, dtBrisk, ... (or ...)" -> the identifiers before "(or".
values() {
    printf '%s\n' "$help" | sed -n "s/^  $1: *//p" | sed 's/ *(or.*//; s/,/ /g' | tr -s ' '
}
types=$(values TYPE)
modes=$(values MODE)
all_help=$(
    printf '%s\n' "$help"
    for command in $commands; do "$cli" "$command" --help; done
)
value_options=$(printf '%s\n' "$all_help" | valued | grep -vxE -- '--mode|--type' | sort -u |
    paste -sd '|' - | sed 's/|/ | /g')

cat <<HEAD
# bash completion for zemb-cli. Generated from zemb-cli --help by
# make-zemb-cli-completion.sh; do not edit.
_zemb_cli() {
    local cur=\${COMP_WORDS[COMP_CWORD]} prev=\${COMP_WORDS[COMP_CWORD - 1]}
    local commands="${commands% }"
    local command="" i words
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        case " \$commands " in
        *" \${COMP_WORDS[i]} "*)
            command=\${COMP_WORDS[i]}
            break
            ;;
        esac
    done
    case \$prev in
    --mode)
        COMPREPLY=(\$(compgen -W "$modes" -- "\$cur"))
        return
        ;;
    --type)
        # A device type for devices and first; a client application type for hookup.
        case \$command in devices | first) COMPREPLY=(\$(compgen -W "$types" -- "\$cur")) ;; esac
        return
        ;;
    $value_options)
        return
        ;;
    esac
    case \$command in
    "") words="${globals}\$commands" ;;
HEAD
for command in $commands; do
    sub=$("$cli" "$command" --help)
    options=$(printf '%s\n' "$sub" | sed -n '/^Options:/,$p' | words)
    # Choices of a positional ("ACTION TEXT:{start,end}"), and the identifiers of TYPE.
    choices=$(printf '%s\n' "$sub" | sed -n '/^Positionals:/,/^Options:/p' |
        sed -n 's/.*:{\([^}]*\)}.*/\1/p' | tr ',' ' ')
    if printf '%s\n' "$sub" | sed -n '/^Positionals:/,/^Options:/p' | grep -q '^  TYPE '; then
        choices="$choices $types"
    fi
    printf '    %s) words="%s" ;;\n' "$command" "$(echo $options $choices)"
done
cat <<'TAIL'
    esac
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _zemb_cli zemb-cli
TAIL
