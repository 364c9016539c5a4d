#!/usr/bin/env bash
# --index STATE through the real executable: runs that go on from an earlier run's index, every
# unfit state refused with its message and nothing touched, failures in the run and in the save
# leaving the state as it was, and a second run on the same state refused while one is running.
#   usage: state_cli_test.sh [--windows NAMED_PIPE] CHUNKSIEVE MAKE_INPUT [RUNNER...]
# As in cli_test.sh: RUNNER runs CHUNKSIEVE (an emulator), --windows names the helper that serves
# Windows named pipes.
set -u
. "$(dirname "$0")/cli_common.sh" "$@"

mkdir "$T/files" && cd "$T/files" || exit 1
"$MK" lcg 100000 > s1    # the test stream S
"$MK" lcg 200000 > s2    # S and 100,000 bytes more

# ---- runs that go on from the state ----
# Without the option no state is read or written; with it, the first run's output is the same.
check; cs s1 plain || die "a run without --index"
[ "$(ls)" = "$(printf 'plain\ns1\ns2')" ] || die "a run without --index wrote: $(ls | tr '\n' ' ')"
check; cs --index st s1 o1 || die "first run with a new state"
[ "$(md5 o1)" = 4f4ca341016595ff69cb75e983895c33 ] || die "first run's output differs"
# 392 entries of 20 bytes, 64 bytes of header and 4 of checksum.
[ "$(size st)" = 7908 ] || die "state after S: $(size st) bytes, want 7908"
[ -e st.tmp ] && die "the temporary state must be gone"
cp st st.s1
# The entries: what lies between the header and the checksum.
entries() { tail -c +65 "$1" | head -c -4; }
check; cs --index st s1 o2 || die "second run of the same input"
[ "$(size o2)" = 0 ] || die "the same input again must write nothing, wrote $(size o2)"
cmp -s <(entries st) <(entries st.s1) || die "the same input again must leave the same entries"
cmp -s st st.s1 && die "the running total must go on"
# S2 begins with S: with S's state its output is the part of the plain output after S's.
cp st.s1 st
check; cs --index st s2 o3 || die "a longer input from S's state"
[ "$(size o3)" = 111552 ] && [ "$(md5 o3)" = ce792c81f554d176fb1e4199c7231f88 ] ||
    die "the longer input's output from S's state: $(size o3) bytes, $(md5 o3)"
[ "$(size st)" = 15608 ] || die "state after S2: $(size st) bytes, want 15608"
cp st st.s2
cp st.s1 st
check; cs --stats --index st s2 o3 2> "$T/stats" || die "a run with --stats"
grep -q '^index entries loaded: 392 in [0-9.]* s' "$T/stats" &&
    grep -q '^index entries saved: 777 in [0-9.]* s' "$T/stats" ||
    die "--stats with --index said: $(cat "$T/stats")"
# An empty input leaves an empty index: a state of 68 bytes.
: > empty
check; cs --index st0 empty o4 || die "an empty input with a new state"
[ "$(md5 st0)" = dce4aa38c3b8410ad30f412dda4bcd60 ] || die "the empty index's state differs"
[ -f st0.lock ] || die "a complete run must keep the lock file it made"

