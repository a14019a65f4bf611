#!/usr/bin/env bash
# Runs the fuzz targets (built by the fuzz preset) on their corpora.
#
#   fuzz/run.sh [--seconds N] [--jobs J] [TARGET...]
#   fuzz/run.sh --merge TARGET...
#
# Each target runs N seconds (default 30) from the reviewed corpus in
# fuzz/corpus/TARGET, with fuzz/TARGET.dict when there is one, J at a time
# (default 2), in a scratch directory of its own under build/fuzz/: the tree
# is never written. New inputs go to build/fuzz/corpus/TARGET, a crash, hang
# or oracle failure to build/fuzz/artifacts/TARGET/, the log to
# build/fuzz/logs/TARGET.log. Prints a line per target (seconds, executions,
# edges covered, what it found) and exits 1 if any target found something.
# --merge adds to fuzz/corpus/TARGET the inputs of build/fuzz/corpus/TARGET
# that cover something new (libFuzzer's -merge=1), run in the target's
# scratch directory like a run.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build/fuzz
seconds=30
jobs=2
merge=no
while [ $# -gt 0 ]; do
    case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --merge) merge=yes; shift ;;
    -*) echo "usage: $0 [--seconds N] [--jobs J] [TARGET...] | --merge TARGET..." >&2; exit 2 ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || set -- $(cd "$here/corpus" && ls)

if [ $merge = yes ]; then
    for name in "$@"; do
        mkdir -p "$build/work/$name"
        (cd "$build/work/$name" && "$build/bin/$name" -merge=1 -rss_limit_mb=0 \
            "$here/corpus/$name" "$build/corpus/$name") 2>&1 | grep '^MERGE-OUTER: [0-9]* new files' || true
    done
    exit 0
fi

one() {
    name=$1
    bin=$build/bin/$name
    [ -x "$bin" ] || { echo "$name: not built (cmake --build --preset fuzz)"; return 1; }
    work=$build/work/$name
    mkdir -p "$build/corpus/$name" "$build/artifacts/$name" "$build/logs" "$work"
    set -- -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$name/"
    [ -f "$here/$name.dict" ] && set -- "$@" -dict="$here/$name.dict"
    log=$build/logs/$name.log
    status=0
    (cd "$work" && TMPDIR=$work "$bin" "$@" "$build/corpus/$name" "$here/corpus/$name") \
        >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    found=nothing
    [ $status -eq 0 ] || found="exit $status: $(ls "$build/artifacts/$name" | head -n 1) (see $log)"
    echo "$name: ${seconds} s, ${execs:-0} executions, ${edges:-0} edges, found $found"
    [ $status -eq 0 ]
}

mkdir -p "$build/logs"
failed=0
running=0
for name in "$@"; do
    one "$name" >"$build/logs/$name.line" 2>&1 &
    running=$((running + 1))
    if [ $running -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait
for name in "$@"; do
    cat "$build/logs/$name.line"
    grep -q 'found nothing$' "$build/logs/$name.line" || failed=1
done
exit $failed
