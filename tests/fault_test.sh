#!/usr/bin/env bash
# The real executable under faults: devices that refuse writes, a directory, too little address
# space, the input named as its own output, a reader that goes away, and a 6 GiB input. Each case
# checks the exit status, the one line printed (nothing after a success), and what is left on
# disk.
#   usage: fault_test.sh CHUNKSIEVE MAKE_INPUT [RUNNER...]
# MAKE_INPUT runs here; CHUNKSIEVE runs through RUNNER when one is given (an emulator such as
# qemu-aarch64-static for a cross build), which skips the cases that measure the process itself.
set -u
CS=$(readlink -f "$1")  # the cases run in a directory of their own
MK=$(readlink -f "$2")
shift 2
T=$(mktemp -d)
loop=""
trap '[ -n "$loop" ] && losetup -d "$loop"; rm -rf "$T"' EXIT
emulated=0
if [ $# -gt 0 ]; then
    # A program of its own that runs the command under the emulator, so that every case below
    # (exec, ulimit, sh -c) starts it as it would start the command itself.
    emulated=1
    printf '#!/bin/sh\nexec' > "$T/emulated"
    for word in "$@" "$CS"; do printf " '%s'" "$word" >> "$T/emulated"; done
    printf ' "$@"\n' >> "$T/emulated"
    chmod +x "$T/emulated"
    CS=$T/emulated
fi
. "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# expect NAME STATUS MESSAGE COMMAND...: the command exits with STATUS and prints MESSAGE on
# standard error, or nothing when MESSAGE is empty.
expect() {
    local name=$1 want=$2 message=$3 status
    shift 3
    check
    "$@" 2> "$T/stderr"
    status=$?
    [ "$status" = "$want" ] || die "$name: exit status $status, want $want"
    if [ -z "$message" ]; then
        [ -s "$T/stderr" ] && die "$name: printed: $(head -c 300 "$T/stderr")"
    else
        [ "$(cat "$T/stderr")" = "chunksieve: $message" ] ||
            die "$name: printed '$(head -c 300 "$T/stderr")', want 'chunksieve: $message'"
    fi
    return 0
}

mkdir "$T/files" && cd "$T/files" || exit 1
"$MK" lcg 100000 > in && cp in in.orig
# Its output is far more than a pipe holds; and it is large enough for threads from the start: a
# hole after the data makes it 70 MB.
"$MK" lcg 20000000 > big && truncate -s 70000000 big

# ---- failures that leave nothing behind, or leave the output as it was ----
expect "output on a full device" 1 "writing '/dev/full': No space left on device" "$CS" in /dev/full
expect "a directory as input" 1 "cannot open '$T': Is a directory" "$CS" "$T" out
[ -e out ] && die "a directory as input must not create the output"
mkdir outdir
expect "a directory as output" 1 "cannot create 'outdir': Is a directory" "$CS" in outdir
expect "a read that fails" 1 "reading '/proc/self/mem': Input/output error" "$CS" /proc/self/mem out

# ---- failures part-way, with the reader and writer threads (a large file from the start, a pipe
# after its first blocks) and without (a small file): exit 1, and on disk the start of the
# complete output ----
"$CS" big big.ref || die "the complete output of big"
"$CS" in in.ref || die "the complete output of in"
head -c 24000000 /dev/urandom > rnd && "$CS" rnd rnd.ref || die "the complete output of rnd"
expect "output on a full device, threads" 1 "writing '/dev/full': No space left on device" \
    "$CS" big /dev/full
# A file size limit: the write that crosses it is cut short, the next fails (SIGXFSZ ignored).
# Through the pipe, threads start after 16 MiB of input, some 18 MB of output: the limit lies
# beyond.
for limit in "big file 1000" "in file 50" "rnd pipe 22000"; do  # KiB
    read -r input how kib <<< "$limit"
    name="a write beyond the file size limit ($input, $how)"
    rm -f part
    expect "$name" 1 "writing 'part': File too large" bash -c 'ulimit -f "$2" && trap "" XFSZ &&
        if [ "$3" = pipe ]; then cat "$1" | "$0" /dev/stdin part; else exec "$0" "$1" part; fi' \
        "$CS" "$input" "$kib" "$how"
    [ "$(size part)" = $((kib * 1024)) ] || die "$name: $(size part) bytes on disk, want $((kib * 1024))"
    cmp -s -n $((kib * 1024)) part "$input.ref" || die "$name: not the start of the output"
done
rm -f rnd rnd.ref part

# The table (672 MiB of addresses) cannot be mapped under a 400,000 KiB limit. An AddressSanitizer
# build cannot start at all there (its shadow memory alone takes terabytes of addresses), which
# says nothing about chunksieve: such a build is told by its complaint, and skips the case.
# An emulator needs address space of its own and is skipped here too.
limited() (ulimit -v 400000 && exec "$@")
limited "$CS" --version > /dev/null 2> "$T/probe"
sanitized=0
[ -s "$T/probe" ] && [ "$emulated" = 0 ] && sanitized=1
if [ "$sanitized" = 1 ]; then
    echo "SKIP: no address space for the table: a sanitizer build cannot start under the limit"
elif [ "$emulated" = 1 ]; then
    echo "SKIP: no address space for the table: the emulator needs more than the limit itself"
else
    printf 'kept' > kept
    expect "no address space for the table" 1 \
        "cannot reserve memory for the index: Cannot allocate memory" limited "$CS" in kept
    [ "$(cat kept)" = kept ] || die "no address space for the table: the existing output was changed"
fi

# The index commits memory as it grows. Under a data-size limit that it outgrows part-way (64 MiB
# of random bytes: some 260,000 distinct chunks, about 10 MiB of index), the run ends with 1, and
# what it wrote is the start of the complete output.
if [ "$sanitized" = 1 ]; then
    echo "SKIP: no memory part-way: a sanitizer build cannot start under a data-size limit"
elif [ "$emulated" = 1 ]; then
    echo "SKIP: no memory part-way: the limit would fall on the emulator itself"
else
    head -c 67108864 /dev/urandom > random
    "$CS" random whole.out || die "no memory part-way: the run without a limit failed"
    # Under the first data limit the reader and writer threads cannot get their stacks and the
    # run stays on one thread; with small stacks and room for their 6 MiB of blocks they start.
    for limits in "ulimit -d 7000" "ulimit -s 1024 && ulimit -d 16000"; do
        rm -f part.out
        check
        sh -c "$limits"' && exec "$0" random part.out' "$CS" 2> "$T/stderr"
        status=$?
        [ "$status" = 1 ] || die "no memory part-way ($limits): exit status $status, want 1"
        grep -qx "chunksieve: out of memory for the index, holding [0-9]* entries" "$T/stderr" ||
            die "no memory part-way ($limits): printed '$(head -c 300 "$T/stderr")'"
        part=$(size part.out)
        [ "$part" -gt 0 ] && [ "$part" -lt "$(size whole.out)" ] ||
            die "no memory part-way ($limits): $part bytes written, want some but not all of $(size whole.out)"
        cmp -s -n "$part" part.out whole.out || die "no memory part-way ($limits): the output is not a prefix"
    done
    rm -f random whole.out part.out
fi

# ---- the input named as the output: refused before anything is truncated ----
ln -s in sym
ln in hard
mkdir sub && ln in sub/hard2
expect "input as output" 1 "'in' is the input file" "$CS" in in
expect "input as output, another path" 1 "'../files/./in' is the input file" "$CS" in ../files/./in
expect "output a symbolic link to the input" 1 "'sym' is the input file" "$CS" in sym
expect "input a symbolic link to the output" 1 "'in' is the input file" "$CS" sym in
expect "output a hard link to the input" 1 "'hard' is the input file" "$CS" in hard
expect "output a hard link in another directory" 1 "'sub/hard2' is the input file" \
    "$CS" in sub/hard2
expect "output the input through standard output" 1 "'/dev/stdout' is the input file" \
    sh -c 'exec "$0" in /dev/stdout >> in' "$CS"
expect "input the output through standard input" 1 "'in' is the input file" \
    sh -c 'exec "$0" /dev/stdin in < in' "$CS"
cmp -s in in.orig || die "the input must be left unchanged"

# The same for a block device: the input's own device (a loop device over a file, where this
# user may attach one), under its own name and under a second device node.
if [ "$(id -u)" = 0 ] && command -v losetup > /dev/null; then
    "$MK" marker-repeat 204800 > dev.img && cp dev.img dev.orig  # 800 KiB: whole sectors
    loop=$(losetup --find --show dev.img 2> /dev/null) || loop=""
fi
if [ -b "$loop" ]; then
    expect "output the input's own block device" 1 "'$loop' is the input file" "$CS" "$loop" "$loop"
    if mknod alias b "0x$(stat -c %t "$loop")" "0x$(stat -c %T "$loop")" 2> /dev/null; then
        expect "output the input's block device, another node" 1 "'alias' is the input file" \
            "$CS" "$loop" alias
    fi
    losetup -d "$loop" && loop=""
    cmp -s dev.img dev.orig || die "the input's own block device must be left unchanged"
else
    echo "SKIP: the input's own block device: no loop device can be attached here"
fi

# ---- a reader that closes the pipe early: the run ends, and not as a success ----
check
timeout 60 "$CS" big /dev/stdout 2> "$T/stderr" | head -c 1 > /dev/null
status=${PIPESTATUS[0]}
case $status in
    141) ;;  # SIGPIPE
    124) die "closed pipe: still running after 60 s" ;;
    *) die "closed pipe: exit status $status, want death by SIGPIPE" ;;
