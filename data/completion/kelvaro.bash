# bash completion for kelvaro, the KEL-VA-RO1 operator program: its commands and their words,
# options and their values, parameter files and the serial devices present.

# Sets options to what COMMAND takes besides the options every command takes.
_kelvaro_command_options()
{
    case $1 in
        info | get | capture | diff) options=(--json) ;;
        monitor) options=(--count --seconds --json) ;;
        journal) options=(--since --verify) ;;
        serve)
            options=(--broker --station --rate --allow-commands --allow-flash --config --ca --cert
                --key --user --password-file --sparkplug --sparkplug-host)
            ;;
        *) options=() ;;
    esac
}

# Sets kind to what OPTION's value is: device, file, url or text; fails when it takes none.
_kelvaro_value_kind()
{
    case $1 in
        --port) kind="device" ;;
        --log | --config | --ca | --cert | --key | --password-file) kind="file" ;;
        --broker) kind="url" ;;
        --count | --seconds | --since | --rate | --station | --user | --sparkplug | --sparkplug-host)
            kind="text"
            ;;
        *) return 1 ;;
    esac
}

# Appends the words that complete cur.
_kelvaro_offer()
{
    local word
    for word; do
        [[ $word == "$cur"* ]] && COMPREPLY+=("$word")
    done
}

# Appends the URL schemes that complete cur; the host is typed right after one, without a space.
_kelvaro_offer_schemes()
{
    local before=${#COMPREPLY[@]}
    _kelvaro_offer "$@"
    ((${#COMPREPLY[@]} > before)) && compopt -o nospace 2>/dev/null
    return 0
}

# Appends the files and folders that complete cur. With a pattern (a parameter or correction file),
# only the files that match it, unless none does.
_kelvaro_files()
{
    local path=${cur//\\/} matches=()
    compopt -o filenames 2>/dev/null
    [[ $1 ]] && mapfile -t matches < <(compgen -f -X "!$1" -- "$path")
    if ((${#matches[@]})); then
        mapfile -t -O "${#matches[@]}" matches < <(compgen -d -- "$path")
    else
        mapfile -t matches < <(compgen -f -- "$path")
    fi
    COMPREPLY+=("${matches[@]}")
}

# Appends the serial devices present and the network schemes that complete cur. A path that names
# none of them completes as a file: a pseudo-terminal or a network serial server's tty.
_kelvaro_ports()
{
    # KELVARO_COMPLETION_DEVICES stands for /dev in the tests, which need devices they can make.
    local folder=${KELVARO_COMPLETION_DEVICES:-/dev} path devices=()
    for path in "$folder"/tty{S,USB,ACM,AMA}* "$folder"/serial/by-id/*; do
        [[ -e $path ]] && devices+=("$path")
    done
    _kelvaro_offer "${devices[@]}"
    _kelvaro_offer_schemes rfc2217:// tcp://
    if ((${#COMPREPLY[@]} == 0)) && [[ $cur == [/.~]* ]]; then
        _kelvaro_files
    fi
}

# Without bash-completion: the words up to the cursor, with a --name=VALUE word split into the
# option and the value being completed, as _init_completion -s does.
_kelvaro_init_words()
{
    COMPREPLY=()
    local line=${COMP_LINE:0:COMP_POINT}
    # Without -r, so that an escaped blank stays inside its word.
    # shellcheck disable=SC2162
    read -a words <<<"$line"
    if [[ ${#words[@]} -eq 0 || ($line == *[[:blank:]] && $line != *\\[[:blank:]]) ]]; then
        words+=("")
    fi
    cword=$((${#words[@]} - 1))
    ((cword > 0)) || return 1
    cur=${words[cword]}
    prev=${words[cword - 1]}
    split=false
    if [[ $cur == --?*=* ]]; then
        prev=${cur%%=*}
        cur=${cur#*=}
        split=true
    fi
}

# Readline replaces only what follows the word's last colon, so the replies lose what precedes it.
_kelvaro_ltrim_colon()
{
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local colon_word=${cur%"${cur##*:}"}
        COMPREPLY=("${COMPREPLY[@]#"$colon_word"}")
    fi
}

_kelvaro()
{
    local cur prev words cword split
    if declare -F _init_completion >/dev/null; then
        _init_completion -s -n : || return
    else
        _kelvaro_init_words || return
    fi

    local commands=(info get send teach reset monitor capture flash diff journal serve help)
    local command="" arguments=0 options_end="" i kind options=()
    # The command word is the first word that is neither an option nor an option's value.
    for ((i = 1; i < cword; i++)); do
        if [[ ! $options_end && ${words[i]} == -?* ]]; then
            [[ ${words[i]} == -- ]] && options_end=yes
            [[ ${words[i]} != *=* ]] && _kelvaro_value_kind "${words[i]}" && ((i++))
        elif [[ ! $command ]]; then
            command=${words[i]}
        else
            ((++arguments))
        fi
    done

    if [[ ! $options_end ]] && _kelvaro_value_kind "$prev"; then
        case $kind in
            device) _kelvaro_ports ;;
            file) _kelvaro_files ;;
            url) _kelvaro_offer_schemes mqtt:// mqtts:// ;;
        esac
    elif [[ $split == true ]]; then
        return
    elif [[ ! $options_end && $cur == -* ]]; then
        [[ $command ]] && _kelvaro_command_options "$command"
        _kelvaro_offer --port --log -h --help -V --version "${options[@]}"
    elif [[ ! $command ]]; then
        _kelvaro_offer "${commands[@]}"
    else
        case $command,$arguments in
            get,0 | send,0) _kelvaro_offer ram eeprom ;;
            send,1 | flash,0) _kelvaro_files '*.[dD][aA][tT]' ;;
            capture,0) _kelvaro_offer raw norm ;;
            diff,[01])
                _kelvaro_offer ram eeprom
                _kelvaro_files '*.[dD][aA][tT]'
                ;;
            help,0) _kelvaro_offer "${commands[@]}" ;;
        esac
    fi
    _kelvaro_ltrim_colon
} &&
    complete -F _kelvaro kelvaro
