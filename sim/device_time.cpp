// device_time.cpp - what virtual time does on the bus and in the devices:
// the time a message takes at the set bus clock, and the events that fall
// due while a program sleeps (the clock's alarm resetting the BBU processor,
// a command that takes time completing). Those events happen when a device
// is next accessed, stamped with the time they fell due.
#include "devices.h"
#include "interposer.h"

namespace bbusim {
namespace {

// Bit times of a message: start, the address byte and its acknowledge, nine
// for each byte carried (eight and the acknowledge), stop.
constexpr std::uint64_t kFrameBits = 1 + 9 + 1;
constexpr std::uint64_t kBitsPerByte = 9;
constexpr std::uint64_t kUsPerS = 1000000;

}  // namespace

std::uint64_t bus_time_us(const World &w, std::size_t carried, bool acknowledged)
{
    if (w.bus_clock_hz == 0)
        return 0;
    const std::uint64_t bits = kFrameBits + (acknowledged ? kBitsPerByte * carried : 0);
    return (bits * kUsPerS + w.bus_clock_hz - 1) / w.bus_clock_hz;
}

void bus_time_passes(World &w, std::size_t carried, bool acknowledged)
{
    // Through the clock's own atomic step, so it saturates and never goes back.
    advance_clock(w, bus_time_us(w, carried, acknowledged));
}

void devices_catch_up(World &w)
{
    world_journal(w);
    bbu_commit_due(w, w.now_us);
    // In the order they fell due: a command due before the alarm completes first.
    if (w.bbu.due_us != 0 && w.rtc.alarm_armed != 0 && w.bbu.due_us <= w.rtc.alarm_at_us)
        bbu_complete_due(w);
    rtc_alarm_due(w);
    bbu_complete_due(w);
}

}  // namespace bbusim
