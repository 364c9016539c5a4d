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
failures=0
checks=0

cs() { "${RUNNER[@]}" "$CS" "$@"; }
die() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }
md5() { md5sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
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
