// A stop request (bbu_checked_request_stop()) as the checked changes take it:
// seen at the boundaries of their steps, up to the point past which stopping
// would leave the device worse off than finishing.
#ifndef BBU_CHECKED_STOP_H
#define BBU_CHECKED_STOP_H

#include "checked_steps.h"

namespace checked {

// At a step boundary before the change's point of no return: when a stop was
// requested, the operation fails at @p step (BBU_WHY_STOPPED) with the device
// holding @p holds, and nothing more is sent. True when it stopped.
bool stopped(Operation &op, int step, int holds);

// The point of no return itself: stopped() once more; when it goes on, the
// change is finished whatever is requested from then on.
bool stopped_or_committed(Operation &op, int step, int holds);

}  // namespace checked

#endif  // BBU_CHECKED_STOP_H
