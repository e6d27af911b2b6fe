#!/usr/bin/env bash
# Completes many kelvaro command lines with data/completion/kelvaro.bash, in plain bash and with
# bash-completion when it is installed, and has zsh, when installed, parse the zsh completion.
# The commands and the station's options are the program's own, read from its help: a command or
# option added there and not to the completion fails here. Usage: test_completion.sh PROGRAM

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd) || exit 1
bash_completion_file=$here/../data/completion/kelvaro.bash
zsh_completion_file=$here/../data/completion/_kelvaro
# bash-completion's main script; the variable names another copy of it.
bash_completion_library=${KELVARO_TEST_BASH_COMPLETION:-/usr/share/bash-completion/bash_completion}

workspace=$(mktemp -d) || exit 1
trap 'rm -rf "$workspace"' EXIT

# Serial devices of every kind the completion offers, a by-id name of a device that is gone, and
# devices that are no serial lines.
devices=$workspace/dev
mkdir -p "$devices/serial/by-id" || exit 1
touch "$devices"/{ttyS0,ttyS1,ttyUSB0,ttyACM0,ttyAMA0,tty0,tty1,null,ttyprintk} || exit 1
by_id=$devices/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K5V2B-if00-port0
ln -s ../../ttyUSB0 "$by_id" || exit 1
ln -s ../../ttyUSB1 "$devices/serial/by-id/usb-1a86_USB_Serial-if00-port0" || exit 1
serial_devices=("$devices"/{ttyS0,ttyS1,ttyUSB0,ttyACM0,ttyAMA0} "$by_id")
export KELVARO_COMPLETION_DEVICES=$devices

# Parameter files, one in capitals and one with a blank, another file and a folder.
files=$workspace/files
mkdir -p "$files/sub" || exit 1
touch "$files"/{set.dat,CURVE.DAT,'with space.dat',notes.txt} || exit 1
parameter_files=(CURVE.DAT set.dat 'with space.dat' sub)
all_files=(CURVE.DAT notes.txt set.dat sub 'with space.dat')

program=${1:?usage: test_completion.sh PROGRAM}
mapfile -t commands < <("$program" --help | sed -n '/^Commands/,/^$/s/^  \([a-z]\{1,\}\) .*/\1/p')
mapfile -t serve_options < <("$program" help serve | sed -n 's/^      \(--[a-z-]*\).*/\1/p' |
    grep -vx -- --port)