esac
check
(trap '' PIPE && exec timeout 60 "$CS" big /dev/stdout) 2> "$T/stderr" | head -c 1 > /dev/null
status=${PIPESTATUS[0]}
[ "$status" = 1 ] || die "closed pipe, SIGPIPE ignored: exit status $status, want 1"
[ "$(cat "$T/stderr")" = "chunksieve: writing '/dev/stdout': Broken pipe" ] ||
    die "closed pipe, SIGPIPE ignored: printed '$(head -c 300 "$T/stderr")'"

# ---- 6 GiB of zeros (a sparse file): the running total passes 2^32 bytes ----
# Every chunk is 65,535 zero bytes with the same key: the first is written with one fill byte,
# all later ones are found. Only one key is ever stored, so one page of the table is touched.
# It measures the real executable's memory and time: a sanitizer build skips it, as it runs many
# times slower and its memory is mostly the sanitizer's.
if [ "$sanitized" = 1 ] || [ "$emulated" = 1 ]; then
    echo "SKIP: 6 GiB of zeros: a sanitizer or emulated build takes minutes over it"
elif truncate -s 6G sparse 2> /dev/null; then
    started=$(date +%s)
    if [ -x /usr/bin/time ]; then
        expect "6 GiB of zeros" 0 "" /usr/bin/time -f %M -o "$T/rss" "$CS" sparse zeros.out
        rss=$(tail -n 1 "$T/rss")
        [ "$rss" -lt 65536 ] 2> /dev/null || die "6 GiB of zeros: peak RSS $rss KiB, want under 64 MiB"
    else
        expect "6 GiB of zeros" 0 "" "$CS" sparse zeros.out
        rss="(not measured: no /usr/bin/time)"
    fi
    echo "6 GiB of zeros: $(($(date +%s) - started)) s, peak RSS $rss KiB"
    [ "$(size zeros.out)" = 65536 ] || die "6 GiB of zeros: output size $(size zeros.out), want 65536"
    head -c 65536 /dev/zero | cmp -s - zeros.out || die "6 GiB of zeros: the output is not all zero"
    rm -f sparse zeros.out
else
    echo "SKIP: cannot make a 6 GiB sparse file here"
fi

passed=$((checks - failures))
[ "$passed" -lt 0 ] && passed=0
echo "fault: $passed passed, $failures failed"
[ "$failures" = 0 ]
