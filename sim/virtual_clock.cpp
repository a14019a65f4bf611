// virtual_clock.cpp - the virtual clock: the time the run's sleeps have added
// (now_us), and the wall clock, a start value plus that time.
//
// Both fields are read and written with atomic operations, so that a signal
// handler interrupting an interposed call of a thread that holds the world's
// lock can read and advance the clock without taking the lock again.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "devices.h"
#include "interposer.h"

namespace bbusim {
namespace {

constexpr std::int64_t kMaxUs = INT64_MAX;

std::atomic_ref<std::uint64_t> now_of(const World &w)
{
    return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t &>(w.now_us));
}

std::atomic_ref<std::int64_t> offset_of(const World &w)
{
    return std::atomic_ref<std::int64_t>(const_cast<std::int64_t &>(w.wall_offset_us));
}

std::int64_t saturated_sum(std::int64_t a, std::int64_t b)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return a < 0 ? INT64_MIN : INT64_MAX;
    return sum;
}

std::int64_t wall_at(const World &w, std::uint64_t now)
{
    const auto n = static_cast<std::int64_t>(std::min<std::uint64_t>(now, kMaxUs));
    return saturated_sum(offset_of(w).load(std::memory_order_relaxed), n);
}

}  // namespace

std::uint64_t virtual_now_us(const World &w)
{
    return now_of(w).load(std::memory_order_relaxed);
}

std::int64_t wall_clock_us(const World &w)
{
    return wall_at(w, virtual_now_us(w));
}

void set_wall_clock_us(World &w, std::int64_t wall_us)
{
    const auto now = static_cast<std::int64_t>(std::min<std::uint64_t>(virtual_now_us(w), kMaxUs));
    std::int64_t offset = 0;
    if (__builtin_sub_overflow(wall_us, now, &offset))
        offset = INT64_MIN;  // only a wall clock near the start of the range gets here
    offset_of(w).store(offset, std::memory_order_relaxed);
}

std::uint64_t advance_clock(World &w, std::uint64_t us)
{
    auto now = now_of(w);
    std::uint64_t before = now.load(std::memory_order_relaxed);
    std::uint64_t step = 0;
    do {
        std::uint64_t room =
            static_cast<std::uint64_t>(kMaxUs) - std::min<std::uint64_t>(before, kMaxUs);
        const std::int64_t wall = wall_at(w, before);
        if (wall > 0)
            room = std::min(room, static_cast<std::uint64_t>(kMaxUs - wall));
        step = std::min(us, room);
    } while (!now.compare_exchange_weak(before, before + step, std::memory_order_relaxed));
    return step;
}

}  // namespace bbusim
