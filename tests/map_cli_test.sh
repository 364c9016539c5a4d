#!/usr/bin/env bash
# --map and --expand through the real executable: round trips from files and pipes, chains of
# runs with --index, every bad map, output or file refused with exit status 1 and its message,
# and no wrong restored file left behind.
#   usage: map_cli_test.sh [--windows NAMED_PIPE] CHUNKSIEVE MAKE_INPUT [RUNNER...]
# As in cli_test.sh: RUNNER runs CHUNKSIEVE (an emulator); --windows marks a Windows build, whose
# pipes and POSIX-only cases are left out.
set -u
. "$(dirname "$0")/cli_common.sh" "$@"

# round_trip NAME: IN's map and output, then IN again from them; OUT as without --map.
round_trip() {
    check
    cs in ref || die "$1: a run without --map"
    cs --map m in out || die "$1: a run with --map"
    cmp -s out ref || die "$1: the output differs with --map"
    cs --expand --map m out back || die "$1: expand"
    cmp -s back in || die "$1: the restored bytes differ"
}

mkdir "$T/files" && cd "$T/files" || exit 1

# ---- round trips from files ----
for args in zeros_0 zeros_50 zeros_70000 marker-repeat_100 lcg_300000 lcg-twice_100000 \
    dups_400000_7 pinned_maximum-65535 pinned_marker-straddles-maximum-end; do
    # shellcheck disable=SC2086
    "$MK" ${args//_/ } > in || die "make_input $args"
    round_trip "$args"
done

# ---- pipes: the map, the input, the output and the restored bytes, each through one ----
"$MK" dups 400000 3 > in
cs in ref
if [ -z "$NAMED_PIPE" ]; then
    check
    cat in | cs --map - - out > m || die "input and map through pipes"
    cmp -s out ref || die "the output differs through pipes"
    cat m | cs --expand --map - out back || die "the map from a pipe"
    cmp -s back in || die "restored from a piped map"
    check
    cat out | cs --expand --map m - back2 || die "the output from a pipe"
    cmp -s back2 in || die "restored from a piped output"
    check
    cs --expand --map m out - | cmp -s - in || die "restored into a pipe"
fi

# ---- a chain of three runs with --index: each expands with the earlier runs as links ----
"$MK" dups 300000 11 > d1
{ head -c 100000 d1; printf 'one edit'; tail -c +100001 d1; } > d2
{ head -c 200000 d2; printf 'another'; tail -c +200001 d2; "$MK" lcg 5000; } > d3
check
cs --index st --map m1 d1 o1 && cs --index st --map m2 d2 o2 && cs --index st --map m3 d3 o3 ||
    die "three runs with --index and --map"
cs --expand --map m3 --link-map m1 --link-out o1 --link-map m2 --link-out o2 o3 r3 ||
    die "the third run with its links"
cmp -s r3 d3 || die "the third run restored wrongly"
check
cs --expand --map m3 --link-map m1 --link-in d1 --link-map m2 --link-out o2 o3 r3 ||
    die "a link given by its input"
cmp -s r3 d3 || die "the third run restored wrongly from a link's input"
refused "no links" "map 'm3' goes on from earlier runs" --expand --map m3 o3 r3
refused "a link missing" "map 'm3' does not go on from the last link map 'm1'" \
    --expand --map m3 --link-map m1 --link-out o1 o3 r3
refused "out of order" "link map 'm2' goes on from an earlier run" \
    --expand --map m3 --link-map m2 --link-out o2 --link-map m1 --link-out o1 o3 r3
refused "links for a first run" "map 'm1' does not go on from earlier runs" \
    --expand --map m1 --link-map m1 --link-out o1 o1 r3
refused "a link's data missing" "each --link-map needs one --link-out or --link-in" \
    --expand --map m2 --link-map m1 o2 r3
# A state saved without a map holds no places for the chunks it knows.
cs --index plain.st d1 p1
refused "a state without values" "index state 'plain.st' was saved by a run without --map" \
    --index plain.st --map pm d2 p2
[ -e pm ] && die "a refused run left its map"

# ---- bad maps and outputs: exit 1, the message, and no restored file left ----
cp "$T/files/in" in.orig
cs --map m in out
size_m=$(size m)
head -c $((size_m - 1)) m > m.cut
head -c 1000 out > out.cut
{ cat out; head -c 64 /dev/zero; } > out.long
{ cat m; printf x; } > m.long
cp m m.flip && printf '\xff' | dd of=m.flip bs=1 seek=100 conv=notrunc 2> /dev/null
cp out out.flip && printf '\x5a' | dd of=out.flip bs=1 seek=3000 conv=notrunc 2> /dev/null
: > empty
cs --map m.other ref out.other
while IFS='|' read -r name message args; do
    name=${name%"${name##*[! ]}"}
    rm -f restored
    # shellcheck disable=SC2086
    refused "$name" "$message" $args
    [ -e restored ] && die "$name: a restored file was left"
done <<TABLE
not a map              |map 'in' is not a map of chunksieve|--expand --map in out restored
an empty map           |map 'empty' is empty, not a map|--expand --map empty out restored
a map cut short        |map 'm.cut' is truncated: it ends at byte $((size_m - 1)), before its end|--expand --map m.cut out restored
a byte after the map   |map 'm.long' has bytes after its end, from byte $size_m|--expand --map m.long out restored
a map byte changed     |map 'm.flip' is damaged at byte|--expand --map m.flip out restored
an output cut short    |output 'out.cut' ends at byte|--expand --map m out.cut restored
an output extended     |output 'out.long' has bytes beyond what map 'm' describes|--expand --map m out.long restored
an output byte changed |the restored bytes do not match the checksum in map 'm'|--expand --map m out.flip restored
another run's output   |output 'out.other' does not match map 'm'|--expand --map m out.other restored
another run's map      |map 'm.other'|--expand --map m.other out restored
no map                 |--expand needs --map MAP|--expand out restored
RESTORED is the output |'out' is the output|--expand --map m out out
RESTORED is the map    |'m' is the map|--expand --map m out m
RESTORED a link's map  |'m1' is the link 'm1'|--expand --map m2 --link-map m1 --link-out o1 o2 m1
the map is the input   |the map 'in' is the input|--map in in out2
the map is the output  |the map 'out2' is the output|--map out2 in out2
the map is the state   |the map 'st' is the index state 'st'|--index st --map st d1 o9
links without --expand |--link-map, --link-out and --link-in go with --expand|--link-map m1 --link-out o1 in out
TABLE
[ "$(cat m1 | head -c 8)" = CSIEVEMP ] || die "a refused expand changed a link's map"
[ -s out ] || die "a refused expand changed the output"

# A RESTORED that was there before a failed expand is left empty, never half restored.
check
printf 'old contents' > old
cs --expand --map m.flip out old 2> /dev/null && die "a damaged map must fail"
[ -f old ] && ! [ -s old ] || die "an existing RESTORED must be left empty after a failure"

if [ -z "$NAMED_PIPE" ]; then
    ln out out.hard
    refused "RESTORED a hard link to the output" "'out.hard' is the output" \
        --expand --map m out out.hard
    check
    cat out | cs --expand --map m - - > /dev/null 2> "$T/stderr" && die "both pipes must fail"
    grep -qF "neither the output nor RESTORED is a regular file" "$T/stderr" ||
        die "both pipes: said '$(cat "$T/stderr")'"
    check
    cat o1 | cs --expand --map m2 --link-map m1 --link-out - o2 r 2> "$T/stderr" &&
        die "a link from a pipe must fail"
    grep -qF "is not a regular file" "$T/stderr" || die "a link from a pipe: $(cat "$T/stderr")"
    # A run that fails removes the map it created.
    refused "a read that fails" "reading '/proc/self/mem'" --map m.failed /proc/self/mem o.failed
    [ -e m.failed ] && die "a failed run left its map"
fi

echo "map_cli: $((checks - failures)) passed, $failures failed"
[ "$failures" = 0 ]
