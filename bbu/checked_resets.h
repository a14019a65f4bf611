// The resets, seen, for the checked resets and the checked flash load.
#ifndef BBU_CHECKED_RESETS_H
#define BBU_CHECKED_RESETS_H

#include "checked_steps.h"

namespace checked {

// Soft reset: the frame 8A 8A, 1 second, and the status polled once a second
// until the BBU shows its restart (power_up, non_zero, byte 1 the complement
// of byte 0). False, with op.last, when it was not seen.
bool soft_reset(Operation &op);

// Hard reset through the clock's alarm 1: the four clock writes, the alarm
// read back disarmed, 30 seconds, and the restart polled for as above.
bool hard_reset(Operation &op);

}  // namespace checked

#endif  // BBU_CHECKED_RESETS_H
