# bash completion for Lumivar and the lumivar-* tools.
# Installed as share/bash-completion/completions/<command> for each of them,
# so that bash-completion loads it for whichever is typed first; it needs
# nothing from bash-completion itself and may also be sourced directly.

# Candidates one per line, so that names with blanks stay whole.
_sendral_reply() {
    mapfile -t COMPREPLY < <(compgen "$@")
}

# Lumivar [options] salientfeaturepath queryclassidx query_filelist outpath
_Lumivar() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
        -m) _sendral_reply -W '0 1 2' -- "$cur"; return ;;
        -j) _sendral_reply -W "$(seq 1 "$(nproc 2>/dev/null || echo 1)")" -- "$cur"; return ;;
        --json) compopt -o filenames 2>/dev/null; _sendral_reply -f -- "$cur"; return ;;
        -f | -d | --smooth) return ;;
    esac
    # Options come first; the first word that is neither an option nor an
    # option's value starts the positional arguments ("-" among them).
    local i=1 pos=0 w model=
    while ((i < COMP_CWORD)); do
        w=${COMP_WORDS[i]}
        if ((pos > 0)) || [[ $w != -?* ]]; then
            ((pos++ == 0)) && model=$w
        else
            case $w in -f | -d | -m | -j | --json | --smooth) ((i++)) ;; esac
        fi
        ((i++))
    done
    if ((pos == 0)) && [[ $cur == -* ]]; then
        _sendral_reply -W '-f -enforce -d -m -nosm -nowta -s -v -j
                           --json --quiet --learned --smooth --help --version' -- "$cur"
        return
    fi
    case $pos in
        0 | 3) compopt -o filenames 2>/dev/null; _sendral_reply -d -- "$cur" ;;  # result directory, outpath
        1)  # queryclassidx: the model's classes, one line each in salientfeaturenum
            local n
            n=$(wc -l <"${model/#\~/$HOME}/salientfeaturenum" 2>/dev/null) || n=0
            ((n > 0)) && _sendral_reply -W "$(seq 0 $((n - 1)))" -- "$cur"
            ;;
        2) compopt -o filenames 2>/dev/null; _sendral_reply -f -W - -- "$cur" ;;  # query_filelist or -
    esac
}
complete -F _Lumivar Lumivar

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
complete -F _sendral_tool -o default lumivar-report lumivar-score lumivar-tune
