#!/bin/sh
# Builds the example against an installed chunksieve through pkg-config:
#   [PKG_CONFIG_PATH=PREFIX/lib/pkgconfig] examples/build_pkgconfig.sh [PROGRAM]
# PROGRAM (default: roundtrip) finds the shared library where it was installed (its run path).
set -eu
program=${1:-roundtrip}
libdir=$(pkg-config --variable=libdir chunksieve)
# shellcheck disable=SC2046 # pkg-config's flags are words
${CC:-cc} -std=c99 -Wall -Wextra -Werror -o "$program" "$(dirname "$0")/roundtrip.c" \
    $(pkg-config --cflags --libs chunksieve) -Wl,-rpath,"$libdir"
