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
NAMED_PIPE=
REFERENCE_ONLY=
if [ "${1:-}" = --reference-only ]; then
    REFERENCE_ONLY=1
    shift
fi
if [ "${1:-}" = --windows ]; then
    NAMED_PIPE=$2
    shift 2
fi
CS=$1
MK=$2
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

# ---- reference runs: input, output size, MD5 of the output. The pinned inputs hold each
# chunk-end rule at its edge (tests/test_inputs.h). ----
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

# ---- arguments and files ----
mkdir "$T/files" && cd "$T/files" || exit 1
"$MK" lcg 100000 > in
check; cs && die "no arguments must fail"
check; cs in && die "one argument must fail"
[ -e out ] && die "a failed run must not create the output"
check; cs missing out && die "a missing input must fail"
[ -e out ] && die "a missing input must not create the output"
check; cs "$T" out && die "a directory as input must fail"
[ -e out ] && die "a directory as input must not create the output"
check; cs in no/such/dir/out && die "an output that cannot be created must fail"
check; cs in out extra args && cs in out2 && cmp -s out out2 || die "extra arguments must be ignored"

# An existing output is truncated even when the run writes nothing.
printf 'old contents' > out
check; "$MK" zeros 50 > small && cs small out || die "small input must succeed"
[ "$(size out)" = 0 ] || die "an existing output must be truncated"

# ---- the input never destroyed through its own output ----
cp in keep
check; cs in in && die "input as output must fail"
ln -s in sym; ln in hard
check; cs in sym && die "output through a symbolic link to the input must fail"
check; cs in hard && die "output through a hard link to the input must fail"
check; cs sym ./in && die "input through a symbolic link to the output must fail"
cmp -s in keep || die "the input must be left unchanged"

# ---- write failures are not success ----
if [ -w /dev/full ]; then
    check; cs in /dev/full && die "a full device must fail"
fi

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

report
