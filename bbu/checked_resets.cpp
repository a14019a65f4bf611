// The resets, seen: the BBU's power_up flag seen clear before the reset (the
// clear-status command sent when it is set), the reset sent, every transfer
// carried whole, and the restart seen as power_up set again in a whole
// status. power_up is set by the BBU after it restarts; whether clear-status
// clears it the BBU does not say, so a power_up never seen clear tells
// nothing, and such a reset ends not verifiable. The hard reset also reads
// the clock's alarm back, and never leaves it armed when the clock answers.
#include "checked_resets.h"
#include "checked_stop.h"

namespace checked {

namespace {

constexpr unsigned char CLEAR_STATUS_CMD = 0xE9;
constexpr unsigned char SOFT_RESET_CMD = 0x8A;
constexpr int RESTART_POLLS = 30;
constexpr unsigned RESET_POLL_SECONDS = 1;
constexpr unsigned ALARM_SECONDS = 2;
constexpr unsigned RESTART_SECONDS = 30;
constexpr int CLEAR_STATUS_POLLS = 15;          // status reads until clear-status has run
constexpr unsigned CLEAR_STATUS_POLL_US = 100;  // between them, as the load's handshake

// What the hard reset reads back from the clock.
constexpr unsigned char ALARM1_INTERRUPT = A1IE >> 8;  // in the control register
constexpr unsigned char ALARM1_FLAG = A1F;             // in the status register

const std::array<unsigned char, 5> SET_ALARM{ALARM1_REG, MATCH_EVERY_SECOND, MATCH_EVERY_SECOND,
                                             MATCH_EVERY_SECOND, MATCH_EVERY_SECOND};
const std::array<unsigned char, 2> ENABLE_ALARM{CONTROL_REG, ALARM1_ENABLED};
const std::array<unsigned char, 2> DISABLE_ALARM{CONTROL_REG, ALARM1_DISABLED};
const std::array<unsigned char, 2> CLEAR_FLAGS{STATUS_REG, 0x00};

// power_up is what the BBU sets after it restarts; non_zero is not asked
// for: it is the validation's verdict bit, and a BBU whose validation was cut
// short may restart with it clear.
bool restarted(const Status &status)
{
    return (status[2] & POWER_UP) != 0 && (status[0] ^ status[1]) == 0xFF;
}

// Polls the status once a second, 30 times at most, until it shows the
// restart after power_up was seen clear; a read that fails meanwhile is a
// BBU still restarting.
Restart wait_restart(Operation &op, bool armed)
{
    Status status{};
    bool answers = false;
    for (int budget = RESTART_POLLS; budget > 0; --budget) {
        answers = read_status(op, BBU_STEP_RESTART, "reset test", status);
        if (answers) {
            op.result.after = firmware(status);
            if (armed && restarted(status))
                return Restart::seen;
            armed = armed || (status[2] & POWER_UP) == 0;
            op.last = Failure{BBU_STEP_RESTART, BBU_WHY_NO_RESTART, status[2], 0};
        }
        report(op, op.phase, 0, 0, budget);
        pause_us(RESET_POLL_SECONDS * 1000000u);
    }
    return answers && !armed ? Restart::not_verifiable : Restart::not_seen;
}

// After a failure with the alarm possibly enabled: disable it and clear its
// flag, whatever the clock answers, so that it does not hold the BBU in reset.
void disarm_alarm(Operation &op)
{
    const Failure failure = op.last;
    write_whole(op, BBU_STEP_ALARM_DISABLE, BBU_RTC_ADDR, DISABLE_ALARM.data(), 2);
    write_whole(op, BBU_STEP_ALARM_CLEAR, BBU_RTC_ADDR, CLEAR_FLAGS.data(), 2);
    op.last = failure;
}

// The four clock writes with the 2 seconds for the alarm, and the alarm's
// interrupt and flag read back clear.
bool ring_alarm(Operation &op)
{
    if (!write_whole(op, BBU_STEP_ALARM_SET, BBU_RTC_ADDR, SET_ALARM.data(), 5))
        return false;
    op.result.changed = 1;
    if (!write_whole(op, BBU_STEP_ALARM_ENABLE, BBU_RTC_ADDR, ENABLE_ALARM.data(), 2)) {
        disarm_alarm(op);
        return false;
    }
    wait_seconds(op, ALARM_SECONDS);
    if (!write_whole(op, BBU_STEP_ALARM_DISABLE, BBU_RTC_ADDR, DISABLE_ALARM.data(), 2) ||
        !write_whole(op, BBU_STEP_ALARM_CLEAR, BBU_RTC_ADDR, CLEAR_FLAGS.data(), 2)) {
        disarm_alarm(op);
        return false;
    }
    const std::array<unsigned char, 1> pointer{CONTROL_REG};
    std::array<unsigned char, 2> registers{};
    if (!write_whole(op, BBU_STEP_ALARM_VERIFY, BBU_RTC_ADDR, pointer.data(), 1) ||
        !read_whole(op, BBU_STEP_ALARM_VERIFY, BBU_RTC_ADDR, registers.data(), 2))
        return false;
    if ((registers[0] & ALARM1_INTERRUPT) != 0 || (registers[1] & ALARM1_FLAG) != 0) {
        op.last =
            Failure{BBU_STEP_ALARM_VERIFY, BBU_WHY_MISMATCH, registers[0] << 8 | registers[1], 0};
        disarm_alarm(op);
        return false;
    }
    return true;
}

// What the BBU holds after a reset that was not seen. Polls that ran have
// told already; after a failed reset write a status read tells, when
// power_up was seen clear before.
int holds_after_failed_reset(Operation &op, bool armed)
{
    if (op.last.step == BBU_STEP_RESTART)
        return op.last.why == BBU_WHY_NO_RESTART ? BBU_HOLDS_NOT_RESTARTED : holds_unread(op);
    Status status{};
    if (!read_status_twice(op, BBU_STEP_RESTART, "reset test", status))
        return holds_unread(op);
    op.result.after = firmware(status);
    if (!armed)
        return BBU_HOLDS_UNREADABLE;
    return restarted(status) ? BBU_HOLDS_RESTARTED : BBU_HOLDS_NOT_RESTARTED;
}

// The outcome of a reset: seen, not verifiable, or failed with what the
// BBU holds.
int outcome(Operation &op, Restart restart, bool armed, unsigned evidence)
{
    if (restart == Restart::seen)
        return succeed(op, BBU_HOLDS_RESTARTED, BBU_EVIDENCE_RESTART | evidence);
    if (restart == Restart::not_verifiable)
        return unverified(op);
    fail_last(op);
    op.result.holds = holds_after_failed_reset(op, armed);
    return BBU_CHECKED_FAILED;
}

}  // namespace

bool arm_restart(Operation &op, bool &armed)
{
    Status status{};
    if (!read_status_twice(op, BBU_STEP_STATUS, "before reset", status))
        return false;
    op.result.before = firmware(status);
    armed = (status[2] & POWER_UP) == 0;
    if (armed)
        return true;
    const std::array<unsigned char, 2> frame{CLEAR_STATUS_CMD, CLEAR_STATUS_CMD};
    if (!write_whole(op, BBU_STEP_CLEAR_STATUS, BBU_SAR_ADDR, frame.data(), 2) ||
        !read_status_twice(op, BBU_STEP_CLEAR_STATUS, "status cleared", status))
        return false;
    // Until the clear-status command has run: a reset sent while it is in
    // progress may be refused (multiple_command), and only its end tells
    // what it did to power_up.
    for (int polls = 1; polls < CLEAR_STATUS_POLLS && (status[0] & SAR0_CMD_IN_PROGRESS) != 0;
         ++polls) {
        pause_us(CLEAR_STATUS_POLL_US);
        if (!read_status_twice(op, BBU_STEP_CLEAR_STATUS, "status cleared", status))
            return false;
    }
    armed = (status[0] & SAR0_CMD_IN_PROGRESS) == 0 && (status[2] & POWER_UP) == 0;
    return true;
}

Restart soft_reset(Operation &op, bool armed)
{
    report(op, BBU_PHASE_SOFT_RESET);
    const std::array<unsigned char, 2> frame{SOFT_RESET_CMD, SOFT_RESET_CMD};
    if (!write_whole(op, BBU_STEP_SOFT_RESET, BBU_SAR_ADDR, frame.data(), 2))
        return Restart::not_seen;
    op.result.changed = 1;
    wait_seconds(op, RESET_POLL_SECONDS);
    return wait_restart(op, armed);
}

Restart hard_reset(Operation &op, bool armed)
{
    report(op, BBU_PHASE_HARD_RESET);
    if (!ring_alarm(op))
        return Restart::not_seen;
    wait_seconds(op, RESTART_SECONDS);
    return wait_restart(op, armed);
}

}  // namespace checked

int bbu_checked_soft_reset(int fd, bbu_checked_progress_fn progress, void *context,
                           bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    checked::Operation op{fd, checked::start(result, spare), verbose, progress, context};
    checked::report(op, BBU_PHASE_SOFT_RESET);
    bool armed = false;
    if (!checked::arm_restart(op, armed)) {
        op.result.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    if (checked::stopped_or_committed(op, BBU_STEP_SOFT_RESET, BBU_HOLDS_UNCHANGED))
        return BBU_CHECKED_FAILED;
    return checked::outcome(op, checked::soft_reset(op, armed), armed, 0);
}

int bbu_checked_hard_reset(int fd, bbu_checked_progress_fn progress, void *context,
                           bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    checked::Operation op{fd, checked::start(result, spare), verbose, progress, context};
    checked::report(op, BBU_PHASE_HARD_RESET);
    bool armed = false;
    if (!checked::arm_restart(op, armed)) {
        op.result.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    if (checked::stopped_or_committed(op, BBU_STEP_ALARM_SET, BBU_HOLDS_UNCHANGED))
        return BBU_CHECKED_FAILED;
    return checked::outcome(op, checked::hard_reset(op, armed), armed, BBU_EVIDENCE_ALARM);
}
