#!/usr/bin/env bash
# Builds the fuzzers (if needed) and runs one, or each in turn, for a given time.
#
#   fuzz/run.sh NAME|all SECONDS [LIBFUZZER_OPTION...]
#
# NAME is filter, index, chunk_keys, state, map or map_round_trip. The build is build-fuzz/
# beside fuzz/ (clang, with the sanitizers), or $FUZZ_BUILD_DIR. Each fuzzer starts from its seeds in fuzz/corpus/NAME, which
# it only reads, and keeps what it finds new in build-fuzz/corpus/NAME for later runs. An input
# that fails is written to build-fuzz/findings/ and the script exits non-zero. The sources are
# those of this checkout, or of $FUZZ_SOURCE_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=${FUZZ_SOURCE_DIR:-$(dirname "$here")}
build=${FUZZ_BUILD_DIR:-$(dirname "$here")/build-fuzz}

usage() { echo "usage: $0 filter|index|chunk_keys|state|map|map_round_trip|all SECONDS [LIBFUZZER_OPTION...]" >&2; exit 2; }
[ $# -ge 2 ] || usage
name=$1
seconds=$2
shift 2
case $name in
    all) names=(filter index chunk_keys state map map_round_trip) ;;
    filter | index | chunk_keys | state | map | map_round_trip) names=("$name") ;;
    *) usage ;;
esac

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCHUNKSIEVE_FUZZ=ON \
        -DCHUNKSIEVE_TESTS=OFF -DCHUNKSIEVE_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 --target "${names[@]/#/fuzz_}" >/dev/null

# Options per fuzzer. The filter needs inputs past two 64 KiB blocks and a 65,535-byte chunk;
# it keeps four filters of about 2 MiB and maps a table per run.
options() {
    case $1 in
        filter) echo -max_len=140000 -len_control=0 -rss_limit_mb=4096 -timeout=60 ;;
        index) echo -max_len=4096 -timeout=30 ;;
        chunk_keys) echo -max_len=4096 -timeout=30 ;;
        state) echo -max_len=4096 -timeout=30 ;;
        map) echo -max_len=200000 -len_control=0 -rss_limit_mb=4096 -timeout=60 ;;
        map_round_trip) echo -max_len=300000 -len_control=0 -rss_limit_mb=4096 -timeout=60 ;;
    esac
}

mkdir -p "$build/findings"
for n in "${names[@]}"; do
    mkdir -p "$build/corpus/$n"
    echo "== fuzz_$n for ${seconds}s"
    # shellcheck disable=SC2046
    "$build/fuzz/fuzz_$n" $(options "$n") -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/findings/$n-" "$@" "$build/corpus/$n" "$here/corpus/$n"
done
