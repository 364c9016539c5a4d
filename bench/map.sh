#!/usr/bin/env bash
# What --map and --expand cost, and what they give in front of a compressor, against zstd's long
# window, on the two 512 MiB inputs of bench/run.sh (made the same way, once, in $BENCH_DIR).
#
#   bench/map.sh [-b BUILD_DIR] [-r ROUNDS]
#
# Each table gives medians over ROUNDS rounds (default 3); in each round the commands of a table
# run one after the other, in an order that turns from round to round. Wall is seconds; peak is
# the largest resident set of the named process (MiB), the largest over the rounds.
#   1. The run with --map against the run without, from a file and through a pipe; map size.
#   2. Expand against copying the restored file (cat F > COPY) and against dd with 1 MiB blocks.
#   3. The pipeline chunksieve --map M IN - | zstd -3 -T0, bytes (compressed + map), against
#      zstd -3 -T0 --long=31 and --long=27 (and xz -T0 where installed); and the way back.
#   4. Day 2 with day 1's state (the first and second 64 MiB of the duplicate input) against
#      zstd -3 --long=31 --patch-from=day1.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
rounds=3
while getopts "b:r:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        r) rounds=$OPTARG ;;
        *) exit 2 ;;
    esac
done
cs=$(readlink -f "$build/chunksieve")
[ -x "$cs" ] && [ -x "$build/bench/make_bench_input" ] || { echo "build $build first" >&2; exit 1; }
command -v zstd > /dev/null || { echo "needs zstd" >&2; exit 1; }
. "$here/inputs.sh"
make_duplicate_input "$build"
make_unique_input
[ -s "$dir/day1" ] || head -c $((64 << 20)) "$dir/duplicate-512M" > "$dir/day1"
[ -s "$dir/day2" ] || tail -c +$(((64 << 20) + 1)) "$dir/duplicate-512M" | head -c $((64 << 20)) > "$dir/day2"
w=$(mktemp -d -p "$dir")
trap 'rm -rf "$w"' EXIT

