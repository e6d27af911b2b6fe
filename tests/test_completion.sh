#!/usr/bin/env bash
# Holds data/completion/kelvaro.bash (plain bash, and bash-completion when installed) to what
# the program's help names; zsh, when installed, parses _kelvaro. Usage: test_completion.sh PROGRAM
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd) || exit 1
program=${1:?usage: test_completion.sh PROGRAM}
library=${KELVARO_TEST_BASH_COMPLETION:-/usr/share/bash-completion/bash_completion}
workspace=$(mktemp -d) || exit 1
trap 'rm -rf "$workspace"' EXIT

# A serial device and its by-id name, a by-id name of a device that is gone, two ttys that are no
# serial lines; parameter files (one in capitals), another file and a folder.
dev=$workspace/dev files=$workspace/files
export KELVARO_COMPLETION_DEVICES=$dev
mkdir -p "$dev/serial/by-id" "$files/sub" || exit 1
touch "$dev"/{ttyUSB0,tty0,null} "$files"/{set.dat,CURVE.DAT,notes.txt} || exit 1
ln -s ../../ttyUSB0 "$dev/serial/by-id/usb-FTDI-if00" || exit 1
ln -s ../../ttyUSB1 "$dev/serial/by-id/usb-gone-if00" || exit 1

options_of() { sed -n '/^Options/,/^$/s/^  \(-., \|    \)\(--[a-z-]*\).*/\2/p'; }
help=$("$program" --help)
mapfile -t commands < <(sed -n '/^Commands/,/^$/s/^  \([a-z]\{1,\}\) .*/\1/p' <<<"$help")
mapfile -t global < <(options_of <<<"$help")
((${#commands[@]} >= 10 && ${#global[@]} >= 4)) || { echo "FAIL: --help not read"; exit 1; }

# shellcheck disable=SC2317 # the builtin works only while bash completes a line
compopt() { options_set+=" $*"; }

# Completes line with the cursor at its end, its words split as bash splits them: = and : apart.
complete_line() {
    local split=${1//=/ = }
    read -r -a COMP_WORDS <<<"${split//:/ : }"
    [[ $1 == *[[:blank:]] ]] && COMP_WORDS+=("")
    COMP_LINE=$1 COMP_POINT=${#1} COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMPREPLY=() options_set=""
    local word=${COMP_WORDS[COMP_CWORD]}
    [[ $word == [=:] ]] && word=""
    "$function" kelvaro "$word" "${COMP_WORDS[COMP_CWORD - 1]}"
    replies=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort -u)
}

fail() { printf 'FAIL (%s) %s\n' "$mode" "$*"; ((++failures)); }

# line must offer every word after how; how=exact: nothing else either.
expect() {
    local line=$1 how=$2 word
    shift 2
    complete_line "$line"
    for word; do grep -qxF -- "$word" <<<"$replies" || fail "'$line' lacks $word"; done
    if [[ $how == exact && $replies != "$(printf '%s\n' "$@" | LC_ALL=C sort -u)" ]]; then
        fail "'$line' offers: ${replies//$'\n'/ }"
    fi
}

# The commands, each command's options and its ram|eeprom-style words come from the help, so an
# option added there and not to the completion fails here.
check() {
    expect "kelvaro " exact "${commands[@]}"
    local command own words offered
    for command in "${commands[@]}"; do
        mapfile -t own < <("$program" help "$command" | options_of)
        expect "kelvaro $command --" some "${own[@]}" --help --version
        for offered in $replies; do # and nothing the program would refuse
            [[ " ${global[*]} ${own[*]} " == *" $offered "* ]] || fail "'$command' offers $offered"
        done
    done
    while read -r command words; do
        # shellcheck disable=SC2086 # one argument a word
        expect "kelvaro $command " exact ${words//|/ }
    done < <(sed -n '/^Commands/,/^$/s/^  \([a-z]*\) \([a-z]*|[a-z]*\).*/\1 \2/p' <<<"$help")
    expect "kelvaro --port " exact "$dev"/{ttyUSB0,serial/by-id/usb-FTDI-if00} rfc2217:// tcp://
    expect "kelvaro --port=rfc2217:" exact //
    expect "kelvaro serve --broker " exact mqtt:// mqtts://
    [[ $options_set == *"-o nospace"* ]] || fail "a URL scheme is followed by a blank"
    cd "$files" || return
    expect "kelvaro send ram " exact CURVE.DAT set.dat sub
    [[ $options_set == *"-o filenames"* ]] || fail "files are not completed as file names"
    cd - >/dev/null || return
}

run() {
    mode=$1 failures=0
    # shellcheck source=/dev/null
    source "$here/../data/completion/kelvaro.bash" || { fail "does not load"; return 1; }
    function=$(complete -p kelvaro 2>/dev/null | sed -n 's/.*-F \([^ ]*\).*/\1/p')
    declare -F "$function" >/dev/null || { fail "no completion function for kelvaro"; return 1; }
    check
    echo "$mode: $failures failed"
    ((failures == 0))
}

status=0
(
    unset -f _init_completion # plain even where BASH_ENV brought bash-completion in
    run "plain bash"
) || status=1
if [[ -r $library ]]; then
    (
        # shellcheck source=/dev/null
        source "$library"
        declare -F _init_completion >/dev/null || { echo "FAIL: no _init_completion"; exit 1; }
        run bash-completion
    ) || status=1
else
    echo "bash-completion: not installed ($library), checked plain bash only"
fi
if command -v zsh >/dev/null; then
    zsh -n "$here/../data/completion/_kelvaro" || { echo "FAIL (zsh) does not parse"; status=1; }
fi
exit $status
