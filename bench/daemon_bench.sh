#!/bin/bash
# daemon_bench.sh - load on bbu-i2cd under bbusim: daemon_bench's 20 clients
# x 50 status reads through the daemon beside 1000 direct reads, then the
# transcript's word: every transfer whole and in turn, none lost.
#
#   daemon_bench.sh BBUSIM DAEMON_BENCH BBU_I2CD WORKDIR
set -euo pipefail

bbusim=$1
bench=$2
daemon=$3
work=$4

rm -rf "$work"
mkdir -p "$work"
"$bbusim" --root "$work/root" --transcript "$work/transcript" -- "$bench" "$daemon"

# One transcript line per transfer, appended whole: 1000 direct reads, then
# 1000 by the daemon, one at a time, every one complete with the same bytes.
reads=$(grep -c ' read 0x40 33 -> 33 : ' "$work/transcript")
kinds=$(grep ' read 0x40 ' "$work/transcript" | cut -d' ' -f2- | sort -u | wc -l)
echo
echo "transcript: $reads complete status reads (2000 expected), $kinds distinct line(s)"
[ "$reads" -eq 2000 ] && [ "$kinds" -eq 1 ]
