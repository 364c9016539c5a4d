# Sourced by the benchmark scripts: the inputs they share, made once each in $BENCH_DIR (default
# /tmp/chunksieve-bench), from tars with sorted names and fixed owners and times, so that a
# machine gives the same bytes each time. Sets `dir`.
dir=${BENCH_DIR:-/tmp/chunksieve-bench}
mkdir -p "$dir"

# A tar of the paths with fixed names, owners and times, to standard output; a reader that stops
# early (head -c) is no failure.
tar_sorted() { tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf - "$@" 2>/dev/null || true; }

# unique-512M: the first 512 MiB of a tar of /usr/lib and /usr/share.
make_unique_input() {
    [ -s "$dir/unique-512M" ] || tar_sorted /usr/lib /usr/share | head -c $((512 << 20)) > "$dir/unique-512M"
}

# duplicate-512M: eight copies of a 64 MiB tar of /usr/lib, each with 64 small edits, made by
# the build's make_bench_input (the build folder is the argument).
make_duplicate_input() {
    if [ ! -s "$dir/duplicate-512M" ]; then
        tar_sorted /usr/lib | head -c $((64 << 20)) > "$dir/base-64M"
        "$1/bench/make_bench_input" copies "$dir/base-64M" 8 64 1 | head -c $((512 << 20)) > "$dir/duplicate-512M"
    fi
}
