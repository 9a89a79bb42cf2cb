#!/bin/sh
# Runs every libFuzzer target of build-fuzz/ (make fuzz builds them) for the
# given seconds each (default 60), from its seed corpus in tests/fuzz/corpus;
# new inputs go to build-fuzz/corpus, crashes to build-fuzz/crashes. Prints
# the executions per target; fails on the first target that finds a fault.
#   scripts/fuzz.sh [seconds per target] [target...]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-$(cd tests/fuzz/corpus && ls)}
out=build-fuzz
mkdir -p "$out/crashes"
for t in $targets; do
    mkdir -p "$out/corpus/$t"
    log="$out/$t.log"
    if ! "$out/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$out/crashes/$t-" "$out/corpus/$t" "tests/fuzz/corpus/$t" \
        >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        echo "[fuzz] $t found a fault; input in $out/crashes/" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "[fuzz] $t: $runs executions in ${seconds} s"
done
