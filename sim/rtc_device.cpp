// rtc_device.cpp - the BBU's real-time clock at 0x68, a DS1337-like register
// file of 16 registers.
//
// A write sets the register pointer from its first byte and stores the bytes
// after it in consecutive registers; a read delivers registers from the
// pointer on. Both wrap from 0x0f to 0x00. Registers 0x00-0x06 hold the time
// in BCD (seconds, minutes, hours in 24-hour form, day of week 1-7, date,
// month with the century bit, year) and run with the virtual wall clock;
// writing them sets the clock. The alarm and control registers are stored.
//
// The clock's interrupt output is wired to the BBU processor's reset. Alarm 1
// set to match every second (the mask bit 0x80 in all four of its registers),
// with A1IE and INTCN in the control register and A1F clear, fires at the next
// second boundary of the clock: A1F is set and the BBU processor restarts.
// While A1F stays set the output stays asserted and nothing more happens.
#include <ctime>

#include "devices.h"
#include "transcript.h"

namespace bbusim {
namespace {

constexpr unsigned kTimeRegs = 7;
constexpr unsigned kRegMask = kRtcRegs - 1;
constexpr unsigned kAlarm1 = 0x07;  // seconds, minutes, hours, day: 0x07 to 0x0a
constexpr std::uint8_t kAlarmMask = 0x80;
constexpr unsigned kControl = 0x0e;
constexpr std::uint8_t kIntcn = 0x04;
constexpr std::uint8_t kA1ie = 0x01;
constexpr unsigned kStatus = 0x0f;
constexpr std::uint8_t kA1f = 0x01;
constexpr std::int64_t kUsPerS = 1000000;

std::uint8_t to_bcd(int v)
{
    return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10));
}
int from_bcd(std::uint8_t v)
{
    return ((v >> 4) & 0x0f) * 10 + (v & 0x0f);
}

std::int64_t clock_seconds(const World &w)
{
    std::int64_t us = wall_clock_us(w);
    return (us >= 0 ? us : us - 999999) / 1000000 + w.rtc.offset_s;
}

void compose_time(const World &w, std::uint8_t regs[kRtcRegs])
{
    time_t t = static_cast<time_t>(clock_seconds(w));
    struct tm tm {};
    gmtime_r(&t, &tm);
    regs[0] = to_bcd(tm.tm_sec);
    regs[1] = to_bcd(tm.tm_min);
    regs[2] = to_bcd(tm.tm_hour);
    regs[3] = static_cast<std::uint8_t>(tm.tm_wday + 1);
    regs[4] = to_bcd(tm.tm_mday);
    regs[5] = static_cast<std::uint8_t>(to_bcd(tm.tm_mon + 1) | (tm.tm_year >= 200 ? 0x80 : 0));
    regs[6] = to_bcd(tm.tm_year % 100);
}

// Arms alarm 1 when it can fire and is not armed yet, disarms it when it cannot.
void update_alarm(World &w)
{
    Rtc &r = w.rtc;
    bool every_second = true;
    for (unsigned i = kAlarm1; i < kAlarm1 + 4; ++i)
        every_second = every_second && (r.regs[i] & kAlarmMask) != 0;
    const bool can_fire = every_second &&
                          (r.regs[kControl] & (kIntcn | kA1ie)) == (kIntcn | kA1ie) &&
                          (r.regs[kStatus] & kA1f) == 0;
    if (!can_fire) {
        r.alarm_armed = 0;
    } else if (r.alarm_armed == 0) {
        const std::int64_t into_second = ((wall_clock_us(w) % kUsPerS) + kUsPerS) % kUsPerS;
        r.alarm_armed = 1;
        r.alarm_at_us = w.now_us + static_cast<std::uint64_t>(kUsPerS - into_second);
    }
}

}  // namespace

void rtc_alarm_due(World &w)
{
    Rtc &r = w.rtc;
    if (r.alarm_armed == 0 || w.now_us < r.alarm_at_us)
        return;
    r.alarm_armed = 0;
    r.regs[kStatus] |= kA1f;
    TranscriptLine(r.alarm_at_us).text(" reset 0x%02x by alarm 0x%02x", kSarAddr, kRtcAddr).emit(w);
    bbu_restart(w);
}

void rtc_read(World &w, std::uint8_t *buf, std::size_t len)
{
    Rtc &r = w.rtc;
    devices_catch_up(w);
    std::uint8_t regs[kRtcRegs];
    for (unsigned i = 0; i < kRtcRegs; ++i)
        regs[i] = r.regs[i];
    compose_time(w, regs);
    for (std::size_t i = 0; i < len; ++i) {
        buf[i] = regs[r.pointer];
        r.pointer = static_cast<std::uint8_t>((r.pointer + 1) & kRegMask);
    }
}

void rtc_write(World &w, const std::uint8_t *buf, std::size_t len)
{
    Rtc &r = w.rtc;
    devices_catch_up(w);
    if (len == 0)
        return;
    r.pointer = buf[0] & kRegMask;
    std::uint8_t regs[kRtcRegs];
    for (unsigned i = 0; i < kRtcRegs; ++i)
        regs[i] = r.regs[i];
    compose_time(w, regs);
    bool time_set = false;
    for (std::size_t i = 1; i < len; ++i) {
        regs[r.pointer] = buf[i];
        if (r.pointer < kTimeRegs)
            time_set = true;
        else
            r.regs[r.pointer] = buf[i];
        r.pointer = static_cast<std::uint8_t>((r.pointer + 1) & kRegMask);
    }
    update_alarm(w);
    if (!time_set)
        return;
    struct tm tm {};
    tm.tm_sec = from_bcd(regs[0] & 0x7f);
    tm.tm_min = from_bcd(regs[1] & 0x7f);
    tm.tm_hour = from_bcd(regs[2] & 0x3f);
    tm.tm_mday = from_bcd(regs[4] & 0x3f);
    tm.tm_mon = from_bcd(regs[5] & 0x1f) - 1;
    tm.tm_year = from_bcd(regs[6]) + ((regs[5] & 0x80) != 0 ? 200 : 100);
    std::int64_t wall_s = clock_seconds(w) - r.offset_s;
    r.offset_s = static_cast<std::int64_t>(timegm(&tm)) - wall_s;
}

}  // namespace bbusim
