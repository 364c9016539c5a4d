# Sourced by the command-line test scripts, with their arguments:
#   [--windows NAMED_PIPE] CHUNKSIEVE MAKE_INPUT [RUNNER...]
# Sets CS and MK (absolute: the cases run in directories of their own), RUNNER, NAMED_PIPE (the
# helper that serves Windows named pipes, empty for other builds) and a scratch directory T
# removed at exit, and gives the helpers every script counts its checks with.
NAMED_PIPE=
if [ "${1:-}" = --windows ]; then
    NAMED_PIPE=$2
    shift 2
fi
CS=$(readlink -f "$1")
MK=$(readlink -f "$2")
shift 2
RUNNER=("$@")
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

cs() { "${RUNNER[@]}" "$CS" "$@"; }
# refused NAME MESSAGE ARGS...: the run exits with 1 and says MESSAGE (a part of its line, or
# anything when empty) in one line.
refused() {
    local name=$1 message=$2 status
    shift 2
    check
    cs "$@" 2> "$T/stderr"
    status=$?
    [ "$status" = 1 ] || die "$name: exit status $status, want 1"
    [ -z "$message" ] || grep -qF -- "$message" "$T/stderr" ||
        die "$name: said '$(head -c 300 "$T/stderr")'"
    [ "$(wc -l < "$T/stderr")" -le 1 ] || die "$name: $(wc -l < "$T/stderr") lines on standard error"
}
