// The stop request: set from a signal handler, read at the checked changes'
// step boundaries. Two flags of the process, each one word written whole.
#include "checked_stop.h"

#include <csignal>

namespace {

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t committed = 0;

}  // namespace

void bbu_checked_request_stop(void)
{
    stop_requested = 1;
}

int bbu_checked_stop_requested(void)
{
    return stop_requested;
}

int bbu_checked_committed(void)
{
    return committed;
}

namespace checked {

bool stopped(Operation &op, int step, int holds)
{
    if (stop_requested == 0)
        return false;
    // Recorded as the latest failure too, so that the operation's own
    // failure path takes it as it is and finds out nothing more.
    op.last = Failure{step, BBU_WHY_STOPPED, 0, 0};
    fail(op, step, BBU_WHY_STOPPED);
    op.result.holds = holds;
    return true;
}

bool stopped_or_committed(Operation &op, int step, int holds)
{
    if (stopped(op, step, holds))
        return true;
    committed = 1;
    return false;
}

}  // namespace checked