median() { tr ' ' '\n' | { grep -v '^$' || true; } | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
most() { tr ' ' '\n' | { grep -v '^$' || true; } | sort -g | tail -1; }
# timed NAME COMMAND...: runs the command with bash, adds its wall time to W[NAME] and the peak
# resident set that $w/rss.NAME holds afterwards (written by an inner /usr/bin/time) to P[NAME].
declare -A W P
TIME=/usr/bin/time
timed() {
    local name=$1 start end
    shift
    rm -f "$w/rss"
    start=$(date +%s.%N)
    bash -c "$*"
    end=$(date +%s.%N)
    W[$name]+=" $(echo "$end - $start" | bc)"
    [ -s "$w/rss" ] && P[$name]+=" $(tail -1 "$w/rss")"
    return 0
}
rss() { echo "$TIME -f %M -o $w/rss"; }  # put before the process whose peak counts
show() {  # show NAME [BASELINE]
    local m p
    m=$(echo "${W[$1]}" | median)
    p=$(echo "${P[$1]:-}" | most)
    printf '| %s | %.3f |' "$1" "$m"
    [ -n "${2:-}" ] && printf ' %.2f |' "$(echo "$m / $(echo "${W[$2]}" | median)" | bc -l)" || printf ' |'
    [ -n "$p" ] && printf ' %.1f |\n' "$(echo "$p / 1024" | bc -l)" || printf ' |\n'
}
turn() {  # turn I ITEMS...: the items, rotated by I
    local i=$1
    shift
    local a=("$@") n=$#
    for ((k = 0; k < n; ++k)); do echo "${a[$(((i + k) % n))]}"; done
}

grep -m1 "model name" /proc/cpuinfo | sed 's/^model name\s*: /CPU: /'
echo "$(nproc) cores; $rounds rounds; $(zstd --version | head -1)"

for name in duplicate-512M unique-512M; do
    in=$dir/$name
    size=$(stat -c %s "$in")
    cat "$in" > /dev/null
    W=() P=()
    "$cs" --map "$w/m" "$in" "$w/o"
    for ((r = 0; r < rounds; ++r)); do
        while read -r c; do
            case $c in
                plain) timed "file, without --map" "$(rss) '$cs' '$in' '$w/o1'" ;;
                map) timed "file, with --map" "$(rss) '$cs' --map '$w/m' '$in' '$w/o2'" ;;
                pplain) timed "pipe, without --map" "cat '$in' | $(rss) '$cs' - '$w/o1'" ;;
                pmap) timed "pipe, with --map" "cat '$in' | $(rss) '$cs' --map '$w/m' - '$w/o2'" ;;
                cat) rm -f "$w/copy"; timed "cat F > COPY" "cat '$in' > '$w/copy'" ;;
                dd) rm -f "$w/copy"; timed "dd bs=1M" "dd if='$in' of='$w/copy' bs=1M status=none" ;;
                expand) rm -f "$w/r"; timed "expand" "$(rss) '$cs' --expand --map '$w/m' '$w/o' '$w/r'" ;;
            esac
        done < <(turn "$r" plain map pplain pmap cat dd expand)
    done
    cmp -s "$w/r" "$in" || echo "expand did not restore $name"
    cmp -s "$w/o1" "$w/o2" || echo "the output differs with --map"
    msize=$(stat -c %s "$w/m")
    echo
    echo "### $name: map $msize bytes ($(echo "scale=3; 100 * $msize / $size" | bc)% of the input), output $(stat -c %s "$w/o") bytes"
    echo
    echo "| command | wall (s) | ratio | peak (MiB) |"
    echo "|---|---|---|---|"
    show "file, without --map"
    show "file, with --map" "file, without --map"
    show "pipe, without --map"
    show "pipe, with --map" "pipe, without --map"
    show "cat F > COPY"
    show "dd bs=1M" "cat F > COPY"
    show "expand" "cat F > COPY"

    # ---- the pipeline against zstd's long window ----
    W=() P=()
    long=31
    [ "$name" = unique-512M ] && long=27
    for ((r = 0; r < rounds; ++r)); do
        while read -r c; do
            case $c in
                sieve) timed "chunksieve --map M IN - | zstd -3 -T0" \
                    "$(rss) '$cs' --map '$w/pm' '$in' - | zstd -3 -T0 -q > '$w/p.zst'" ;;
                long) timed "zstd -3 -T0 --long=$long" \
                    "$(rss) zstd -3 -T0 -q --long=$long -c '$in' > '$w/l.zst'" ;;
            esac
        done < <(turn "$r" sieve long)
        while read -r c; do
            case $c in
                back) rm -f "$w/pr"; timed "zstd -d | chunksieve --expand" \
                    "zstd -d -q -c '$w/p.zst' | $(rss) '$cs' --expand --map '$w/pm' - '$w/pr'" ;;
                lback) timed "zstd -d --long=$long" \
                    "$(rss) zstd -d -q --long=$long -c '$w/l.zst' > '$w/lr'" ;;
            esac
        done < <(turn "$r" back lback)
    done
    cmp -s "$w/pr" "$in" || echo "the pipeline did not restore $name"
    pbytes=$(($(stat -c %s "$w/p.zst") + $(stat -c %s "$w/pm")))
    lbytes=$(stat -c %s "$w/l.zst")
    echo
    echo "| pipeline | wall (s) | ratio | peak (MiB) |"
    echo "|---|---|---|---|"
    show "chunksieve --map M IN - | zstd -3 -T0" "zstd -3 -T0 --long=$long"
    show "zstd -3 -T0 --long=$long"
    show "zstd -d | chunksieve --expand" "zstd -d --long=$long"
    show "zstd -d --long=$long"
    echo
    echo "bytes: chunksieve + zstd $pbytes (map $(stat -c %s "$w/pm")), zstd --long=$long $lbytes," \
        "ratio $(echo "scale=3; $pbytes / $lbytes" | bc)"
    if command -v xz > /dev/null; then
        start=$(date +%s.%N)
        xbytes=$(xz -T0 -c "$in" | wc -c)
        echo "xz -T0: $xbytes bytes in $(echo "$(date +%s.%N) - $start" | bc) s (one run)"
    fi
done

# ---- day 2 with day 1's state ----
W=() P=()
rm -f "$w/st"
"$cs" --index "$w/st" --map "$w/m1" "$dir/day1" "$w/o1"
cp "$w/st" "$w/st1"
for ((r = 0; r < rounds; ++r)); do
    while read -r c; do
        case $c in
            sieve) cp "$w/st1" "$w/st"; timed "chunksieve --index st --map M d2 - | zstd -3" \
                "$(rss) '$cs' --index '$w/st' --map '$w/m2' '$dir/day2' - | zstd -3 -q > '$w/d2.zst'" ;;
            patch) timed "zstd -3 --long=31 --patch-from=d1 d2" \
                "$(rss) zstd -3 -q --long=31 --patch-from='$dir/day1' -c '$dir/day2' > '$w/d2.patch'" ;;
        esac
    done < <(turn "$r" sieve patch)
done
zstd -d -q -c "$w/d2.zst" > "$w/o2"
"$cs" --expand --map "$w/m2" --link-map "$w/m1" --link-out "$w/o1" "$w/o2" "$w/r2"
cmp -s "$w/r2" "$dir/day2" || echo "day 2 was not restored"
sbytes=$(($(stat -c %s "$w/d2.zst") + $(stat -c %s "$w/m2")))
echo
echo "### day 2 (64 MiB) with day 1's state"
echo
echo "| command | wall (s) | ratio | peak (MiB) |"
echo "|---|---|---|---|"
show "chunksieve --index st --map M d2 - | zstd -3" "zstd -3 --long=31 --patch-from=d1 d2"
show "zstd -3 --long=31 --patch-from=d1 d2"
echo
echo "bytes: zstd'ed output $(stat -c %s "$w/d2.zst") + map $(stat -c %s "$w/m2") = $sbytes;" \
    "patch $(stat -c %s "$w/d2.patch"); ratio $(echo "scale=2; $sbytes / $(stat -c %s "$w/d2.patch")" | bc)"
