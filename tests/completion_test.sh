#!/usr/bin/env bash
# The bash completion, contrib/chunksieve.bash, under the system's bash-completion: the options
# that `chunksieve --help` lists, files for the operands and the options' values, nothing after
# --help or --version.
#   usage: completion_test.sh CHUNKSIEVE
# Skipped (77) without bash-completion (Debian: bash-completion).
set -u
bash_completion=/usr/share/bash-completion/bash_completion
if [ ! -r "$bash_completion" ]; then
    echo "skipped: no $bash_completion"
    exit 77
fi
help=$("$1" --help) || exit 1
options=$(grep -oE '^ +(-[A-Za-z], )?--[a-z-]*' <<<"$help" | grep -oE -- '--?[A-Za-z-]*' |
    sort -u | paste -sd ' ')
# Those shown with a value, e.g. "--map MAP".
value_options=$(grep -oE '^ +--[a-z-]+ [A-Z]+' <<<"$help" | grep -oE -- '--[a-z-]+')
# shellcheck source=/dev/null
. "$bash_completion"
# shellcheck source=SCRIPTDIR/../contrib/chunksieve.bash
. "$(dirname "$0")/../contrib/chunksieve.bash"

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
cd "$T" && touch a.map a.out b.bin ./-x && mkdir dir || exit 1

# The completions of the line's last word (none after a space), sorted, on one line separated
# by spaces. Bash breaks words at '=' as well.
completions() {
    COMP_LINE=$1
    COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"${1//=/ = }"
    [[ $1 == *' ' ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _chunksieve chunksieve "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | paste -sd ' '
}

failures=0
while IFS='|' read -r line want; do
    got=$(completions "$line")
    if [ "$got" != "$want" ]; then
        echo "FAIL: '$line' completes to '$got', want '$want'"
        failures=$((failures + 1))
    fi
done < <(
    cat <<EOF_CASES
chunksieve -|$options
chunksieve --li|--link-in --link-map --link-out
chunksieve a|a.map a.out
chunksieve --stats |-x a.map a.out b.bin dir
chunksieve --map=a|a.map a.out
chunksieve --version |
chunksieve -- -|-x
chunksieve --expand --map a.map --link-map a.map --link-out b|b.bin
EOF_CASES
    # A value is a file, whatever it starts with.
    for option in $value_options; do echo "chunksieve $option -|-x"; done
)
[ -n "$value_options" ] || { echo "FAIL: no option with a value in --help"; failures=1; }
exit $((failures > 0))
