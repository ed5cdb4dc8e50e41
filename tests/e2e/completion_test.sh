#!/usr/bin/env bash
# The bash completion in a real bash: names with spaces come back as one
# word each (escaped for the command line), --name=value completes the value,
# and every option of --help is offered.
# Usage: completion_test.sh REPO [FWUTIL]
set -uo pipefail
repo=$1
fwutil=${2:-}
work=$(mktemp -d /tmp/fwutil-completion.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0

# shellcheck source=/dev/null
source "$repo/completion/fwutil"
# shellcheck source=/dev/null
source "$repo/completion/fwsim"

# complete FUNCTION WORD... : COMPREPLY for the last word
complete_words() {
    local fn=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$fn"
}

expect() { # expect WHAT EXPECTED...: COMPREPLY holds exactly these words
    local what=$1
    shift
    local got expected
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort)
    expected=$(printf '%s\n' "$@" | sort)
    if [[ $got != "$expected" ]]; then
        printf 'FAIL: %s\n  expected: %s\n  got:      %s\n' "$what" "$(echo "$expected" | paste -sd'|')" \
            "$(echo "$got" | paste -sd'|')"
        failures=$((failures + 1))
    else
        printf 'ok: %s\n' "$what"
    fi
}

export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
mkdir -p "$XDG_CONFIG_HOME/fwutil" "$XDG_DATA_HOME/fwutil/firmware/line two" "$work/cwd"
touch "$XDG_CONFIG_HOME/fwutil/bench adapter.reg" "$XDG_CONFIG_HOME/fwutil/usb.reg"
touch "$work/cwd/my station.reg" "$work/cwd/notes.txt"
cd "$work/cwd" || exit 1

complete_words _fwutil fwutil --profile bench
expect "a profile name with a space is one word" 'bench\ adapter'
complete_words _fwutil fwutil --profile my
expect "a profile file with a space is one word" 'my\ station.reg'
complete_words _fwutil fwutil --profile = u
expect "--profile=VALUE completes the value" usb
complete_words _fwutil fwutil --firmware li
expect "a firmware set name with a space is one word" 'line\ two'
complete_words _fwutil fwutil --report 'my st'
expect "--report completes any file, spaces kept" 'my\ station.reg'

if [[ -n $fwutil && -x $fwutil ]]; then
    complete_words _fwutil fwutil -
    missing=""
    for option in $("$fwutil" --help | grep -oE -- '--[a-z][a-z-]+' | sort -u); do
        printf '%s\n' "${COMPREPLY[@]}" | grep -qx -- "$option" || missing+=" $option"
    done
    if [[ -n $missing ]]; then
        echo "FAIL: options of --help not offered:$missing"
        failures=$((failures + 1))
    else
        echo "ok: every option of fwutil --help is offered"
    fi
fi

echo "$failures failed"
[[ $failures -eq 0 ]]
