#!/usr/bin/env bash
# What `--index STATE` costs: the time to load a state and to save the updated one, against a
# plain run over the input that made the state. Each round runs, in turn:
#   plain   chunksieve DAY1 OUT                      (no state)
#   same    chunksieve --index STATE DAY1 OUT        (STATE: what a run over DAY1 left)
#   day 2   chunksieve --index STATE DAY2 OUT        (the same STATE; DAY2 shares most of DAY1)
# with STATE restored, OUT removed and the disk synced before each. Load and save times are
# those --stats prints; the table gives medians and ranges over the rounds, and each run's load
# plus save against the plain run's median.
#
#   bench/state_cost.sh [-b BUILD_DIR] [-r ROUNDS]
#
# Inputs, made once in $BENCH_DIR (default /tmp/chunksieve-bench) from a tar of /usr/lib and
# /usr/share with sorted names and fixed owners and times:
#   unique-512M   its first 512 MiB (DAY1, as for bench/run.sh)
#   day2-512M     its bytes from 128 MiB to 640 MiB: 384 MiB shared with DAY1, 128 MiB new
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
rounds=11
while getopts "b:r:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        r) rounds=$OPTARG ;;
        *) exit 2 ;;
    esac
done
cs=$build/chunksieve
[ -x "$cs" ] || { echo "missing $cs: build first" >&2; exit 1; }
. "$here/inputs.sh"
make_unique_input
day1=$dir/unique-512M
day2=$dir/day2-512M
[ -s "$day2" ] || tar_sorted /usr/lib /usr/share | tail -c +$(((128 << 20) + 1)) | head -c $((512 << 20)) > "$day2"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cs" --index "$work/made" "$day1" "$work/out" > /dev/null
echo "$(nproc) cores; load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "state after DAY1: $(stat -c %s "$work/made") bytes"

# Prints "load save" of a run with a fresh copy of the state made from DAY1.
with_state() {
    cp "$work/made" "$work/state"
    rm -f "$work/out"
    sync
    "$cs" --stats --index "$work/state" "$1" "$work/out" 2>&1 |
        awk '/entries loaded/ {l = $(NF - 1)} /entries saved/ {s = $(NF - 1)} END {print l, s}'
}
TIMEFORMAT='%3R'
for ((r = 0; r < rounds; r++)); do
    rm -f "$work/out"
    sync
    plain=$( { time "$cs" "$day1" "$work/out"; } 2>&1 | tail -1)
    echo "$plain $(with_state "$day1") $(with_state "$day2")"
done > "$work/rounds"
echo "state after DAY2: $(stat -c %s "$work/state") bytes; $rounds rounds"

# Median, then "lowest-highest", of one column of the rounds.
stats() {
    cut -d' ' -f"$1" "$work/rounds" | sort -g | awk '{v[NR] = $1}
        END {m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
             printf "%.3f %.3f-%.3f\n", m, v[1], v[NR]}'
}
read -r plain plain_range < <(stats 1)
row() {  # NAME LOAD_COLUMN
    local load load_range save save_range
    read -r load load_range < <(stats "$2")
    read -r save save_range < <(stats $(($2 + 1)))
    echo "| $1 | $load ($load_range) | $save ($save_range) |" \
        "$(awk -v l="$load" -v s="$save" -v p="$plain" 'BEGIN {printf "%.1f%%", 100 * (l + s) / p}') |"
}
echo "| run | load s | save s | load + save / plain |"
echo "|---|---|---|---|"
echo "| plain, DAY1 | | | median $plain s ($plain_range) |"
row "same: DAY1 with its state" 2
row "day 2: DAY2 with DAY1's state" 4
