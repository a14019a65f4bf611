#!/bin/bash
# battsnap_bench.sh - one state-save capture of 3 strings with no pacing
# (-t 0) on the simulated BBU, done by battsnap and done by hand with one
# i2ctransfer call per transfer; prints both side by side.
#
#   battsnap_bench.sh BBUSIM BATTSNAP WORKDIR [RUNS]
#
# Wall and CPU time (user + system) are measured around the whole bbusim run:
# the launcher and everything it ran (the launcher alone is shown as a
# baseline). Peak memory comes from GNU time: the largest resident set of any
# single process of the run. Transfers and sleeps are
# counted in the simulator's transcript. Medians over RUNS runs (default 11).
set -euo pipefail

bbusim=$1
battsnap=$2
work=$(mkdir -p "$3" && cd "$3" && pwd)
runs=${4:-11}
here=$(cd "$(dirname "$0")" && pwd)
bus=11

# battsnap takes a file name of at most 49 characters: the runs write their
# records in the work directory, by a short relative name.
cd "$work"

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure NAME COMMAND...: RUNS runs in fresh roots; leaves NAME.wall, NAME.cpu,
# NAME.rss (one value a line) and the transcript of the last run.
measure() {
    local name=$1
    shift
    rm -f "$work/$name".{wall,cpu,rss}
    for ((i = 0; i < runs; i++)); do
        local root="$work/$name.root"
        rm -rf "$root"
        local TIMEFORMAT='%3R %3U %3S'
        { time /usr/bin/time -f '%M' -o "$work/$name.rss1" \
            "$bbusim" --root "$root" --transcript "$work/$name.transcript" --adapter /dev/i2c-$bus -- "$@" \
            >/dev/null 2>"$work/$name.stderr"; } 2>"$work/$name.time"
        read -r real user sys <"$work/$name.time"
        awk -v r="$real" 'BEGIN { printf "%.1f\n", r * 1000 }' >>"$work/$name.wall"
        awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.0f\n", (u + s) * 1000 }' >>"$work/$name.cpu"
        cat "$work/$name.rss1" >>"$work/$name.rss"
    done
}

row() {
    local name=$1 label=$2
    local t="$work/$name.transcript"
    printf '%-28s %10s %10s %10s %10s %8s\n' "$label" \
        "$(median <"$work/$name.wall")" "$(median <"$work/$name.cpu")" "$(median <"$work/$name.rss")" \
        "$(grep -cE '^[0-9.]+ (read|write) ' "$t" || true)" "$(grep -cE '^[0-9.]+ sleep ' "$t" || true)"
}

measure baseline true
measure battsnap "$battsnap" -t 0 -b 3 -f battsnap.bin
measure by_hand bash "$here/battsnap_by_hand.sh" $bus 3 by_hand.bin

cmp battsnap.bin by_hand.bin || echo "warning: the two record files differ" >&2

echo "capture of 3 strings, -t 0, median of $runs runs"
printf '%-28s %10s %10s %10s %10s %8s\n' "" "wall ms" "CPU ms" "peak KiB" "transfers" "sleeps"
row baseline "bbusim -- true"
row battsnap "battsnap -t 0 -b 3 -f"
row by_hand "i2ctransfer script"
