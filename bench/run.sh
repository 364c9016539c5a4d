#!/usr/bin/env bash
# Whole-run timings of chunksieve against md5sum on the same input, from a file and through a
# pipe: the command as it is (a reader and a writer thread for large inputs), and the same run
# forced through the library onto one thread, or onto a reader and a writer thread; optionally
# each kernel set.
# Each round runs every command once, alternately, in an order that turns from round to round
# (inputs under 64 MiB get five times the rounds); the table gives medians over the rounds, and
# each command's ratio to the baseline of its own round (md5sum F, or cat F | md5sum for a pipe),
# median over the rounds.
#
#   bench/run.sh [-b BUILD_DIR] [-r ROUNDS] [-m file|pipe|both] [-k] [-s SIZE...] [FILE...]
#
#   -k  also each kernel set the CPU runs (one-thread driver), and cat F > OUT
#   -s  the inputs: the first SIZE bytes of unique-512M (a number, or with K, M or G, less N
#       bytes with -N, as 64M-1), instead of the default set; may be given more than once
#
# Times are those of the command's processes alone: each round also times the wrappers that start
# them with nothing inside, and takes that off.
# CPU is user + system time of every process and thread of the run (for a pipe, cat's too);
# "÷ 1 thread" is the CPU time against the one-thread run's. Peak is the largest resident set of
# any process of the run, the largest over the rounds.
#
# Without files it makes, once, in $BENCH_DIR (default /tmp/chunksieve-bench):
#   duplicate-512M   eight copies of a 64 MiB tar of /usr/lib, each with 64 small edits
#   unique-512M      the first 512 MiB of a tar of /usr/lib and /usr/share
#   zeros-1G         1 GiB of zeros, a sparse file
#   unique-8M, unique-64M-1   the first 8 MiB and 64 MiB - 1 byte of unique-512M
# The tars are made with sorted names and fixed owners and times, so a machine gives the same
# bytes each time.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build
rounds=3
modes="file pipe"
kernel_sets=0
sizes=()
while getopts "b:r:m:ks:" opt; do
    case $opt in
        b) build=$OPTARG ;;
        r) rounds=$OPTARG ;;
        m) [ "$OPTARG" = both ] && modes="file pipe" || modes=$OPTARG ;;
        k) kernel_sets=1 ;;
        s) sizes+=("$OPTARG") ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
. "$here/inputs.sh"

for tool in chunksieve bench/sieve_bench bench/make_bench_input; do
    [ -x "$build/$tool" ] || { echo "missing $build/$tool: build first" >&2; exit 1; }
done
cs=$build/chunksieve
sieve=$build/bench/sieve_bench