# ---- unfit states: a message, status 1, the output and the state untouched ----
printf 'old output' > out && cp out out.orig
first_bytes() { head -c "$1" st.s2 > "$2"; }
flip() { # flip FILE OFFSET: inverts one bit of the byte at OFFSET
    cp st.s2 "$1"
    local b
    b=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $((b ^ 4)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
: > u.empty
first_bytes 6 u.cut6
first_bytes 39 u.cut39
first_bytes 40 u.cut40
first_bytes 7000 u.cut7000
first_bytes 63 u.cut63
first_bytes 15607 u.cut15607
flip u.flip.key 1000
flip u.flip.total 35
flip u.flip.crc 15606
printf 'hello, world\n' > u.text
{ printf 'CSIEVEIY'; tail -c +9 st.s2; } > u.magic
# Whole files (their checksums match) of format version 4, and of an index of 2^24 slots.
printf 'CSIEVEIX\x04\x00\x00\x00\x00\x00\x00\x02\x10\x00\x00\x00\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x48\x9d\x6c\x25' > u.v4
printf 'CSIEVEIX\x01\x00\x00\x00\x00\x00\x00\x01\x10\x00\x00\x00\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x08\x52\x0c\x9c' > u.slots
mkdir u.dir
while read -r file message; do
    [ -d "$file" ] || cp "$file" "$file.orig"
    refused "$file" "$message" --index "$file" s1 out
    cmp -s out out.orig || die "$file: the output was touched"
    [ -d "$file" ] || cmp -s "$file" "$file.orig" || die "$file: the state was touched"
    [ -e "$file.tmp" ] && die "$file: a temporary state was left"
    [ -e "$file.lock" ] && die "$file: a lock file was left"
done <<'TABLE'
u.empty is empty, not an index state
u.cut6 is truncated
u.cut39 is truncated
u.cut40 is truncated
u.cut7000 is truncated
u.cut63 is truncated
u.cut15607 is truncated
u.flip.key is damaged
u.flip.total is damaged
u.flip.crc is damaged
u.text is not an index state of chunksieve
u.magic is not an index state of chunksieve
u.v4 has format version 4; this chunksieve reads versions 1 to 3
u.slots was made for an index of another size
u.dir is a directory, not an index state
TABLE
# A broken state's whole message: what is wrong with it, then what to do.
while IFS='|' read -r file message; do
    file=${file// /}
    refused "$file, the whole message" "chunksieve: $message" --index "$file" s1 out
done <<'TABLE'
u.empty   |'u.empty' is empty, not an index state: move it aside, or give a new STATE, to start a new index
u.cut40   |index state 'u.cut40' is truncated: move it aside, or give a new STATE, to start a new index
u.flip.crc|index state 'u.flip.crc' is damaged (its checksum or contents do not match): move it aside, or give a new STATE, to start a new index
u.magic   |'u.magic' is not an index state of chunksieve: move it aside, or give a new STATE, to start a new index
TABLE

# ---- failures leave the state as it was ----
cp st.s1 st
if [ -w /dev/full ]; then
    refused "a write that fails" "" --index st s2 /dev/full
    cmp -s st st.s1 || die "a failed run must leave the state as it was"
fi
refused "a missing input" "" --index st missing out
cmp -s st st.s1 || die "a run that cannot start must leave the state as it was"
[ -f st.lock ] || die "a refused run must leave a lock file that it did not make"
mkdir st.tmp  # the temporary state cannot be created
refused "a save that cannot begin" "cannot save index state" --index st s2 out
cmp -s st st.s1 || die "a failed save must leave the state as it was"
rmdir st.tmp
refused "the output is the state" "is the index state" --index st s2 st
cmp -s st st.s1 || die "the state named as the output must be left as it was"
refused "a state in a missing folder" "cannot lock index state 'no/such/st' through 'no/such/st.lock'" \
    --index no/such/st s1 out
refused "--index without a file" "option '--index' needs a value" s1 out --index
if [ -z "$NAMED_PIPE" ]; then
    # A file size limit that the output keeps to and the state does not: the write of the
    # temporary state fails part-way (EFBIG; SIGXFSZ ignored).
    check
    cp st.s2 st  # 15,584 bytes of state, and from it S writes nothing
    (trap '' XFSZ; ulimit -f 8 && exec "${RUNNER[@]}" "$CS" --index st s1 o5) 2> "$T/stderr"
    status=$?
    [ "$status" = 1 ] || die "a save that fails part-way: exit status $status"
    grep -qF "cannot save index state" "$T/stderr" || die "a save that fails part-way said: $(cat "$T/stderr")"
    cmp -s st st.s2 || die "a save that fails part-way must leave the state as it was"
    [ -e st.tmp ] && die "a save that fails part-way must remove the temporary state"
fi

# ---- a run with a new state that does not complete leaves no file beside it ----
# Its lock file goes too, whether the run was refused at the start or failed at the end.
# Columns: case | where (all; full where /dev/full can be written) | the arguments.
while IFS='|' read -r name where args; do
    name=${name%"${name##*[! ]}"}
    [ "${where// /}" = full ] && ! [ -w /dev/full ] && continue
    [ "$name" = "a save that cannot begin" ] && mkdir new.idx.tmp  # made by the test, not the run
    # shellcheck disable=SC2086
    refused "$name" "" $args
    rmdir new.idx.tmp 2> /dev/null
    [ -z "$(ls -d new.idx* 2> /dev/null)" ] || die "$name: left $(ls -d new.idx*)"
done <<'TABLE'
a missing input         |all |--index new.idx missing out
an output not made      |all |--index new.idx s1 no/such/out
the map is the input    |all |--index new.idx --map s1 s1 out
a write that fails      |full|--index new.idx s2 /dev/full
a save that cannot begin|all |--index new.idx s1 out
TABLE

# ---- a second run on the same state while one runs ----
# The first run takes the lock before it opens its input, and waits there for the input.
cp st.s1 st
check
if [ -z "$NAMED_PIPE" ]; then
    mkfifo fifo
    cs --index st fifo o6 &
    first=$!
    # Until the lock shows in /proc/locks (taking it to try would race with the first run).
    lock_inode=$(stat -c %i st.lock)
    for _ in $(seq 500); do grep -q ":$lock_inode " /proc/locks && break; sleep 0.02; done
    refused "a second run at once" "is in use by another chunksieve run" --index st s2 o7
    [ "$(stat -c %i st.lock)" = "$lock_inode" ] || die "a refused run removed the lock held"
    timeout 20 sh -c 'cat s2 > fifo' || die "the first run did not take its input"
else
    "${RUNNER[@]}" "$NAMED_PIPE" feed "chunksieve-$$" s2 65536 "$T/ready" gate &
    helper=$!
    for _ in $(seq 300); do [ -e "$T/ready" ] && break; sleep 0.05; done
    cs --index st '\\.\pipe\chunksieve-'"$$" o6 &
    first=$!
    for _ in $(seq 600); do [ -e gate.wait ] && break; sleep 0.05; done
    refused "a second run at once" "is in use by another chunksieve run" --index st s2 o7
    touch gate
    wait "$helper" || die "the pipe helper failed"
fi
wait "$first" || die "the first run failed"
[ "$(md5 o6)" = ce792c81f554d176fb1e4199c7231f88 ] || die "the first run's output differs"
cmp -s st st.s2 || die "the first run's state differs"

echo "state_cli: $((checks - failures)) passed, $failures failed"
[ "$failures" = 0 ]
