#!/usr/bin/env bash
# The command against its per-byte reference build, through the real executables, on inputs
# with many duplicates, markers and long runs: the outputs must be the same bytes, and --stats
# the same figures.
#   usage: engine_cli_test.sh CHUNKSIEVE CHUNKSIEVE_PLAIN MAKE_INPUT [RUNNER...]
# MAKE_INPUT runs here; both commands run through RUNNER when one is given (an emulator).
set -u
PLAIN=$(readlink -f "$2")
. "$(dirname "$0")/cli_common.sh" "$1" "$3" "${@:4}"

while read -r args; do
    check
    # shellcheck disable=SC2086
    "$MK" $args > "$T/in" || { die "make_input $args"; continue; }
    cs --stats "$T/in" "$T/fast" 2> "$T/fast.stats" || die "$args: chunksieve failed"
    "${RUNNER[@]}" "$PLAIN" --stats "$T/in" "$T/plain" 2> "$T/plain.stats" ||
        die "$args: reference failed"
    cmp -s "$T/fast" "$T/plain" || die "$args: outputs differ"
    # The same figures, but for the time taken.
    grep -v '^wall time:\|^speed:' "$T/fast.stats" > "$T/fast.counts"
    grep -v '^wall time:\|^speed:' "$T/plain.stats" > "$T/plain.counts"
    cmp -s "$T/fast.counts" "$T/plain.counts" || die "$args: --stats figures differ"
done <<'INPUTS'
dups 3000000 1
dups 3000000 2
dups 1000000 3
dups 200000 4
lcg 1000000
zeros 300000
marker-repeat 20000
INPUTS

echo "engine-cli: $((checks - failures)) passed, $failures failed"
[ "$failures" = 0 ]