inputs=("$@")
for size in "${sizes[@]}"; do
    bytes=$(numfmt --from=iec "${size%-*}")
    [[ $size == *-* ]] && bytes=$((bytes - ${size##*-}))
    make_unique_input
    [ -s "$dir/unique-$size" ] || head -c "$bytes" "$dir/unique-512M" > "$dir/unique-$size"
    inputs+=("$dir/unique-$size")
done
if [ ${#inputs[@]} -eq 0 ]; then
    make_duplicate_input "$build"
    make_unique_input
    [ -s "$dir/unique-8M" ] || head -c $((8 << 20)) "$dir/unique-512M" > "$dir/unique-8M"
    [ -s "$dir/unique-64M-1" ] || head -c $(((64 << 20) - 1)) "$dir/unique-512M" > "$dir/unique-64M-1"
    [ -e "$dir/zeros-1G" ] || truncate -s 1G "$dir/zeros-1G"
    inputs=("$dir/duplicate-512M" "$dir/unique-512M" "$dir/zeros-1G" "$dir/unique-8M" "$dir/unique-64M-1")
fi

best=$("$sieve" avx512 /dev/null /dev/null 2>/dev/null && echo avx512 || echo avx2)
"$sieve" "$best" /dev/null /dev/null 2>/dev/null || best=portable
sets=()
if [ "$kernel_sets" = 1 ]; then
    for s in avx512 avx2 portable; do
        "$sieve" "$s" /dev/null /dev/null 2>/dev/null && sets+=("$s")
    done
fi

grep -m1 "model name" /proc/cpuinfo | sed 's/^model name\s*: /CPU: /'
echo "$(nproc) cores; load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
out=$dir/out
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
TIMEFORMAT='%3R %3U %3S'  # bash's time: wall, user and system time of all the run's processes

for in in "${inputs[@]}"; do
    cat "$in" > /dev/null  # into the page cache
    # A run of a small input lasts tens of milliseconds, and one in a few is twice as long: five
    # times the rounds for it.
    in_rounds=$rounds
    [ "$(stat -L -c %s "$in")" -lt $((64 << 20)) ] && in_rounds=$((rounds * 5))
    for mode in $modes; do
        # name -> the command, run by sh with the input as $0 and the output as $1
        names=(base chunksieve "1 thread" "reader + writer")
        declare -A cmd=()
        if [ "$mode" = file ]; then
            cmd[base]='md5sum "$0" > /dev/null'
            cmd[chunksieve]='"$2" "$0" "$1"'
            cmd["1 thread"]='"$3" "$4" "$0" "$1" never'
            cmd["reader + writer"]='"$3" "$4" "$0" "$1" always'
        else
            cmd[base]='cat "$0" | md5sum > /dev/null'
            cmd[chunksieve]='cat "$0" | "$2" /dev/stdin "$1"'
            cmd["1 thread"]='cat "$0" | "$3" "$4" /dev/stdin "$1" never'
            cmd["reader + writer"]='cat "$0" | "$3" "$4" /dev/stdin "$1" always'
        fi
        if [ "$kernel_sets" = 1 ]; then
            names+=("cat > OUT")
            cmd["cat > OUT"]='cat "$0" > "$1"'
            for s in "${sets[@]}"; do
                names+=("1 thread, $s")
                if [ "$mode" = file ]; then
                    cmd["1 thread, $s"]='"$3" '"$s"' "$0" "$1" never'
                else
                    cmd["1 thread, $s"]='cat "$0" | "$3" '"$s"' /dev/stdin "$1" never'
                fi
            done
        fi
        declare -A wall=() user=() sys=() ratio=() peak=()
        unset ref_sum
        for ((r = 0; r < in_rounds; r++)); do
            # The wrappers' own cost (this shell's fork, time and sh start about 20 ms of wall
            # and processor time here), timed each round and taken off every command's figures.
            m=$( { time /usr/bin/time -f %M -o "$dir/rss" sh -c ':'; } 2>&1 | tail -1)
            read -r w0 u0 s0 <<< "$m"
            # The base first, then the others each round one place further on: the first run
            # after the base pays most for memory the host took back meanwhile (the output's
            # page cache freed the round before), and no command should always be that one.
            order=(base)
            for ((i = 1; i < ${#names[@]}; i++)); do
                order+=("${names[1 + (i - 1 + r) % (${#names[@]} - 1)]}")
            done
            for name in "${order[@]}"; do
                rm -f "$out" "$dir/rss"  # every writer starts from a new file: truncating one costs time too
                m=$( { time /usr/bin/time -f %M -o "$dir/rss" sh -c "${cmd[$name]}" "$in" "$out" "$cs" "$sieve" "$best"; } 2>&1 | tail -1)
                read -r w u s <<< "$m"
                read -r w u s <<< "$(awk -v w="$w" -v u="$u" -v s="$s" -v w0="$w0" -v u0="$u0" -v s0="$s0" \
                    'function less(a, b) { return a > b ? a - b : 0 }
                     BEGIN { printf "%.3f %.3f %.3f", less(w, w0), less(u, u0), less(s, s0) }')"
                k=$(tail -n 1 "$dir/rss")
                [ "${peak[$name]:-0}" -ge "$k" ] || peak[$name]=$k
                wall[$name]+="$w "
                user[$name]+="$u "
                sys[$name]+="$s "
                [ "$name" = base ] && base_wall=$w
                ratio[$name]+="$(awk -v w="$w" -v b="$base_wall" 'BEGIN { printf "%.4f", (b > 0 ? w / b : 0) }') "
                if [ "$name" != base ] && [ "$name" != "cat > OUT" ]; then
                    sum=$(md5sum < "$out")
                    [ -z "${ref_sum:-}" ] && ref_sum=$sum
                    [ "$sum" = "$ref_sum" ] || echo "OUTPUT DIFFERS: $name" >&2
                fi
            done
        done
        one_cpu=$(awk -v u="$(echo "${user["1 thread"]}" | median)" -v s="$(echo "${sys["1 thread"]}" | median)" 'BEGIN { print u + s }')
        echo
        echo "$(basename "$in") ($(stat -c %s "$in") bytes), $mode, $in_rounds rounds, output $(stat -c %s "$out") bytes"
        printf '| %-22s | %7s | %8s | %7s | %7s | %7s | %10s | %8s |\n' command "wall s" "÷ base" "user s" "sys s" "CPU s" "÷ 1 thread" "peak MiB"
        printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' ------------------------ --------- ---------- --------- --------- --------- ------------ ----------
        for name in "${names[@]}"; do
            label=$name
            [ "$name" = base ] && { [ "$mode" = file ] && label="md5sum F" || label="cat F | md5sum"; }
            awk -v n="$label" -v w="$(echo "${wall[$name]}" | median)" -v q="$(echo "${ratio[$name]}" | median)" \
                -v u="$(echo "${user[$name]}" | median)" -v s="$(echo "${sys[$name]}" | median)" \
                -v one="$one_cpu" -v cs="$([[ $name == base || $name == "cat > OUT" ]] && echo 0 || echo 1)" \
                -v k="${peak[$name]}" \
                'BEGIN { c = u + s; x = ""
                         if (cs && one > 0) x = sprintf("%.2f", c / one)
                         printf "| %-22s | %7.3f | %8.2f | %7.3f | %7.3f | %7.3f | %10s | %8.1f |\n", n, w, q, u, s, c, x, k / 1024 }'
        done
        unset cmd wall user sys ratio peak
    done
done
rm -f "$out"