if ((${#commands[@]} < 10 || ${#serve_options[@]} < 10)); then
    echo "FAIL: $program's help names ${#commands[@]} commands and ${#serve_options[@]} station options"
    exit 1
fi
global_options=(--port --log --help --version)

# Stands in for the builtin, which works only while bash completes a line, and notes its options.
# shellcheck disable=SC2317
compopt()
{
    options_set+=" $*"
}

# Splits line into COMP_WORDS as bash does: at blanks, and around the word breaks = and :.
split_like_bash()
{
    local line=$1 word="" word_is_break="" char_is_break i char
    COMP_WORDS=()
    for ((i = 0; i < ${#line}; i++)); do
        char=${line:i:1}
        if [[ $char == \\ ]]; then
            word+=${line:i:2}
            ((i++))
            continue
        fi
        if [[ $char == [[:blank:]] ]]; then
            [[ $word ]] && COMP_WORDS+=("$word")
            word=""
            continue
        fi
        char_is_break=""
        [[ $char == [=:] ]] && char_is_break=yes
        if [[ $word && $char_is_break != "$word_is_break" ]]; then
            COMP_WORDS+=("$word")
            word=""
        fi
        word+=$char
        word_is_break=$char_is_break
    done
    COMP_WORDS+=("$word")
}

# Completes line as bash would with the cursor at its end: the replies, sorted, in replies.
complete_line()
{
    COMP_LINE=$1
    COMP_POINT=${#1}
    split_like_bash "$1"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    options_set=""
    local word=${COMP_WORDS[COMP_CWORD]}
    [[ $word == [=:]* ]] && word=""
    "$completion_function" kelvaro "$word" "${COMP_WORDS[COMP_CWORD - 1]}"
    replies=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort)
}

failures=0

fail()
{
    printf 'FAIL (%s) %s\n' "$mode" "$*"
    ((failures++))
}

# Checks that line completes to exactly the words after it.
expect()
{
    local line=$1
    shift
    complete_line "$line"
    local wanted
    wanted=$(printf '%s\n' "$@" | LC_ALL=C sort)
    if [[ $replies != "$wanted" ]]; then
        fail "'$line'"
        printf '  expected: %s\n  got:      %s\n' "${wanted//$'\n'/ | }" "${replies//$'\n'/ | }"
    fi
}

# Checks that the completion of line last checked did or did not set the compopt option.
expect_option()
{
    local line=$1 option=$2 wanted=$3 set=no
    [[ $options_set == *"-o $option"* ]] && set=yes
    [[ $set == "$wanted" ]] || fail "'$line': -o $option set: $set, expected $wanted"
}

check_commands_and_their_words()
{
    expect "kelvaro " "${commands[@]}"
    expect "kelvaro s" send serve
    expect "kelvaro --port /dev/ttyS0 --log=run.log --json g" get
    expect "kelvaro -- " "${commands[@]}"
    expect "kelvaro get " ram eeprom
    expect "kelvaro --port 3 send e" eeprom
    expect "kelvaro capture " raw norm
    expect "kelvaro help " "${commands[@]}"
    expect "kelvaro help m" monitor
    expect "kelvaro get ram "
    expect "kelvaro info "
    expect "kelvaro help get "
    expect "kelvaro monitor -- -"
}

check_options()
{
    expect "kelvaro --" "${global_options[@]}"
    expect "kelvaro -" "${global_options[@]}" -h -V
    expect "kelvaro send --" "${global_options[@]}"
    expect "kelvaro info --" "${global_options[@]}" --json
    expect "kelvaro monitor --" "${global_options[@]}" --count --seconds --json
    expect "kelvaro --port=/dev/ttyS0 monitor --s" --seconds
    expect "kelvaro journal --" "${global_options[@]}" --since --verify
    expect "kelvaro serve --" "${global_options[@]}" "${serve_options[@]}"
    expect "kelvaro serve --allow-" --allow-commands --allow-flash
    expect "kelvaro monitor --count "
    expect "kelvaro monitor --seconds="
    expect "kelvaro info --json="
    expect "kelvaro get --json="
    expect "kelvaro serve --station=lab --broker " mqtt:// mqtts://
    expect_option "kelvaro serve --broker " nospace yes
    expect "kelvaro serve --broker=mqtts" mqtts://
    # Readline replaces only what follows the colon.
    expect "kelvaro serve --broker=mqtt:" //
}

check_ports()
{
    expect "kelvaro --port " "${serial_devices[@]}" rfc2217:// tcp://
    expect "kelvaro --port=" "${serial_devices[@]}" rfc2217:// tcp://
    expect "kelvaro info --port=${devices:0:4}" "${serial_devices[@]}"
    expect "kelvaro --port=$devices/ttyU" "$devices/ttyUSB0"
    expect_option "kelvaro --port=$devices/ttyU" nospace no
    expect "kelvaro serve --port $devices/ttyS0 --port $devices/serial/by-id/" "$by_id"
    expect "kelvaro journal --port=$devices/ttyA" "$devices/ttyACM0" "$devices/ttyAMA0"
    expect "kelvaro --port rfc" rfc2217://
    expect_option "kelvaro --port rfc" nospace yes
    expect "kelvaro --port=rfc2217:" //
    expect "kelvaro --port rfc2217:/" //
    expect "kelvaro --port $files/no" "$files/notes.txt"
}

check_files()
{
    cd "$files" || return
    expect "kelvaro send ram " "${parameter_files[@]}"
    expect_option "kelvaro send ram " filenames yes
    expect "kelvaro --port /dev/ttyUSB0 send --log=x.log eeprom " "${parameter_files[@]}"
    expect "kelvaro send ram with\\ " 'with space.dat'
    expect "kelvaro flash s" set.dat sub
    expect "kelvaro flash no" notes.txt
    expect "kelvaro diff " ram eeprom "${parameter_files[@]}"
    expect "kelvaro diff set.dat " ram eeprom "${parameter_files[@]}"
    expect "kelvaro diff ram set.dat "
    expect "kelvaro --log " "${all_files[@]}"
    expect "kelvaro serve --ca=no" notes.txt
    expect "kelvaro send ram set.dat "
}

# Loads the completion into this shell and runs every check on it.
check_completion()
{
    mode=$1
    # shellcheck source=/dev/null
    source "$bash_completion_file" || {
        fail "$bash_completion_file does not load"
        return 1
    }
    local registered
    registered=$(complete -p kelvaro 2>/dev/null)
    completion_function=${registered#*-F }
    completion_function=${completion_function%% *}
    if [[ ! $completion_function ]] || ! declare -F "$completion_function" >/dev/null; then
        fail "no completion function registered for kelvaro: '$registered'"
        return 1
    fi
    check_commands_and_their_words
    check_options
    check_ports
    check_files
    echo "$mode: $failures failed"
    ((failures == 0))
}

status=0
# Plain even where BASH_ENV brought bash-completion in.
(
    unset -f _init_completion
    check_completion "plain bash"
) || status=1
if [[ -r $bash_completion_library ]]; then
    (
        # shellcheck source=/dev/null
        source "$bash_completion_library"
        mode="bash-completion"
        if ! declare -F _init_completion >/dev/null; then
            fail "$bash_completion_library defines no _init_completion"
        fi
        check_completion "bash-completion"
    ) || status=1
else
    echo "bash-completion: not installed ($bash_completion_library), checked plain bash only"
fi

if command -v zsh >/dev/null; then
    if zsh_errors=$(zsh -n "$zsh_completion_file" 2>&1); then
        echo "zsh: $zsh_completion_file parses"
    else
        printf 'FAIL (zsh) %s does not parse:\n%s\n' "$zsh_completion_file" "$zsh_errors"
        status=1
    fi
else
    echo "zsh: not installed, its completion not checked"
fi
exit $status
