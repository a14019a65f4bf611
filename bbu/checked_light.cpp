// The indicator light, checked: the service/fault light read from a whole
// general status, and the set-light command confirmed by the BBU's
// acceptance and by the value read back.
#include "checked_steps.h"

namespace {

constexpr int LIGHT_BYTE = 14;                     // GENERAL_STATUS.byte0E
constexpr unsigned char SERVICE_FAULT_LED = 0x0F;  // its low nibble
constexpr int LIGHT_MAX = 15;
constexpr unsigned READ_BACK_PAUSE_US = 1;  // as the light is set: read back at once

int light_of(const checked::Status &status)
{
    return status[LIGHT_BYTE] & SERVICE_FAULT_LED;
}

}  // namespace

int bbu_checked_read_light(int fd, int *value, bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    checked::Operation op{fd, checked::start(result, spare), verbose};
    checked::Status status{};
    if (!checked::read_status_twice(op, BBU_STEP_STATUS, "light", status)) {
        op.result.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    op.result.before = light_of(status);
    op.result.after = op.result.before;
    if (value != nullptr)
        *value = op.result.after;
    return checked::succeed(op, BBU_HOLDS_UNCHANGED, BBU_EVIDENCE_STATUS);
}

int bbu_checked_set_light(int fd, int value, bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    checked::Operation op{fd, checked::start(result, spare), verbose};
    bbu_checked_result &r = op.result;
    // Any other value would be sent as some other parameter byte.
    if (value < 0 || value > LIGHT_MAX)
        return checked::fail(op, BBU_STEP_ARGUMENT, BBU_WHY_BAD_ARGUMENT, value);

    checked::Status status{};
    if (!checked::read_status_twice(op, BBU_STEP_STATUS, "light", status)) {
        r.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    r.before = light_of(status);
    // Already showing it: the status just read is the proof, and a command
    // sent anyway would be a change for nothing.
    if (r.before == value) {
        r.after = value;
        return checked::succeed(op, BBU_HOLDS_NEW_VALUE, BBU_EVIDENCE_LIGHT);
    }

    std::array<unsigned char, 3> frame{BBU_SET_LIGHT_CMD,
                                       static_cast<unsigned char>(BBU_SET_LIGHT_SELECT | value)};
    frame[2] = sumcheck(frame.data(), 2);
    const bool sent = checked::write_whole(op, BBU_STEP_LIGHT_SET, BBU_SAR_ADDR, frame.data(),
                                           static_cast<int>(frame.size()));
    r.changed = sent ? 1 : 0;
    if (!sent)
        checked::fail_last(op);
    checked::pause_us(READ_BACK_PAUSE_US);

    // What the light shows now, also after a failed write.
    if (!checked::read_status_twice(op, BBU_STEP_LIGHT_VERIFY, "light", status)) {
        r.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    r.after = light_of(status);
    r.holds = r.after == value      ? BBU_HOLDS_NEW_VALUE
              : r.after == r.before ? BBU_HOLDS_OLD_VALUE
                                    : BBU_HOLDS_OTHER_VALUE;
    if (!sent)
        return BBU_CHECKED_FAILED;
    if (status[5] != 0)
        return checked::fail(op, BBU_STEP_LIGHT_SET, BBU_WHY_NOT_ACCEPTED, status[5]);
    if (r.after != value)
        return checked::fail(op, BBU_STEP_LIGHT_VERIFY, BBU_WHY_MISMATCH, r.after);
    return checked::succeed(op, BBU_HOLDS_NEW_VALUE, BBU_EVIDENCE_ACCEPTED | BBU_EVIDENCE_LIGHT);
}
