#!/bin/bash
# battsnap_by_hand.sh - the state-save capture done without battsnap: one
# i2ctransfer call per transfer, the same conversation and the same record
# file (state save, general status, battery strings 1 to NBR, raw bytes).
#
#   battsnap_by_hand.sh BUS NBR OUTFILE
#
# Run it against the simulated BBU as
#   bbusim --adapter /dev/i2c-BUS -- bash battsnap_by_hand.sh BUS NBR OUTFILE
set -euo pipefail

bus=$1
nbr=$2
out=$3
tries=5

# 8-bit end-around-carry sum of the arguments (bytes as numbers).
sumcheck() {
    local sum=0 b
    for b in "$@"; do
        sum=$((sum + b))
        if ((sum > 255)); then sum=$(((sum & 255) + 1)); fi
    done
    echo "$sum"
}

# read_checked LEN ADDR: read LEN bytes whose last byte is the sum of the
# others; prints them, or fails after $tries attempts.
read_checked() {
    local len=$1 addr=$2 attempt bytes
    for ((attempt = 0; attempt < tries; attempt++)); do
        if bytes=$(i2ctransfer -y "$bus" "r${len}@${addr}" 2>/dev/null); then
            read -ra b <<<"$bytes"
            if ((${#b[@]} == len)) && (($(sumcheck "${b[@]:0:len-1}") == b[len - 1])); then
                echo "$bytes"
                return 0
            fi
        fi
    done
    echo "read of $len bytes at $addr failed" >&2
    return 1
}

# command CODE PARAM DATALEN: send the frame, poll until the BBU is done
# without error, read the response block; prints its data bytes.
command() {
    local code=$1 param=$2 datalen=$3 poll gss block
    i2ctransfer -y "$bus" w3@0x40 "$code" "$param" "$(sumcheck "$code" "$param")"
    for ((poll = 0; poll < tries; poll++)); do
        gss=$(read_checked 33 0x40)
        read -ra g <<<"$gss"
        if (((g[0] & 0x80) == 0)); then break; fi
    done
    if (((g[0] & 0x80) != 0 || (g[4] & 0x74) != 0 || (g[5] & 0xfb) != 0)); then
        echo "command $code $param did not complete" >&2
        return 1
    fi
    block=$(read_checked $((5 + datalen + 1)) 0x60)
    read -ra k <<<"$block"
    if ((k[0] != code || k[3] != 0 || k[4] == 0)); then
        echo "bad response header for $code" >&2
        return 1
    fi
    echo "${k[@]:5:datalen}"
}

gss=$(read_checked 33 0x40)
record="$(command 0xc8 0x00 80) $gss"
for ((s = 1; s <= nbr; s++)); do
    record+=" $(command 0xc4 "$s" 32)"
done

escaped=""
for b in $record; do
    escaped+=$(printf '\\x%02x' "$b")
done
printf "$escaped" >"$out"
