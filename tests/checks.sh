# Sourced by every shell test: the counters and the helpers that count with them. A script
# reports its checks and fails when `failures` is not 0 at its end.
failures=0
checks=0
die() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { checks=$((checks + 1)); }
md5() { md5sum "$1" | cut -d' ' -f1; }
size() { stat -c %s "$1"; }
