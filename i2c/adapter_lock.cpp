// One program at a time on the bus: the advisory lock on the open adapter.
#include <bbu/i2c.h>

#include <cerrno>
#include <ctime>

#include <poll.h>
#include <sys/file.h>

namespace {

constexpr int TRY_EVERY_MS = 10;  // pause between tries of a bounded wait

long long monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

extern "C" {

int lock_I2C_device(int i2c_fd, int wait_seconds)
{
    if (wait_seconds < 0)
        return flock(i2c_fd, LOCK_EX);
    // A bounded wait is measured on the monotonic clock and paused with
    // poll(2): a sleep may be virtual (under a simulator) or stretched, the
    // clock is not.
    const long long deadline = monotonic_ms() + 1000LL * wait_seconds;
    for (;;) {
        if (flock(i2c_fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK)
            return -1;
        const long long left = deadline - monotonic_ms();
        if (left <= 0)
            return I2C_LOCK_TIMEOUT;
        if (poll(nullptr, 0, static_cast<int>(left < TRY_EVERY_MS ? left : TRY_EVERY_MS)) < 0)
            return -1;  // EINTR: the caller's signal handler ran
    }
}

int unlock_I2C_device(int i2c_fd)
{
    return flock(i2c_fd, LOCK_UN);
}

}  // extern "C"
