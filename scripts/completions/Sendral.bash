# bash completion for Sendral and the sendral-* tools.
# Installed as share/bash-completion/completions/<command> for each of them,
# so that bash-completion loads it for whichever is typed first; it needs
# nothing from bash-completion itself and may also be sourced directly.

# Candidates one per line, so that names with blanks stay whole.
_sendral_reply() {
    mapfile -t COMPREPLY < <(compgen "$@")
}

# Sendral [options] training_filelist pyr_depth salientfeaturepath
_Sendral() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
        -b) compopt -o filenames 2>/dev/null; _sendral_reply -d -- "$cur"; return ;;
        -w | -merge | --json | --boxes) compopt -o filenames 2>/dev/null; _sendral_reply -f -- "$cur"; return ;;
        -j) _sendral_reply -W "$(seq 1 "$(nproc 2>/dev/null || echo 1)")" -- "$cur"; return ;;
        -shard) return ;;
    esac
    # Options come first; the first word that is neither an option nor an
    # option's value starts the positional arguments.
    local i=1 pos=0 w
    while ((i < COMP_CWORD)); do
        w=${COMP_WORDS[i]}
        if ((pos > 0)) || [[ $w != -?* ]]; then
            ((pos++))
        else
            case $w in -b | -w | -j | -shard | -merge | --json | --boxes) ((i++)) ;; esac
        fi
        ((i++))
    done
    if ((pos == 0)) && [[ $cur == -* ]]; then
        _sendral_reply -W '-exBfea -nodenoise -fast -b -w -h -j -shard -merge
                           --json --quiet --boxes --help --version' -- "$cur"
        return
    fi
    case $pos in
        0) compopt -o filenames 2>/dev/null; _sendral_reply -f -- "$cur" ;;  # training_filelist
        1) _sendral_reply -W '1 2 3 4 5 6' -- "$cur" ;;          # pyr_depth
        2) compopt -o filenames 2>/dev/null; _sendral_reply -d -- "$cur" ;;  # the result directory
    esac
}
complete -F _Sendral Sendral

# The Python tools: their options as their --help lists them (read once per
# shell), file names otherwise.
_sendral_tool() {
    local cur=${COMP_WORDS[COMP_CWORD]} var=_sendral_tool_opts_${1//[^A-Za-z0-9]/_}
    COMPREPLY=()
    [[ $cur == -* ]] || return
    if [[ -z ${!var+set} ]]; then
        printf -v "$var" '%s' "$("$1" --help 2>/dev/null | awk '
            /^ +-/ { sub(/^ +/, ""); sub(/  .*/, "")
                     n = split($0, w, /[ ,]+/)
                     for (i = 1; i <= n; i++) if (w[i] ~ /^-/) print w[i] }')"
    fi
    _sendral_reply -W "${!var}" -- "$cur"
}
complete -F _sendral_tool -o default sendral-features sendral-lists
