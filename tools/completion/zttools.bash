# Bash completion for the zttools operator tools: ztrestart, ztcmd, ztmsg,
# ztatob and ztnet. Installed once under each tool's name.

# The names of the services present under the given directories.
_zttools_services()
{
    local dir name
    local -
    set +f
    for dir in "$@"; do
        for name in "$dir"/*; do
            [[ -e $name ]] && printf '%s\n' "${name##*/}"
        done
    done
}

# The operands before the word being completed, options left out.
_zttools_operands()
{
    local i
    operands=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
        -t | --timeout | -w | --width) ((i++)) ;;
        -*) ;;
        *) operands+=("${COMP_WORDS[i]}") ;;
        esac
    done
}

_zttools()
{
    local tool=$1 cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local -a operands words
    local - # "*" stays a word: no file-name expansion in here
    set -f
    COMPREPLY=()
    case $prev in
    -t | --timeout | -w | --width) return ;;
    esac
    _zttools_operands
    local n=${#operands[@]}
    case $tool in
    ztrestart)
        words=(--timeout --help --version)
        if ((n == 0)); then
            words+=($(_zttools_services /tmp/restart_uds))
        elif ((n == 1)); then
            words+=(check request event)
        fi
        ;;
    ztcmd)
        words=(--list --timeout --help --version)
        if ((n == 0)); then
            words+=($(_zttools_services /tmp/ztcmd))
        elif ((n == 1)); then
            words+=(help status level)
        fi
        ;;
    ztmsg)
        words=(--wait --help --version)
        if ((n == 0)); then
            words+=(send recv rm)
        elif ((n == 1)); then
            words+=($(_zttools_services /tmp/ztmsg))
            [[ ${operands[0]} == send ]] && words+=('*')
        fi
        ;;
    ztatob)
        words=(--decode --lenient --width --help --version)
        ;;
    ztnet)
        words=(--help --version)
        if ((n == 0)); then
            words+=(route role dropin hwaddr arp-request)
        elif ((n == 1)); then
            case ${operands[0]} in
            role) words+=(external trusted optional) ;;
            hwaddr | arp-request) words+=($(_zttools_services /sys/class/net)) ;;
            esac
        fi
        ;;
    esac
    # Options only once a "-" is typed.
    [[ $cur == -* ]] || words=("${words[@]##-*}")
    COMPREPLY=($(compgen -W "${words[*]}" -- "$cur"))
}

complete -F _zttools ztrestart ztcmd ztmsg ztatob ztnet
