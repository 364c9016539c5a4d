#!/usr/bin/env bash
# Whole-run timings: chunksieve (and each kernel set, forced through the library), md5sum and a
# plain copy, run alternately on the same input; medians and ratios to md5sum.
#
#   bench/run.sh [-b BUILD_DIR] [-r ROUNDS] [FILE...]
#
# Without files it makes, once, in $BENCH_DIR (default /tmp/chunksieve-bench):
#   repeats-256M     random data with repeated stretches
#   duplicate-512M   eight copies of a 64 MiB tar of /usr/lib, each with 64 small edits
#   unique-512M      the first 512 MiB of a tar of /usr/lib and /usr/share
# The tars are made with sorted names and fixed owners and times, so a machine gives the same
# bytes each time.
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
shift $((OPTIND - 1))
dir=${BENCH_DIR:-/tmp/chunksieve-bench}
mkdir -p "$dir"

for tool in chunksieve bench/sieve_bench bench/make_bench_input; do
    [ -x "$build/$tool" ] || { echo "missing $build/$tool: build first" >&2; exit 1; }
done

tar_sorted() { tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf - "$@" 2>/dev/null || true; }

inputs=("$@")
if [ ${#inputs[@]} -eq 0 ]; then
    [ -s "$dir/repeats-256M" ] || "$build/bench/make_bench_input" repeats $((256 << 20)) 1 > "$dir/repeats-256M"
    if [ ! -s "$dir/duplicate-512M" ]; then
        tar_sorted /usr/lib | head -c $((64 << 20)) > "$dir/base-64M"
        "$build/bench/make_bench_input" copies "$dir/base-64M" 8 64 1 | head -c $((512 << 20)) > "$dir/duplicate-512M"
    fi
    [ -s "$dir/unique-512M" ] || tar_sorted /usr/lib /usr/share | head -c $((512 << 20)) > "$dir/unique-512M"
    inputs=("$dir/repeats-256M" "$dir/duplicate-512M" "$dir/unique-512M")
fi

sets=()
for s in avx512 avx2 portable; do
    "$build/bench/sieve_bench" "$s" /dev/null /dev/null 2>/dev/null && sets+=("$s")
done

grep -m1 "model name" /proc/cpuinfo | sed 's/^model name\s*: /CPU: /'
out=$dir/out
for in in "${inputs[@]}"; do
    cat "$in" > /dev/null  # into the page cache
    declare -A wall=() user=() rss=()
    names=("md5sum" "cat" "chunksieve")
    for s in "${sets[@]}"; do names+=("chunksieve:$s"); done
    for ((r = 0; r < rounds; r++)); do
        for name in "${names[@]}"; do
            case $name in
                md5sum) cmd=(md5sum "$in") ;;
                cat) cmd=(sh -c 'cat "$0" > "$1"' "$in" "$out") ;;
                chunksieve) cmd=("$build/chunksieve" "$in" "$out") ;;
                chunksieve:*) cmd=("$build/bench/sieve_bench" "${name#chunksieve:}" "$in" "$out") ;;
            esac
            rm -f "$out"  # every writer starts from a new file: truncating one costs time too
            m=$( { /usr/bin/time -f "%e %U %M" "${cmd[@]}" > /dev/null; } 2>&1 | tail -1)
            read -r w u k <<< "$m"
            wall[$name]+="$w "
            user[$name]+="$u "
            rss[$name]+="$k "
            if [[ $name == chunksieve* ]]; then
                sum=$(md5sum < "$out")
                [ -z "${ref_sum:-}" ] && ref_sum=$sum
                [ "$sum" = "$ref_sum" ] || echo "OUTPUT DIFFERS: $name" >&2
            fi
        done
    done
    unset ref_sum
    median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
    base=$(echo "${wall[md5sum]}" | median)
    echo
    echo "$(basename "$in") ($(( $(stat -c %s "$in") >> 20 )) MiB), $rounds rounds, output $(( $(stat -c %s "$out") >> 20 )) MiB"
    printf '| %-20s | %8s | %8s | %8s | %9s |\n' command "wall s" "÷ md5sum" "user s" "peak MiB"
    printf '|%s|%s|%s|%s|%s|\n' ---------------------- ---------- ---------- ---------- -----------
    for name in "${names[@]}"; do
        w=$(echo "${wall[$name]}" | median)
        u=$(echo "${user[$name]}" | median)
        k=$(echo "${rss[$name]}" | median)
        awk -v n="$name" -v w="$w" -v b="$base" -v u="$u" -v k="$k" \
            'BEGIN { printf "| %-20s | %8.2f | %8.2f | %8.2f | %9.1f |\n", n, w, w / b, u, k / 1024 }'
    done
done
rm -f "$out"
