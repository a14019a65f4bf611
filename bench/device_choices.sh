#!/bin/bash
# device_choices.sh - the fault sweep's and the power-cut sweep's samples on
# each BBU the documents allow besides the default (the suite's): each single
# choice that is not the default, and `device strict`.
#
#   device_choices.sh FAULT_SWEEP_TEST POWER_CUT_SWEEP_TEST
#
# Prints, for each scenario line, what the two programs print per command and
# per kind of cut: the count of each class of outcome and the time taken.
# Exits 1 when any run was a silent wrong outcome or a cut point was not
# recoverable.
set -uo pipefail

fault_sweep=$1
power_cut_sweep=$2
status=0

while IFS= read -r choice; do
    echo "== $choice"
    export BBU_SWEEP_DEVICE="$choice" BBU_FAULT_SWEEP=count
    "$fault_sweep" --gtest_brief=1 | grep -E ' runs in |FAILED|Failure' || status=1
    "$power_cut_sweep" --gtest_brief=1 --gtest_filter='*AtEachMessageAndPause' |
        grep -E ' cut points in |FAILED|Failure' || status=1
done <<'CHOICES'
device response-header random
device response-check random
device response-padding random
device idle-response random
device status-tail zeros
device status-tail random
device clear-status keeps power-up
device clear-status keeps errors
device power-up start set
device power-up restart keeps
device command-byte zero
device command-byte random
device i2c-busy-bit during-command
device validate-time 0
device validate-time 10
device program-time 0
device program-time 10
device version-byte keeps
device valid-image-bit never
device valid-image-bit always
device blank-memory zeros
device blank-memory random
device block-counter random
device response-ctr-len random
device block-tail random
device nack EREMOTEIO
vpd-write-cycle 10000
reset-polls 29
device strict
CHOICES
exit $status
