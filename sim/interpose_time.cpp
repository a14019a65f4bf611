// interpose_time.cpp - the sleep family and the wall clock on virtual time.
//
// A sleep is recorded, advances the virtual clock by the requested time and
// returns at once. When the world runs in real time it also really sleeps,
// and the clock follows the time actually slept: a signal ends the sleep
// (EINTR, with the time left as the C library reports it), and a command
// killed mid-sleep leaves the clock about where it stopped. The
// wall clock (gettimeofday, time, CLOCK_REALTIME) reads the virtual wall
// clock, without a lock; the monotonic clocks are left alone. Without a world
// every call goes to the C library.
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "devices.h"
#include "interposer.h"
#include "libc_calls.h"
#include "replay.h"
#include "transcript.h"
#include "world.h"

namespace bbusim {
namespace {

constexpr std::int64_t kNsPerUs = 1000;
constexpr std::int64_t kUsPerS = 1000000;
// A real-time sleep advances the clock after each slice of this length.
constexpr std::uint64_t kRealTimeSliceUs = 10000;

bool valid(const timespec *ts)
{
    return ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < 1000000000;
}

// Nanoseconds rounded up to whole microseconds; a pause too long to count in
// microseconds is the longest one that can be counted.
std::uint64_t to_us(const timespec &ts)
{
    constexpr std::uint64_t kMaxSeconds = (UINT64_MAX - kUsPerS) / kUsPerS;
    if (static_cast<std::uint64_t>(ts.tv_sec) > kMaxSeconds)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(ts.tv_sec) * kUsPerS +
           static_cast<std::uint64_t>((ts.tv_nsec + kNsPerUs - 1) / kNsPerUs);
}

timespec to_timespec(std::uint64_t us)
{
    return {static_cast<time_t>(us / kUsPerS), static_cast<long>(us % kUsPerS) * kNsPerUs};
}

// A wall clock time as whole seconds and a fraction in [0, 1 s), for times
// before 1970 too.
struct WallTime {
    time_t sec;
    std::int64_t us;
};

WallTime wall_now(const World &w)
{
    const std::int64_t t = wall_clock_us(w);
    std::int64_t sec = t / kUsPerS;
    std::int64_t us = t % kUsPerS;
    if (us < 0) {
        sec -= 1;
        us += kUsPerS;
    }
    return {static_cast<time_t>(sec), us};
}

std::uint64_t monotonic_us()
{
    timespec now{};
    libc().clock_gettime(CLOCK_MONOTONIC, &now);
    return to_us(now);
}

// A real-time sleep, slice by slice, the clock advanced after each by the
// time slept. Between slices the program's signals wait (blocked); each slice
// sleeps with the program's own mask (ppoll), so that a signal arriving at
// any time ends the sleep as it ends the C library's. Returns the time left.
std::uint64_t real_sleep(World &w, std::uint64_t us)
{
    sigset_t all, program;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &program);
    while (us > 0) {
        const std::uint64_t slice = std::min(us, kRealTimeSliceUs);
        const timespec ts = to_timespec(slice);
        const std::uint64_t start = monotonic_us();
        const bool interrupted = ppoll(nullptr, 0, &ts, &program) != 0;
        const std::uint64_t slept = interrupted ? std::min(slice, monotonic_us() - start) : slice;
        {
            SimLock lock(w);
            advance_clock(w, slept);
        }
        us -= slept;
        if (interrupted)
            break;
    }
    pthread_sigmask(SIG_SETMASK, &program, nullptr);
    return us;
}

// Sleeps `us` of virtual time. Returns the time left when a signal
// interrupted a real-time sleep, 0 when the sleep ran to its end.
std::uint64_t virtual_sleep(World &w, std::uint64_t us)
{
    bool stopped = false;
    {
        SimLock lock(w);
        // A replay compares the pause with the recording's; it passes all the same.
        if (w.replay.active != 0 && !lock.nested())
            replay_pause(w, us);
        TranscriptLine(virtual_now_us(w))
            .text(" sleep %llu", static_cast<unsigned long long>(us))
            .emit(w);
        // A power cut or crash that strikes during the pause ends it there.
        const std::uint64_t part = lock.nested() ? us : pause_before_stop(w, us);
        if (part < us || w.stop != Stop::none) {
            advance_clock(w, part);
            stopped = true;
        } else if (w.real_time == 0) {
            advance_clock(w, us);
            return 0;
        }
    }
    if (stopped) {
        end_if_stopped(w);
        return 0;
    }
    return real_sleep(w, us);
}

}  // namespace
}  // namespace bbusim

