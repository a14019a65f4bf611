// The resets, seen, for the checked resets and the checked flash load.
#ifndef BBU_CHECKED_RESETS_H
#define BBU_CHECKED_RESETS_H

#include "checked_steps.h"

namespace checked {

// What the status polls after a reset saw.
enum class Restart {
    seen,            // power_up seen clear in this run, then set
    not_verifiable,  // the BBU answers, but power_up was never seen clear
    not_seen,        // op.last says why: no restart, or no answer
};

// Makes a restart visible before a reset: power_up read, and when it is set,
// the clear-status command sent and power_up read again. @p armed tells
// whether power_up was seen clear. False, with op.last, when the status
// could not be read or the command not sent.
bool arm_restart(Operation &op, bool &armed);

// Soft reset: the frame 8A 8A, 1 second, and the status polled once a second,
// 30 times at most, until it shows the restart (power_up and byte 1
// the complement of byte 0) after power_up was seen clear. Unarmed, the polls
// run to their end unless power_up shows clear and then set.
Restart soft_reset(Operation &op, bool armed);

// Hard reset through the clock's alarm 1: the four clock writes, the alarm
// read back disarmed, 30 seconds, and the restart polled for as above.
Restart hard_reset(Operation &op, bool armed);

}  // namespace checked

#endif  // BBU_CHECKED_RESETS_H
