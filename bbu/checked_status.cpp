// The checked general status read: the whole block, its check byte right.
#include "checked_steps.h"

#include <cstring>

int bbu_checked_read_status(int fd, GENERAL_STATUS *status, bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    checked::Operation op{fd, checked::start(result, spare), verbose};
    checked::Status read{};
    if (!checked::read_status_twice(op, BBU_STEP_STATUS, "checked status", read)) {
        op.result.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    if (status != nullptr)
        std::memcpy(status, read.data(), sizeof *status);
    op.result.before = checked::firmware(read);
    op.result.after = op.result.before;
    return checked::succeed(op, BBU_HOLDS_UNCHANGED, BBU_EVIDENCE_STATUS);
}
