# bash completion for skrivo(1) and skrivo-editor. The options of each
# command come from its own --help, so they follow the program.

_skrivo_templates() {
    "$1" templates list --json 2>/dev/null | sed -n 's/.*"name":"\([^"]*\)".*/\1/p'
}

_skrivo() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local prog=${COMP_WORDS[0]} cmd="" sub="" i w
    for ((i = 1; i < COMP_CWORD; i++)); do
        w=${COMP_WORDS[i]}
        case $w in
            --config|--registry) ((i++)) ;;
            -*) ;;
            *) if [[ -z $cmd ]]; then cmd=$w; elif [[ $cmd == @(templates|manifest|bids) && -z $sub ]]; then sub=$w; fi ;;
        esac
    done

    local IFS=$'\n'
    case $prev in
        -o|--output|--folder|--config|--registry|--bids)
            compopt -o filenames; COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --format) COMPREPLY=($(compgen -W $'edf\nedf+' -- "$cur")); return ;;
        --shard) COMPREPLY=($(compgen -W 'slurm' -- "$cur")); return ;;
        --modality) COMPREPLY=($(compgen -W $'EEG\nSleep' -- "$cur")); return ;;
        -t|--template)
            compopt -o filenames
            COMPREPLY=($(compgen -W "$(_skrivo_templates "$prog")" -- "$cur") $(compgen -f -X '!*.exp' -- "$cur") $(compgen -d -- "$cur"))
            return ;;
    esac

    if [[ -z $cmd ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W $'--config\n--registry\n--verbose\n--version\n--help' -- "$cur"))
        else
            COMPREPLY=($(compgen -W $'export\nbids\nlist\nmanifest\nprobe\nestimate\ntemplates\nsimulate\ndemo\nbench-parallel' -- "$cur"))
        fi
        return
    fi
    if [[ $cmd == templates && -z $sub ]]; then
        COMPREPLY=($(compgen -W $'list\nshow\nnew\nedit\ndelete' -- "$cur"))
        return
    fi
    if [[ $cmd == bids && -z $sub ]]; then
        COMPREPLY=($(compgen -W 'check' -- "$cur"))
        return
    fi
    if [[ $cmd == manifest && -z $sub ]]; then
        COMPREPLY=($(compgen -W $'summary\nverify' -- "$cur"))
        return
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$("$prog" $cmd $sub --help 2>/dev/null | grep -oE -- '(^|[ ,!])--?[A-Za-z][-A-Za-z]*' | tr -d ' ,!' | sort -u)" -- "$cur"))
        return
    fi
    case $sub in
        show|edit|delete) COMPREPLY=($(compgen -W "$(_skrivo_templates "$prog")" -- "$cur")); return ;;
    esac
    compopt -o filenames
    COMPREPLY=($(compgen -f -- "$cur"))
}
complete -F _skrivo skrivo skrivo-editor
