#!/usr/bin/env bash
# Makes the two tars of the README's worked example in DIR (default: the current folder):
# monday.tar, a tar of /usr/include/c++, and tuesday.tar, the same after one header was edited,
# one deleted, one copied under a new name and a file of numbers added. Both are made with fixed
# owners, times and order, so that the same system's headers give the same bytes.
#
#   bench/example.sh [DIR]
set -euo pipefail
dir=${1:-.}
mkdir -p "$dir"
cd "$dir"
tar_fixed() { tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -cf "$@"; }
tar_fixed monday.tar -C / usr/include/c++
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/usr/include"
cp -a /usr/include/c++ "$root/usr/include/"
v=$(ls "$root/usr/include/c++" | head -1)
d=$root/usr/include/c++/$v
sed -i 's|#define _GLIBCXX_VECTOR 1|#define _GLIBCXX_VECTOR 1\n// edited on Tuesday|' "$d/vector"
rm "$d/deque"
cp "$d/bits/stl_map.h" "$d/bits/stl_map_copy.h"
seq 1 20000 > "$d/numbers.txt"
tar_fixed tuesday.tar -C "$root" usr/include/c++
ls -l monday.tar tuesday.tar
