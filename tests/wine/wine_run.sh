#!/usr/bin/env bash
# Runs a Windows program under Wine for the tests, with the program's exit status:
#   wine_run.sh [--prefix DIR] PROGRAM.exe [ARGS...]
# DIR (or $WINEPREFIX) is a Wine prefix of the tests' own, created on first use.
#
# The prefix's wineserver and Wine's background programs (services, devices) are started here,
# once, with their standard streams on /dev/null, and the server is kept for
# CHUNKSIEVE_WINE_PERSIST seconds (default 120) after the last program ends. Started by a test
# program instead, they would inherit its pipes and keep ctest waiting for them to close, and
# every test would pay for starting them again. `wineserver -k` (same WINEPREFIX) ends them.
set -u
prefix=${WINEPREFIX:-}
if [ "${1:-}" = --prefix ]; then
    prefix=$2
    shift 2
fi
if [ -z "$prefix" ] || [ $# -lt 1 ]; then
    echo "usage: wine_run.sh [--prefix DIR] PROGRAM.exe [ARGS...]" >&2
    exit 125
fi
wine=${CHUNKSIEVE_WINE:-/usr/lib/wine/wine64}
server=${CHUNKSIEVE_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX=$prefix
export WINEDEBUG=-all
# No download prompts for the .NET and HTML engines: the tests need neither. No debugger for
# a crash either: Wine's default one prints a report and the crashed program's exit status
# becomes 0, so a crashing test would pass; without it the status is the exception's code
# (mod 256, e.g. 29 for STATUS_ILLEGAL_INSTRUCTION, 5 for STATUS_ACCESS_VIOLATION).
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

mkdir -p "$prefix" || exit 125
(
    flock 9
    # Exits 0 after starting a server, 2 when one already runs for this prefix.
    if "$server" -p"${CHUNKSIEVE_WINE_PERSIST:-120}" 9>&- </dev/null >/dev/null 2>&1; then
        "$wine" wineboot 9>&- </dev/null >/dev/null 2>&1
    fi
) 9>"$prefix/.chunksieve-lock"
exec "$wine" "$@"
