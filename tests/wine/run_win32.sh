#!/usr/bin/env bash
# Runs the tests of the 32-bit Windows build under 32-bit Wine.
#   usage: tests/wine/run_win32.sh [--qemu] [BUILD_DIR]     (default BUILD_DIR: build-win32)
#          tests/wine/run_win32.sh --probe     exit 0 when this kernel runs i386 programs itself
# BUILD_DIR is configured with cmake/mingw-w64-i686.cmake and built. Needs Debian's wine64 and
# wine32:i386 (after `dpkg --add-architecture i386`).
#
# Wine's 32-bit loader is an i386 Linux program. Where the kernel runs i386 programs itself,
# the whole suite runs (ctest, each test under a time limit). Elsewhere, --qemu runs them
# through qemu-user (package qemu-user-static), registered for i386 ELF with binfmt_misc for
# the length of this script (root only); there every Wine process takes about 45 s to start,
# so only the reference runs of tests/cli_test.sh are made, each under a time limit.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
binfmt=/proc/sys/fs/binfmt_misc
i386_magic=7f454c4601010100000000000000000002000300

# Whether some binfmt_misc entry (qemu) takes i386 programs: it comes before the kernel's own.
i386_emulated() {
    local f
    for f in "$binfmt"/*; do
        if grep -qs "^magic $i386_magic" "$f" && grep -qsx enabled "$f"; then return 0; fi
    done
    return 1
}

# Builds and runs the smallest i386 program (exit status 0) with the build machine's binutils.
i386_runs_natively() {
    local dir status=1
    i386_emulated && return 1
    dir=$(mktemp -d)
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' \
        > "$dir/exit.s"
    if as --32 -o "$dir/exit.o" "$dir/exit.s" 2>/dev/null &&
        ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null; then
        "$dir/exit" 2>/dev/null && status=0
    fi
    rm -rf "$dir"
    return $status
}

if [ "${1:-}" = --probe ]; then
    i386_runs_natively
    exit
fi
use_qemu=
if [ "${1:-}" = --qemu ]; then
    use_qemu=1
    shift
fi
build=$(cd "${1:-$root/build-win32}" && pwd)
wine32=/usr/lib/wine/wine
per_test_seconds=${CHUNKSIEVE_WIN32_TIMEOUT:-120}

if [ ! -x "$wine32" ]; then
    echo "run_win32.sh: no 32-bit Wine; install wine32:i386" >&2
    exit 2
fi

# A prefix made while Wine had no 32-bit part cannot start 32-bit programs: make it anew.
prefix=$build/wineprefix
if [ -d "$prefix" ] && [ ! -e "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "run_win32.sh: $prefix has no 32-bit Windows; making it anew" >&2
    WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
fi

registered=
unregister() {
    if [ -n "$registered" ]; then echo -1 > "$binfmt/chunksieve-i386"; fi
}
trap unregister EXIT

if [ -n "$use_qemu" ]; then
    if ! i386_emulated; then
        qemu=$(command -v qemu-i386-static) || {
            echo "run_win32.sh: no qemu-i386-static; install qemu-user-static" >&2
            exit 2
        }
        [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
        # 'F': the kernel opens the interpreter now, so it is found from any mount namespace.
        printf ':chunksieve-i386:M::%s:%s:%s:F\n' \
            '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
            '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
            "$qemu" > "$binfmt/register"
        registered=1
    fi
    per_test_seconds=${CHUNKSIEVE_WIN32_TIMEOUT:-300}
    bash "$root/tests/cli_test.sh" --reference-only "$build/chunksieve.exe" \
        "$build/tests/make_input_host" timeout "$per_test_seconds" \
        "$here/wine_run.sh" --prefix "$prefix"
    exit
fi

if ! i386_runs_natively; then
    echo "run_win32.sh: this kernel does not run i386 programs itself; try --qemu" >&2
    exit 2
fi
# Wine now and then fails to start a program; such a test runs once more (see .ci/run).
ctest --test-dir "$build" --output-on-failure --timeout "$per_test_seconds" -j2 --repeat until-pass:2
