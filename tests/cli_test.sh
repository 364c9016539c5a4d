#!/usr/bin/env bash
# Command-line behaviour of the real executable: reference outputs, exit statuses and what is
# left on disk.
#   usage: cli_test.sh [--reference-only] [--windows NAMED_PIPE] CHUNKSIEVE MAKE_INPUT [RUNNER...]
# MAKE_INPUT runs here; CHUNKSIEVE runs through RUNNER when one is given (an emulator, such as
# tests/wine/wine_run.sh for a Windows build, possibly behind `timeout`). --windows marks a
# Windows executable and names the helper that serves Windows named pipes
# (tests/win32/named_pipe.cpp). --reference-only stops after the reference runs, for runners too
# slow for the rest.
set -u
REFERENCE_ONLY=
if [ "${1:-}" = --reference-only ]; then
    REFERENCE_ONLY=1
    shift
fi
. "$(dirname "$0")/cli_common.sh" "$@"

# ---- reference runs: input, output size, MD5 of the output. The pinned inputs hold each
# chunk-end rule at its edge (tests/support/test_inputs.h). ----
while read -r name args out_size out_md5; do
    check
    # shellcheck disable=SC2086
    "$MK" ${args//_/ } > "$T/in" || die "make_input $args"
    cs "$T/in" "$T/out" || die "$name: exit status $?"
    [ "$(size "$T/out")" = "$out_size" ] || die "$name: output size $(size "$T/out"), want $out_size"
    [ "$(md5 "$T/out")" = "$out_md5" ] || die "$name: output MD5 $(md5 "$T/out")"
done <<'TABLE'
empty             zeros_0           0       d41d8cd98f00b204e9800998ecf8427e
marker-then-zeros marker-zeros      64      b4d027ac7694c947e0ac39ff351202a8
marker-repeated   marker-repeat_100 64      b4d027ac7694c947e0ac39ff351202a8
zeros-70000       zeros_70000       65536   fcd6bcb56c1689fcef28b57c22475bad
ones-70000        ones_70000        65536   ae5c932ab2e19291dd20c2c4ac382428
ramp-10000        ramp_10000        512     f05639f99fb0388f3f82d6164d84847a
stream-S          lcg_100000        112064  4f4ca341016595ff69cb75e983895c33
stream-S-twice    lcg-twice_30000   33984   2b39efd87b116568a7b8316a6d58b717
below-threshold   pinned_below-threshold-at-100       128    4bd7a9ee1243a0eff18d91728fc914e1
at-threshold      pinned_at-threshold-at-100          128    ce284ed729353ef4a92e398f44809170
hash-end-at-99    pinned_hash-end-at-99               128    60be49f06e8c07f135212219c29a284a
hash-end-at-128   pinned_hash-end-at-128              128    1a300af78246139219862881a5f55f19
maximum-65535     pinned_maximum-65535                65536  0b2464fe05454e4e0167567f64114d25
maximum-65534     pinned_short-of-maximum-65534       0      d41d8cd98f00b204e9800998ecf8427e
marker-first      pinned_marker-first                 64     b4d027ac7694c947e0ac39ff351202a8
straddle-hash     pinned_marker-straddles-hash-end    192    c85b91dc19c84dc991bb613aaec33644
straddle-maximum  pinned_marker-straddles-maximum-end 65600  80e565b8844248d368e6ba6b7b53a5e9
TABLE

report() {
    local passed=$((checks - failures))
    [ "$passed" -lt 0 ] && passed=0
    echo "cli: $passed passed, $failures failed"
    [ "$failures" = 0 ]
}
if [ -n "$REFERENCE_ONLY" ]; then
    report
    exit
fi

# ---- every failure: exit status 1, one line on standard error, and what is left on disk ----
# Columns: case | where (all; posix where Windows has no such thing; full where /dev/full can be
# written) | the message after "chunksieve: ", up to the system's reason | the reason on POSIX
# (Windows words its own; it must be there), or - | what is left on disk | the arguments.
# On disk: absent:F, F must not exist afterwards; kept:F, F holds "old contents" before and after;
# empty:F, F exists and is empty. The input `in` must always be left as it was.
# Arguments, expanded as the shell would (a glob matches the files made for the case): <F and
# >>F redirect the standard input and output; ~ stands for no argument at all.
mkdir "$T/files" && cd "$T/files" || exit 1
"$MK" lcg 100000 > in && cp in in.orig
mkdir dir
ln -s in sym
ln in hard
USAGE='(usage: chunksieve [OPTION]... [--] IN OUT)'
CR=
[ -n "$NAMED_PIPE" ] && CR=$'\r'  # a Windows console program ends its lines with CR LF
while IFS='|' read -r name where what reason after args; do
    name=${name%"${name##*[! ]}"}
    where=${where// /}
    [ "$where" != all ] && [ -n "$NAMED_PIPE" ] && continue
    [ "$where" = full ] && ! [ -w /dev/full ] && continue
    check
    for f in $after; do
        rm -f "${f#*:}"
        [ "${f%%:*}" = kept ] && printf 'old contents' > "${f#*:}"
    done
    words=()
    stdin=
    stdout=
    for w in $args; do
        case $w in
            '<&-') stdin=closed ;;
            '<'*) stdin=${w#<} ;;
            '>>'*) stdout=${w#>>} ;;
            '~') ;;
            *) words+=("$w") ;;
        esac
    done
    (
        case $stdin in
            '') ;;
            closed) exec <&- ;;
            *) exec < "$stdin" ;;
        esac
        [ -n "$stdout" ] && exec >> "$stdout"
        cs "${words[@]}"
    ) 2> "$T/err"
    status=$?
    [ "$status" = 1 ] || die "$name: exit status $status, want 1"
    want="chunksieve: $what"
    got=$(tr -d "$CR" < "$T/err")
    if [ "$reason" = - ]; then
        [ "$got" = "$want" ] || die "$name: message '$got', want '$want'"
    elif [ -z "$NAMED_PIPE" ]; then
        [ "$got" = "$want: $reason" ] || die "$name: message '$got', want '$want: $reason'"
    else
        case $got in
            "$want: "?*) ;;
            *) die "$name: message '$got', want '$want: ' and the system's reason" ;;
        esac
    fi
    [ "$(wc -l < "$T/err")" = 1 ] || die "$name: $(wc -l < "$T/err") lines on standard error"
    for f in $after; do
        case $f in
            absent:*) [ -e "${f#*:}" ] && die "$name: ${f#*:} must not exist" ;;
            kept:*) [ "$(cat "${f#*:}")" = "old contents" ] || die "$name: ${f#*:} was changed" ;;
            empty:*) [ -f "${f#*:}" ] && ! [ -s "${f#*:}" ] || die "$name: ${f#*:} must be empty" ;;
        esac
    done
    cmp -s in in.orig || die "$name: the input was changed"
    rm -f ./*.tar all.sieved
done <<TABLE
no operands             |all  |needs two operands, IN and OUT, got 0 $USAGE|-|absent:out|~
one operand             |all  |needs two operands, IN and OUT, got 1 $USAGE|-|absent:out|in
a glob that matched two |all  |needs two operands, IN and OUT, got 3 $USAGE|-|kept:a.tar kept:b.tar absent:all.sieved|*.tar all.sieved
an operand after --     |all  |needs two operands, IN and OUT, got 3 $USAGE|-|kept:out|in out -- -h
unknown long option     |all  |unknown option '--bogus' (see chunksieve --help)|-|kept:out|--bogus in out
unknown short option    |all  |unknown option '-x' (see chunksieve --help)|-|absent:out|in out -hx
a flag given a value    |all  |option '--stats' takes no value (see chunksieve --help)|-|absent:out|--stats=yes in out
missing input           |all  |cannot open 'missing'|No such file or directory|absent:out|missing out
directory as input      |all  |cannot open 'dir'|Is a directory|absent:out|dir out
closed standard input   |posix|cannot open standard input|Bad file descriptor|absent:out|- out <&-
output in a missing dir |all  |cannot create 'no/such/out'|No such file or directory|absent:no|in no/such/out
directory as output     |all  |cannot create 'dir'|Is a directory|-|in dir
input as output         |all  |'in' is the input file|-|-|in in
output a link to input  |all  |'sym' is the input file|-|-|in sym
output a hard link      |all  |'hard' is the input file|-|-|in hard
input a link to output  |all  |'./in' is the input file|-|-|sym ./in
standard input as output|all  |'in' is the input file|-|-|- in <in
standard output as input|all  |standard output is the input file|-|-|in - >>in
output a full device    |full |writing '/dev/full'|No space left on device|-|in /dev/full
help on a full device   |full |writing standard output|No space left on device|-|--help >>/dev/full
a read that fails       |posix|reading '/proc/self/mem'|Input/output error|empty:out|/proc/self/mem out
TABLE

# A path is quoted with its control characters shown as '?': a message stays one line, and a
# name cannot send the terminal escape sequences.
check
cs $'bad\nname\e[2J' out 2> "$T/err"
case $(tr -d "$CR" < "$T/err") in
    "chunksieve: cannot open 'bad?name?[2J': "?*) ;;
    *) die "control characters in a path: printed '$(cat -v "$T/err")'" ;;
esac

# An existing output is truncated even when the run writes nothing.
printf 'old contents' > out
check; "$MK" zeros 50 > small && cs small out || die "small input must succeed"
[ "$(size out)" = 0 ] || die "an existing output must be truncated"

# ---- pipes: short pieces in, a pipe out, the same bytes as file to file ----
cs in ref || die "file to file"
"$MK" lcg-twice 30000 > twice && cs twice ref2 || die "file to file (twice)"
if [ -z "$NAMED_PIPE" ]; then
    check; "$MK" lcg 100000 997 | cs /dev/stdin /dev/stdout > piped || die "pipe to pipe"
    cmp -s ref piped || die "piped output differs from file output"
    check; "$MK" lcg-twice 30000 61 | cs /dev/stdin /dev/stdout | cat > piped2 || die "pipe to pipe (twice)"
    cmp -s ref2 piped2 || die "piped output differs from file output (twice)"
else
    # Windows has no path for a process's standard handles: named pipes instead, fed in short
    # pieces and ended by closing them, which the reader sees as ERROR_BROKEN_PIPE.
    pipe() { printf '%s' '\\.\pipe\chunksieve-'"$$-$1"; }
    # serve MODE NAME FILE [PIECE]: the helper in the background, once its pipe exists.
    serve() {
        "${RUNNER[@]}" "$NAMED_PIPE" "$1" "chunksieve-$$-$2" "$3" ${4:+"$4"} "$T/ready-$2" &
        served+=($!)
        for _ in $(seq 300); do
            [ -e "$T/ready-$2" ] && return 0
            sleep 0.05
        done
        return 1
    }
    # Every helper must end by itself once the command is done with its pipe.
    reap() {
        local pid running status=0
        for _ in $(seq 100); do
            running=0
            for pid in "${served[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
            [ "$running" = 0 ] && break
            sleep 0.05
        done
        for pid in "${served[@]}"; do
            kill "$pid" 2>/dev/null && status=1
            wait "$pid" || status=1
        done
        served=()
        return $status
    }
    served=()
    "$MK" lcg 100000 > in997 && "$MK" lcg-twice 30000 > in61
    check
    if serve feed a in997 997 && serve drain b piped; then
        cs "$(pipe a)" "$(pipe b)" || die "pipe to pipe"
    else
        die "named pipes not served"
    fi
    reap || die "pipe helpers failed or hung (pipe to pipe)"
    cmp -s ref piped || die "piped output differs from file output"
    check
    if serve feed c in61 61; then
        cs "$(pipe c)" piped2 || die "pipe to file (twice)"
    else
        die "named pipe not served"
    fi
    reap || die "pipe helper failed or hung (pipe to file)"
    cmp -s ref2 piped2 || die "piped output differs from file output (twice)"

    # A device is written to, never truncated.
    check; cs in NUL || die "NUL as output must succeed"
fi

# ---- "-" both ways, and a file named "-" ----
check
cs - - < in > std && cmp -s std ref || die "- as input and output: not the file-to-file output"
check
"$MK" lcg-twice 30000 61 | cs - - | cat > std2 && cmp -s std2 ref2 || die "- in and out of pipes"
check
cp in ./- && cs ./- dash.out && cmp -s dash.out ref || die "'./-' must name a file"
rm -f ./-

# ---- options ----
# --help and --version: standard output, status 0, nothing opened or created, wherever they stand.
for args in "--help" "-h" "in out.h -h" "-hV"; do
    check
    # shellcheck disable=SC2086
    cs $args > help 2> err || die "$args: exit status $?"
    head -n 1 help | grep -q '^usage: chunksieve ' || die "$args: no usage line"
    [ -s err ] && die "$args: printed on standard error"
    [ -e out.h ] && die "$args: created the output"
done
check
cs -V > version 2> err || die "-V: exit status $?"
tr -d '\r' < version | grep -qx 'chunksieve [0-9][0-9]*\.[0-9][0-9]*\.[0-9][0-9]*' ||
    die "-V: printed '$(cat version)'"
check
cp in ./-x && cs -- -x dashx.out && cmp -s dashx.out ref || die "-- must end the options"
rm -f ./-x
check
cs --progress --stats in opts.out 2> err && cmp -s opts.out ref || die "options must not change the output"
cs --progress in opts.out 2> err || die "--progress must succeed"
[ -s err ] && die "--progress must print nothing when standard error is not a terminal"

# ---- --stats: exact figures on inputs whose chunks are known ----
# Columns: input | input bytes | chunks | new chunks | chunks found | output bytes | fill bytes |
# bytes after the last chunk end | new share. An empty cell is not known for that input.
while IFS='|' read -r input bytes chunks new found output fill after share; do
    input=${input// /} bytes=${bytes// /} chunks=${chunks// /} new=${new// /}
    found=${found// /} output=${output// /} fill=${fill// /} after=${after// /}
    check
    # shellcheck disable=SC2086
    "$MK" ${input//_/ } > stats.in
    cs --stats stats.in stats.out 2> err > stdout || die "--stats $input: exit status $?"
    [ -s stdout ] && die "--stats $input: printed on standard output"
    tr -d '\r' < err > stats
    expect_stat() {
        [ -z "$2" ] && return
        grep -qx "$1: $2" stats || die "--stats $input: want '$1: $2', got '$(grep "^$1:" stats)'"
    }
    expect_stat "input bytes" "$bytes"
    expect_stat "chunks" "$chunks"
    expect_stat "new chunks written" "$new"
    expect_stat "chunks found" "$found"
    expect_stat "output bytes" "$output"
    expect_stat "fill bytes in the output" "$fill"
    expect_stat "bytes after the last chunk end, not written" "$after"
    expect_stat "index entries dropped from full windows" 0
    expect_stat "new share of the input" "$share"
    grep -qx 'wall time: [0-9]*\.[0-9]* s' stats || die "--stats $input: no wall time"
    grep -qx 'speed: [0-9]*\.[0-9]* MB/s' stats || die "--stats $input: no speed"
    [ "$(wc -l < stats)" = 11 ] || die "--stats $input: $(wc -l < stats) lines"
    [ "$(size stats.out)" = "$output" ] || die "--stats $input: output size $(size stats.out)"
done <<'STATS'
marker-zeros      |54    |1  |1  |0  |64    |60|50  |7.41%
marker-repeat_100 |400   |100|1  |99 |64    |60|0   |1.00%
zeros_70000       |70000 |1  |1  |0  |65536 |1 |4465|93.62%
zeros_131070      |131070|2  |1  |1  |65536 |1 |0   |50.00%
lcg_100000        |100000|392|392|0  |112064|  |    |
lcg-twice_30000   |60000 |   |   |117|33984 |  |    |
STATS
# Stream S's chunks are all new: what is not written of the input is its tail, and what the
# output has beyond the input is fill, so fill - tail = 112,064 - 100,000.
"$MK" lcg 100000 > stats.in && cs --stats stats.in stats.out 2> err
fill=$(tr -d '\r' < err | sed -n 's/^fill bytes in the output: //p')
tail=$(tr -d '\r' < err | sed -n 's/^bytes after the last chunk end, not written: //p')
check
[ "$((fill - tail))" = 12064 ] || die "--stats stream S: fill $fill and tail $tail"

# ---- --progress on a terminal: redrawn while the input is read, blanked at the end ----
# `script` gives the command a pseudo-terminal; the input comes in two pieces, 0.6 s apart, so
# the line is drawn at least once (after 0.25 s).
if [ -z "$NAMED_PIPE" ] && command -v script > /dev/null; then
    check
    "$MK" lcg 1000000 > big && cs big big.ref
    printf -v run '%q ' "${RUNNER[@]}" "$CS"  # the runner goes before the command, in the pipe
    printf -v cmd '(head -c 300000 big; sleep 0.6; tail -c +300001 big) | %s--progress - big.out' "$run"
    script -qec "$cmd" /dev/null > tty 2>&1 < /dev/null || die "--progress on a terminal: exit status $?"
    cmp -s big.out big.ref || die "--progress on a terminal: the output differs"
    grep -aq $'\r[0-9.]* MB read, [0-9.]* MB/s' tty || die "--progress on a terminal: no line in '$(cat -v tty)'"
    [ "$(tail -c 1 tty)" = $'\r' ] && tail -c 2 tty | head -c 1 | grep -q ' ' ||
        die "--progress on a terminal: the line was not blanked: '$(tail -c 80 tty | cat -v)'"
fi

# ---- standard output on a terminal: binary bytes refused there before anything is touched,
# written there with --force ----
# `script` gives the command a pseudo-terminal; `stty -opost` passes its bytes through as they
# are. The input's output is 99 19 D3 FF and 60 zero bytes; the map and restored bytes are
# compared with those of a run into files.
if [ -z "$NAMED_PIPE" ] && command -v script > /dev/null; then
    printf -v run '%q ' "${RUNNER[@]}" "$CS"
    on_terminal() { script -qec "stty -opost; $run$*" /dev/null > tty 2>&1 < /dev/null; }
    "$MK" marker-zeros > tiny && cs --map tiny.map tiny tiny.out || die "tiny's map"
    cs --expand --map tiny.map tiny.out tiny.back && cmp -s tiny.back tiny || die "tiny restored"
    while IFS='|' read -r name force written args; do
        name=${name%"${name##*[! ]}"} force=${force// /} written=${written// /}
        check
        rm -f fresh.*
        # shellcheck disable=SC2086
        on_terminal $args
        status=$?
        [ "$status" = 1 ] || die "$name: exit status $status, want 1"
        want="chunksieve: standard output is a terminal: send $name to a file or a pipe, or give --force to write it there"
        printf '%s\n' "$want" | cmp -s - tty ||
            die "$name: the terminal showed '$(head -c 200 tty | cat -v)', want '$want'"
        [ -z "$(ls fresh.* 2> /dev/null)" ] || die "$name: a refused run made $(ls fresh.*)"
        check
        # shellcheck disable=SC2086
        on_terminal "$force" $args || die "$name $force: exit status $?"
        case $written in
            md5:*) [ "$(md5 tty)" = "${written#md5:}" ] ;;
            *) cmp -s tty "$written" ;;
        esac || die "$name $force: the terminal showed '$(head -c 200 tty | cat -v)'"
    done <<'TABLE'
the output         |-f     |md5:b4d027ac7694c947e0ac39ff351202a8|tiny -
the output         |--force|md5:b4d027ac7694c947e0ac39ff351202a8|--index fresh.idx tiny -
the map            |--force|tiny.map                            |--map - tiny fresh.out
the restored bytes |-f     |tiny                                |--expand --map tiny.map tiny.out -
TABLE
fi

report
