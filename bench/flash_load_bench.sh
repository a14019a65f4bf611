#!/bin/bash
# flash_load_bench.sh - a full flash load (a 49,152-byte image of a new
# version: 384 blocks, with the version check, the soft reset and every
# mandated pause) on the simulated BBU.
#
#   flash_load_bench.sh BBUSIM MKIMAGE LOADER LIBBBUSIM WORKDIR [RUNS]
#
# Prints the real time and CPU (user + system) of the whole bbusim run, median
# of RUNS (default 11); the instructions per block under callgrind, in all and
# in the library's, the simulator's and the C library's code; the lines the
# load writes to the trace log (counting the empty line after each message
# that ends in a newline of its own); and the load's virtual time (its pauses)
# next to the physical limit: the same pauses plus the time a 100 kHz bus
# needs for the same bytes (the simulator's bus clock).
set -euo pipefail

bbusim=$1
mkimage=$2
loader=$3
preload=$4
work=$5
runs=${6:-11}
blocks=384

mkdir -p "$work"
"$mkimage" -v 6 "$work/image.bin"
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# load ROOT [SCENARIO]: one load in a fresh world.
load() {
    rm -rf "$1"
    "$bbusim" ${2:+--scenario "$2"} --root "$1" -- "$loader" "$work/image.bin" >/dev/null 2>"$1.err" ||
        { cat "$1.err" >&2; exit 1; }
}

rm -f "$work/wall" "$work/cpu"
for ((i = 0; i < runs; i++)); do
    TIMEFORMAT='%3R %3U %3S'
    { time load "$work/root"; } 2>"$work/time"
    read -r real user sys <"$work/time"
    echo "$real" >>"$work/wall"
    awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f\n", u + s }' >>"$work/cpu"
done

# The virtual time is the last transcript stamp: pauses only, transfers take none.
stamp() { tail -1 "$1/bbusim.transcript" | cut -d' ' -f1; }
transfers=$(grep -cE '^[0-9.]+ (read|write) ' "$work/root/bbusim.transcript")
echo "bus-clock 100000" >"$work/bus100k.scn"
load "$work/root100k" "$work/bus100k.scn"

# Callgrind of the loader alone, in a fresh world the launcher left behind.
rm -rf "$work/rootcg"
"$bbusim" --root "$work/rootcg" -- true
BBUSIM_WORLD=$work/rootcg/bbusim.world LD_PRELOAD=$preload valgrind --tool=callgrind \
    --callgrind-out-file="$work/callgrind.out" "$loader" "$work/image.bin" >/dev/null 2>"$work/callgrind.log"
callgrind_annotate --threshold=100 "$work/callgrind.out" >"$work/callgrind.txt"
# per_block PATTERN: instructions of the functions whose line matches, per block.
per_block() {
    awk -v re="$1" -v n=$blocks '$0 ~ re { gsub(",", "", $1); s += $1 } END { printf "%.0f", s / n }' \
        "$work/callgrind.txt"
}

echo "full flash load of $blocks blocks under bbusim ($transfers transfers)"
printf '  real time, median of %d runs:    %s s\n' "$runs" "$(median <"$work/wall")"
printf '  CPU time, median of %d runs:     %s s\n' "$runs" "$(median <"$work/cpu")"
printf '  instructions per block, all:     %s\n' "$(per_block 'PROGRAM TOTALS')"
printf '    in libbbu:                     %s\n' "$(per_block 'libbbu[.]so')"
printf '    in the simulator:              %s\n' "$(per_block 'libbbusim[.]so')"
printf '    in the C library:              %s\n' "$(per_block 'libc[.]so')"
printf '  trace log lines per load:        %s\n' "$(wc -l <"$work/root/opt/Logs/bbu/logs/BBU.log")"
printf '  virtual time (the pauses):       %s s\n' "$(stamp "$work/root")"
printf '  physical limit (pauses + 100 kHz bus): %s s\n' "$(stamp "$work/root100k")"
