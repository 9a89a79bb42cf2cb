#!/bin/bash
# Plants faults in the code one at a time and runs the tests against each:
# a fault the suite does not catch is a hole in it.
#
#   scripts/mutation-check.sh [--check] [mutants-file] [ctest arguments...]
#
# Each line of the mutants file (default scripts/mutants.tsv) is
# "path<TAB>text<TAB>replacement", where "\n" stands for a line break; the
# text must occur exactly once in the file. Lines starting with # are
# comments. --check only verifies that every text is found once.
#
# For each mutant: an incremental build of build/ (configured by `make
# build`), then the unit tests, then, if they all pass, the other tests of
# `make test`, each run stopping at the first failure. The tree's file is
# restored after each run. One line per mutant: caught (and the first test
# that failed), MISSED, or BUILD when the mutant does not compile.
set -u
cd "$(dirname "$0")/.."
check_only=0
if [ "${1:-}" = "--check" ]; then
    check_only=1
    shift
fi
list=${1:-scripts/mutants.tsv}
shift || true
ctest_args=("$@")
[ ${#ctest_args[@]} -eq 0 ] && ctest_args=(-j2)

if [ $check_only -eq 0 ] && [ -n "$(git status --porcelain --untracked-files=no -- src)" ]; then
    echo "mutation-check: src/ has uncommitted changes; commit or stash them first" >&2
    exit 2
fi

# Counts (or, with a replacement, replaces) the one occurrence of the text.
count_text() { TEXT="$2" perl -0777 -ne '(my $t=$ENV{TEXT}) =~ s/\\n/\n/g; my $n=()=/\Q$t\E/g; print $n' "$1"; }
apply() {
    TEXT="$2" REPL="$3" perl -0777 -i -pe '(my $t=$ENV{TEXT}) =~ s/\\n/\n/g; (my $r=$ENV{REPL}) =~ s/\\n/\n/g;
        s/\Q$t\E/$r/' "$1"
}
first_failure() { grep -m1 -oE '[0-9]+ - [^ ]+' "$1" || echo "?"; }

logs=${TMPDIR:-/tmp}/mutation-check.$$
mkdir -p "$logs"
caught=0
missed=0
broken=0
missed_list=""
current=""
restore() { [ -n "$current" ] && git checkout -q -- "$current"; current=""; }
trap 'restore; exit 130' INT TERM

# Runs the suite as `make test` does, unit tests first; false at the first failure.
suite_passes() {
    ctest --test-dir build --stop-on-failure "${ctest_args[@]}" -L unit -LE tsan >"$logs/unit.log" 2>&1 &&
        ctest --test-dir build --stop-on-failure "${ctest_args[@]}" -LE 'unit|tsan' >"$logs/peers.log" 2>&1
}

# A suite that fails without a fault would count every fault as caught.
if [ $check_only -eq 0 ] && ! { cmake --build build -j2 >"$logs/build.log" 2>&1 && suite_passes; }; then
    echo "mutation-check: the suite does not pass on the unchanged tree (logs in $logs)" >&2
    exit 2
fi

while IFS=$'\t' read -r path text replacement; do
    case "$path" in '' | '#'*) continue ;; esac
    count=$(count_text "$path" "$text")
    if [ "$count" != 1 ]; then
        echo "SKIP   $path: text found $count times: $text"
        broken=$((broken + 1))
        continue
    fi
    [ $check_only -eq 1 ] && continue
    current=$path
    apply "$path" "$text" "$replacement"
    if ! cmake --build build -j2 >"$logs/build.log" 2>&1; then
        echo "BUILD  $path: $text -> $replacement (does not compile)"
        broken=$((broken + 1))
    elif suite_passes; then
        echo "MISSED $path: $text -> $replacement"
        missed=$((missed + 1))
        missed_list="$missed_list\n  $path: $text -> $replacement"
    else
        failed=$(first_failure "$logs/unit.log")
        [ "$failed" = "?" ] && failed=$(first_failure "$logs/peers.log")
        echo "caught $path: $text -> $replacement ($failed)"
        caught=$((caught + 1))
    fi
    restore
done <"$list"

rm -rf "$logs"
if [ $check_only -eq 1 ]; then
    echo "texts not found exactly once: $broken"
    [ $broken -eq 0 ]
    exit
fi
cmake --build build -j2 >/dev/null 2>&1
echo "caught $caught, missed $missed, not applicable $broken"
[ $missed -eq 0 ] || {
    printf 'missed:%b\n' "$missed_list"
    exit 1
}
