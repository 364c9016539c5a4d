# bash completion for chunksieve: its options, and files (the operands and the values of
# --index, --map and the link options). Installed as
# share/bash-completion/completions/chunksieve; to try it by hand: source contrib/chunksieve.bash
_chunksieve() {
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        -h | --help | -V | --version)
            return
            ;;
        --index | --map | --link-map | --link-out | --link-in)
            _filedir
            return
            ;;
    esac
    $split && return

    # After "--" every word is an operand.
    local i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} == -- ]]; then
            _filedir
            return
        fi
    done

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-h --help -V --version --stats --progress -f --force
            --index --map --expand --link-map --link-out --link-in --' -- "$cur")
        return
    fi
    _filedir
} &&
    complete -F _chunksieve chunksieve
