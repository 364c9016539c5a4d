#!/usr/bin/env bash
# Command-line behaviour of the real executable: reference outputs, exit statuses and what is
# left on disk.   usage: cli_test.sh CHUNKSIEVE MAKE_INPUT
set -u
CS=$1
MK=$2
T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT
failures=0
checks=0

die() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }
md5() { md5sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }

# ---- reference runs: input, output size, MD5 of the output ----
while read -r name args out_size out_md5; do
    check
    # shellcheck disable=SC2086
    "$MK" ${args//_/ } > "$T/in" || die "make_input $args"
    "$CS" "$T/in" "$T/out" || die "$name: exit status $?"
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
TABLE

# ---- arguments and files ----
mkdir "$T/files" && cd "$T/files" || exit 1
"$MK" lcg 100000 > in
check; "$CS" && die "no arguments must fail"
check; "$CS" in && die "one argument must fail"
[ -e out ] && die "a failed run must not create the output"
check; "$CS" missing out && die "a missing input must fail"
[ -e out ] && die "a missing input must not create the output"
check; "$CS" "$T" out && die "a directory as input must fail"
[ -e out ] && die "a directory as input must not create the output"
check; "$CS" in no/such/dir/out && die "an output that cannot be created must fail"
check; "$CS" in out extra args && "$CS" in out2 && cmp -s out out2 || die "extra arguments must be ignored"

# An existing output is truncated even when the run writes nothing.
printf 'old contents' > out
check; "$MK" zeros 50 > small && "$CS" small out || die "small input must succeed"
[ "$(size out)" = 0 ] || die "an existing output must be truncated"

# ---- the input never destroyed through its own output ----
cp in keep
check; "$CS" in in && die "input as output must fail"
ln -s in sym; ln in hard
check; "$CS" in sym && die "output through a symbolic link to the input must fail"
check; "$CS" in hard && die "output through a hard link to the input must fail"
check; "$CS" sym ./in && die "input through a symbolic link to the output must fail"
cmp -s in keep || die "the input must be left unchanged"

# ---- write failures are not success ----
if [ -w /dev/full ]; then
    check; "$CS" in /dev/full && die "a full device must fail"
fi

# ---- pipes: short pieces in, standard output out, the same bytes as file to file ----
"$CS" in ref || die "file to file"
check; "$MK" lcg 100000 997 | "$CS" /dev/stdin /dev/stdout > piped || die "pipe to pipe"
cmp -s ref piped || die "piped output differs from file output"
"$MK" lcg-twice 30000 > twice && "$CS" twice ref2 || die "file to file (twice)"
check; "$MK" lcg-twice 30000 61 | "$CS" /dev/stdin /dev/stdout | cat > piped2 || die "pipe to pipe (twice)"
cmp -s ref2 piped2 || die "piped output differs from file output (twice)"

passed=$((checks - failures))
[ "$passed" -lt 0 ] && passed=0
echo "cli: $passed passed, $failures failed"
[ "$failures" = 0 ]