using bbusim::libc;

extern "C" {

unsigned sleep(unsigned seconds)
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().sleep(seconds);
    const int saved = errno;
    const std::uint64_t left = bbusim::virtual_sleep(*w, std::uint64_t{seconds} * bbusim::kUsPerS);
    if (left > 0)  // the whole seconds left, as the C library counts them
        return static_cast<unsigned>(left / bbusim::kUsPerS);
    errno = saved;
    return 0;
}

int usleep(useconds_t us)
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().usleep(us);
    const int saved = errno;
    if (bbusim::virtual_sleep(*w, us) > 0) {
        errno = EINTR;
        return -1;
    }
    errno = saved;
    return 0;
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().nanosleep(req, rem);
    if (req == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (!bbusim::valid(req)) {
        errno = EINVAL;
        return -1;
    }
    const int saved = errno;
    if (std::uint64_t left = bbusim::virtual_sleep(*w, bbusim::to_us(*req)); left > 0) {
        if (rem != nullptr)
            *rem = bbusim::to_timespec(left);
        errno = EINTR;
        return -1;
    }
    errno = saved;
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem)
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().clock_nanosleep(clock, flags, req, rem);
    if (req == nullptr)
        return EFAULT;
    if (!bbusim::valid(req))
        return EINVAL;
    if (clock != CLOCK_REALTIME && clock != CLOCK_MONOTONIC && clock != CLOCK_BOOTTIME &&
        clock != CLOCK_TAI)
        return clock == CLOCK_THREAD_CPUTIME_ID ? EINVAL : ENOTSUP;
    const int saved = errno;
    std::uint64_t us = bbusim::to_us(*req);
    const bool absolute = (flags & TIMER_ABSTIME) != 0;
    if (absolute) {
        // Until a point in time: on the virtual wall clock for CLOCK_REALTIME,
        // on the machine's own clock for the others.
        std::int64_t now_us = 0;
        if (clock == CLOCK_REALTIME) {
            now_us = bbusim::wall_clock_us(*w);
        } else {
            timespec now{};
            libc().clock_gettime(clock, &now);
            now_us = static_cast<std::int64_t>(bbusim::to_us(now));
        }
        // The target is at most INT64_MAX: the difference fits unsigned.
        const auto target = static_cast<std::int64_t>(std::min<std::uint64_t>(us, INT64_MAX));
        us = target > now_us
                 ? static_cast<std::uint64_t>(target) - static_cast<std::uint64_t>(now_us)
                 : 0;
    }
    const std::uint64_t left = bbusim::virtual_sleep(*w, us);
    errno = saved;
    if (left > 0 && !absolute && rem != nullptr)
        *rem = bbusim::to_timespec(left);
    return left > 0 ? EINTR : 0;
}

int gettimeofday(struct timeval *tv, void *tz) noexcept
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().gettimeofday(tv, tz);
    if (tz != nullptr) {
        auto *zone = static_cast<struct timezone *>(tz);
        zone->tz_minuteswest = 0;
        zone->tz_dsttime = 0;
    }
    if (bbusim::may_be_null(tv) != nullptr) {
        const bbusim::WallTime now = bbusim::wall_now(*w);
        tv->tv_sec = now.sec;
        tv->tv_usec = static_cast<suseconds_t>(now.us);
    }
    return 0;
}

time_t time(time_t *out) noexcept
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().time(out);
    const time_t t = bbusim::wall_now(*w).sec;
    if (out != nullptr)
        *out = t;
    return t;
}

int clock_gettime(clockid_t clock, struct timespec *ts) noexcept
{
    bbusim::World *w = bbusim::world();
    // A null ts gets the C library's own answer.
    if (w == nullptr || clock != CLOCK_REALTIME || bbusim::may_be_null(ts) == nullptr)
        return libc().clock_gettime(clock, ts);
    const bbusim::WallTime now = bbusim::wall_now(*w);
    ts->tv_sec = now.sec;
    ts->tv_nsec = static_cast<long>(now.us * bbusim::kNsPerUs);
    return 0;
}

}  // extern "C"
