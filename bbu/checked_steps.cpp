// The pieces of the checked operations: the result record, progress and
// waits, transfers that count only when carried whole, the checked status
// read, and the silent open of the adapter, which makes sure it is one.
#include "checked_steps.h"

#include "library_internal.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>

namespace checked {

bbu_checked_result &start(bbu_checked_result *given, bbu_checked_result &spare)
{
    bbu_checked_result &result = given != nullptr ? *given : spare;
    result = bbu_checked_result{};
    result.block = -1;
    result.before = -1;
    result.after = -1;
    result.holds = BBU_HOLDS_UNCHANGED;
    return result;
}

int fail(Operation &op, int step, int why, int rc, int err)
{
    bbu_checked_result &r = op.result;
    if (r.step == BBU_STEP_NONE) {
        r.step = step;
        r.why = why;
        r.rc = rc;
        r.err = err;
        LogTrace("checked operation failed %s: %s, rc = %d, errno = %d",
                 bbu_checked_step_text(step), bbu_checked_why_text(why), rc, err);
    }
    r.ok = 0;
    return BBU_CHECKED_FAILED;
}

int fail_last(Operation &op)
{
    return fail(op, op.last.step, op.last.why, op.last.rc, op.last.err);
}

int succeed(Operation &op, int holds, unsigned verified)
{
    op.result.ok = 1;
    op.result.holds = holds;
    op.result.verified = verified;
    return BBU_CHECKED_OK;
}

int unverified(Operation &op)
{
    op.result.ok = 0;
    op.result.holds = BBU_HOLDS_NOT_VERIFIABLE;
    op.result.verified = 0;
    return BBU_CHECKED_UNVERIFIED;
}

int holds_unread(const Operation &op)
{
    return op.last.why == BBU_WHY_TRANSFER_FAILED ? BBU_HOLDS_NO_ANSWER : BBU_HOLDS_UNREADABLE;
}

void report(Operation &op, int phase, int block, int blocks, int seconds_left)
{
    op.phase = phase;
    if (op.progress == nullptr)
        return;
    const bbu_checked_progress progress{phase, block, blocks, seconds_left};
    // The callback is the caller's code: its own trace lines are LogTrace's as ever.
    const i2c_internal::QuietTrace callers_own{false};
    op.progress(&progress, op.context);
}

namespace {

// A signal handler may cut a sleep short; the device's time is not cut short.
void sleep_fully(timespec left)
{
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Keeps what a failed transfer said: the retry layer's result and the errno
// its last attempt left. Returns false.
bool transfer_failed(Operation &op, int step, int rc, int err)
{
    op.last = Failure{step, rc < 0 ? BBU_WHY_TRANSFER_FAILED : BBU_WHY_SHORT_TRANSFER, rc,
                      rc < 0 ? err : 0};
    return false;
}

}  // namespace

void wait_seconds(Operation &op, unsigned seconds)
{
    for (unsigned left = seconds; left > 0; --left) {
        report(op, op.phase, 0, 0, static_cast<int>(left));
        sleep_fully(timespec{1, 0});
    }
    report(op, op.phase, 0, 0, 0);
}

void pause_us(unsigned microseconds)
{
    sleep_fully(timespec{static_cast<time_t>(microseconds / 1000000u),
                         static_cast<long>(microseconds % 1000000u) * 1000L});
}

namespace {

// A transfer tried as I2C_command_with_retry() tries it: up to three attempts
// in a row, no pause, done at the first result above 0. Made here so that the
// errno of the last failed attempt survives: the retry layer traces after its
// attempts, and a trace log that cannot be opened changes errno.
template <typename Attempt>
int retried(Attempt attempt, int &err)
{
    int rc = 0;
    for (int attempts = 0; attempts < I2C_RETRY_ATTEMPTS; ++attempts) {
        errno = 0;
        rc = attempt();
        if (rc > 0)
            break;
        err = errno;
    }
    return rc;
}

}  // namespace

bool write_whole(Operation &op, int step, int addr, const unsigned char *bytes, int len)
{
    int err = 0;
    const int rc = retried(
        [&] {
            return do_i2c_write(op.fd, addr, len, reinterpret_cast<const char *>(bytes),
                                op.verbose);
        },
        err);
    return rc == len || transfer_failed(op, step, rc, err);
}

bool read_whole(Operation &op, int step, int addr, unsigned char *into, int len)
{
    int err = 0;
    const int rc = retried(
        [&] { return do_i2c_read(op.fd, addr, len, reinterpret_cast<char *>(into), op.verbose); },
        err);
    return rc == len || transfer_failed(op, step, rc, err);
}

bool read_status(Operation &op, int step, const char *label, Status &status)
{
    // Sized for the display, which shows 48 bytes.
    std::array<char, BBU_STATUS_DISPLAY_LEN> buffer{};
    int err = 0;
    const int rc = retried(
        [&] {
            return do_i2c_read(op.fd, BBU_SAR_ADDR, BBU_GSS_READ_LEN, buffer.data(),
                               bbu_status_verbose(op.verbose));
        },
        err);
    if (rc != BBU_GSS_READ_LEN)
        return transfer_failed(op, step, rc, err);
    std::memcpy(status.data(), buffer.data(), status.size());
    const unsigned char calculated = sumcheck(status.data(), BBU_GSS_LEN);
    if (calculated != status[BBU_GSS_LEN]) {
        op.last = Failure{step, BBU_WHY_BAD_CHECK_BYTE, status[BBU_GSS_LEN], 0};
        return false;
    }
    if (op.verbose != 0)
        print_general_status(label, buffer.data());
    std::memcpy(op.result.status, status.data(), status.size());
    op.result.has_status = 1;
    return true;
}

bool read_status_twice(Operation &op, int step, const char *label, Status &status)
{
    return read_status(op, step, label, status) ||
           (op.last.why == BBU_WHY_BAD_CHECK_BYTE && read_status(op, step, label, status));
}

int error_bits(const Status &status)
{
    // Byte 4's 0x08 is also i2c_cmd_in_progress: while a command runs it may
    // say just that, so it is an error only once no command is in progress.
    const unsigned char byte4_errors =
        (status[0] & SAR0_CMD_IN_PROGRESS) != 0 ? BYTE4_ERRORS & ~I2C_CMD_IN_PROGRESS
                                                 : BYTE4_ERRORS;
    if ((status[4] & byte4_errors) == 0 && status[5] == 0 && (status[6] & BYTE6_ERRORS) == 0)
        return 0;
    return (status[4] << 16) | (status[5] << 8) | status[6];
}

int firmware(const Status &status)
{
    return status[30] * 256 + status[31];
}

}  // namespace checked

int bbu_checked_open(const char *adapter)
{
    const int fd = open(adapter != nullptr ? adapter : I2C_Adapter, O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -errno;
    if (!i2c_internal::takes_i2c_messages(fd)) {
        close(fd);
        return -ENOTTY;
    }
    return fd;
}
