#!/usr/bin/env bash
# The bash completion offers exactly the commands and options mova-update --help names, and
# firmware files by their .hex ending: run through bash-completion as an interactive shell
# would.
set -uo pipefail
completion=$1 mova_update=$2
bash_completion=/usr/share/bash-completion/bash_completion
[ -r "$bash_completion" ] || { echo "bash-completion is not installed"; exit 1; }

help=$("$mova_update" --help) || { echo "mova-update --help failed"; exit 1; }
commands=$(sed -n '/^commands:/,/^options:/p' <<<"$help" | awk '/^  [a-z]/ { print $1 }' | sort)
options=$(sed -n '/^options:/,/^[^ ]/p' <<<"$help" | awk '/^  --/ { print $1 }' | sort)

files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
touch "$files/image.hex" "$files/table.tra"

# Prints the completion's offers for a command line whose last word is being completed.
offers() {
    bash --norc --noprofile -c '
        source "$1"; source "$2"; shift 2
        COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
        _mova_update mova-update "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$bash_completion" "$completion" "$@"
}

status=0
expect() {
    local what=$1 want=$2 got=$3
    if [ "$got" = "$want" ]; then echo "ok      $what"; else
        echo "WRONG   $what"; diff <(echo "$want") <(echo "$got"); status=1
    fi
}
expect "commands as --help names them" "$commands" "$(offers mova-update '')"
expect "options as --help names them" "$options" "$(offers mova-update '-')"
expect "options after a command" "$options" "$(offers mova-update --yes update --)"
expect "commands after an option's value" "$commands" "$(offers mova-update --report x.csv --count 2 '')"
expect "--firmware: .hex files only" "$files/image.hex" "$(offers mova-update --firmware "$files/")"
expect "--table: any file" "$(printf '%s\n' "$files/image.hex" "$files/table.tra")" \
       "$(offers mova-update --table "$files/")"
expect "image-info FILE: .hex files" "$files/image.hex" "$(offers mova-update image-info "$files/")"
expect "nothing after image-info's file" "" "$(offers mova-update image-info "$files/image.hex" '')"
exit $status
