#!/usr/bin/env bash
# Two commands timed against each other in one sitting: run alternately, the order turning each
# round (A then B, then B then A), so that the machine's drift falls on both alike; prints each
# one's median wall time and B's over A's.
#
#   bench/alternate.sh ROUNDS 'COMMAND A' 'COMMAND B'
#
# e.g. the build before a change against the build after it, on one input:
#   bench/alternate.sh 9 "old/chunksieve IN /tmp/a" "build/chunksieve IN /tmp/b"
# Each command is run by bash with its output discarded; its time includes bash's start of it,
# the same for both.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 ROUNDS 'COMMAND A' 'COMMAND B'" >&2; exit 2; }
rounds=$1
a=$2
b=$3
times_a=()
times_b=()

# The wall time of one run, in seconds.
timed() {
    local start end
    start=$(date +%s%N)
    bash -c "$1" >/dev/null 2>&1
    end=$(date +%s%N)
    echo "$(( (end - start) / 1000 ))e-6"
}

for ((i = 1; i <= rounds; ++i)); do
    if ((i % 2)); then
        times_a+=("$(timed "$a")")
        times_b+=("$(timed "$b")")
    else
        times_b+=("$(timed "$b")")
        times_a+=("$(timed "$a")")
    fi
done

median() {
    printf '%s\n' "$@" | awk '{ printf "%.6f\n", $1 }' | sort -n |
        awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
ma=$(median "${times_a[@]}")
mb=$(median "${times_b[@]}")
awk -v a="$ma" -v b="$mb" 'BEGIN { printf "A %.3f s, B %.3f s, B / A %.3f\n", a, b, b / a }'
