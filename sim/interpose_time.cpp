// interpose_time.cpp - the sleep family and the wall clock on virtual time.
//
// A sleep is recorded, advances the virtual clock by the requested time and
// returns at once (after really sleeping too when the world runs in real
// time). The wall clock (gettimeofday, time, CLOCK_REALTIME) reads the
// virtual wall clock; the monotonic clocks are left alone. Without a world
// every call goes to the C library.
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "devices.h"
#include "libc_calls.h"
#include "transcript.h"
#include "world.h"

namespace bbusim {
namespace {

constexpr std::int64_t kNsPerUs = 1000;
constexpr std::int64_t kUsPerS = 1000000;

void virtual_sleep(World &w, std::uint64_t us)
{
    bool real;
    {
        WorldLock lock(w);
        TranscriptLine(w.now_us).text(" sleep %llu", static_cast<unsigned long long>(us)).emit(w);
        w.now_us += us;
        real = w.real_time != 0;
    }
    if (real) {
        timespec ts{static_cast<time_t>(us / kUsPerS), static_cast<long>(us % kUsPerS) * kNsPerUs};
        while (libc().nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
}

bool valid(const timespec *ts)
{
    return ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < 1000000000;
}

// Nanoseconds rounded up to whole microseconds.
std::uint64_t to_us(const timespec &ts)
{
    return static_cast<std::uint64_t>(ts.tv_sec) * kUsPerS +
           static_cast<std::uint64_t>((ts.tv_nsec + kNsPerUs - 1) / kNsPerUs);
}

std::int64_t wall_now(World &w)
{
    WorldLock lock(w);
    return wall_clock_us(w);
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
    bbusim::virtual_sleep(*w, std::uint64_t{seconds} * bbusim::kUsPerS);
    errno = saved;
    return 0;
}

int usleep(useconds_t us)
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().usleep(us);
    const int saved = errno;
    bbusim::virtual_sleep(*w, us);
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
    bbusim::virtual_sleep(*w, bbusim::to_us(*req));
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
    if ((flags & TIMER_ABSTIME) != 0) {
        // Until a point in time: on the virtual wall clock for CLOCK_REALTIME,
        // on the machine's own clock for the others.
        std::int64_t now_us;
        if (clock == CLOCK_REALTIME) {
            now_us = bbusim::wall_now(*w);
        } else {
            timespec now{};
            libc().clock_gettime(clock, &now);
            now_us = static_cast<std::int64_t>(bbusim::to_us(now));
        }
        const auto target = static_cast<std::int64_t>(us);
        us = target > now_us ? static_cast<std::uint64_t>(target - now_us) : 0;
    }
    bbusim::virtual_sleep(*w, us);
    errno = saved;
    return 0;
}

int gettimeofday(struct timeval *tv, void *tz) noexcept
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().gettimeofday(tv, tz);
    std::int64_t us = bbusim::wall_now(*w);
    tv->tv_sec = static_cast<time_t>(us / bbusim::kUsPerS);
    tv->tv_usec = static_cast<suseconds_t>(us % bbusim::kUsPerS);
    if (tz != nullptr) {
        auto *zone = static_cast<struct timezone *>(tz);
        zone->tz_minuteswest = 0;
        zone->tz_dsttime = 0;
    }
    return 0;
}

time_t time(time_t *out) noexcept
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr)
        return libc().time(out);
    auto t = static_cast<time_t>(bbusim::wall_now(*w) / bbusim::kUsPerS);
    if (out != nullptr)
        *out = t;
    return t;
}

int clock_gettime(clockid_t clock, struct timespec *ts) noexcept
{
    bbusim::World *w = bbusim::world();
    if (w == nullptr || clock != CLOCK_REALTIME)
        return libc().clock_gettime(clock, ts);
    std::int64_t us = bbusim::wall_now(*w);
    ts->tv_sec = static_cast<time_t>(us / bbusim::kUsPerS);
    ts->tv_nsec = static_cast<long>(us % bbusim::kUsPerS) * bbusim::kNsPerUs;
    return 0;
}

}  // extern "C"
