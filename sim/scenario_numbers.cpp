// scenario_numbers.cpp - the numbers, dates and byte runs of scenario
// statements: taken whole and in range, or refused with the range named.
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "scenario_parse.h"

namespace bbusim {
namespace scenario_parse {

// The whole of `s` as digits of `base` (no sign, no blanks), at most `max`.
bool parse_digits(std::string_view s, unsigned base, unsigned long long max,
                  unsigned long long &out)
{
    if (s.empty())
        return false;
    unsigned long long v = 0;
    for (char c : s) {
        unsigned d = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                     : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                            : base;
        if (d >= base || d > max || v > (max - d) / base)
            return false;
        v = v * base + d;
    }
    out = v;
    return true;
}

bool hex_prefixed(std::string_view s)
{
    return s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
}

// Positions, counts and lengths: decimal, or hex with 0x, from `min` to `max`;
// the message names exactly that range.
unsigned long long number(const Word &w, unsigned long long min, unsigned long long max,
                          const char *what)
{
    std::string_view s = w.text;
    const bool hex = hex_prefixed(s);
    unsigned long long v = 0;
    if (w.quoted || !parse_digits(hex ? s.substr(2) : s, hex ? 16 : 10, max, v) || v < min)
        refuse(std::string("expected ") + what + " (" + std::to_string(min) + " to " +
               std::to_string(max) + "), got " + shown(w));
    return v;
}

// Values that go on the bus (bytes, addresses, codes, masks): hex, 0x optional.
unsigned hex_value(const Word &w, unsigned max, const char *what)
{
    std::string_view s = w.text;
    if (hex_prefixed(s))
        s.remove_prefix(2);
    unsigned long long v = 0;
    if (w.quoted || s.size() > 2 || !parse_digits(s, 16, max, v))
        refuse(std::string("expected ") + what + " in hex, got " + shown(w));
    return static_cast<unsigned>(v);
}

// A run of bytes: hex bytes and "quoted text", from words[from] on.
std::vector<std::uint8_t> byte_run(const Words &t, std::size_t from)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = from; i < t.size(); ++i) {
        if (t[i].quoted)
            out.insert(out.end(), t[i].text.begin(), t[i].text.end());
        else
            out.push_back(static_cast<std::uint8_t>(hex_value(t[i], 0xff, "a byte")));
    }
    if (out.empty())
        refuse("expected bytes after the position");
    return out;
}

Run run_at(const Words &t, std::size_t at, std::size_t size, const char *what, const char *area)
{
    Run r{number(t[at], 0, size - 1, what), byte_run(t, at + 1)};
    if (r.pos + r.bytes.size() > size)
        refuse(std::string(area) + ": " + std::to_string(r.bytes.size()) + " bytes from position " +
               std::to_string(r.pos) + " go beyond its " + std::to_string(size) + " bytes");
    return r;
}

bool on_off(const Word &w, const char *on, const char *off)
{
    if (!w.quoted && w.text == on)
        return true;
    if (!w.quoted && w.text == off)
        return false;
    refuse(std::string("expected '") + on + "' or '" + off + "', got " + shown(w));
}

constexpr unsigned long long kMaxEpochSeconds = 1ULL << 40;

// The n digits at s[pos...], exactly: a fixed-width field of a date or time.
bool field(std::string_view s, std::size_t pos, std::size_t n, int &out)
{
    unsigned long long v = 0;
    if (pos + n > s.size() || !parse_digits(s.substr(pos, n), 10, 9999, v))
        return false;
    out = static_cast<int>(v);
    return true;
}

int days_in_month(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// ".FRACTION" of a second: 1 to 6 digits, "5" being 500000 microseconds.
std::int64_t fraction_us(std::string_view f, const Word &w)
{
    unsigned long long v = 0;
    if (f.size() > 6 || !parse_digits(f, 10, 999999, v))
        refuse("clock: the fraction must be 1 to 6 digits, got " + shown(w));
    for (std::size_t i = f.size(); i < 6; ++i)
        v *= 10;
    return static_cast<std::int64_t>(v);
}

// "YYYY-MM-DD" into tm: a real calendar date from 1970 to 9999.
void calendar_date(const Word &w, struct tm &tm)
{
    std::string_view s = w.text;
    int y = 0, m = 0, d = 0;
    if (w.quoted || s.size() != 10 || s[4] != '-' || s[7] != '-' || !field(s, 0, 4, y) ||
        !field(s, 5, 2, m) || !field(s, 8, 2, d))
        refuse("clock: expected a date YYYY-MM-DD, got " + shown(w));
    if (y < 1970)
        refuse("clock: the year must be 1970 to 9999, got " + shown(w));
    if (m < 1 || m > 12 || d < 1 || d > days_in_month(y, m))
        refuse("clock: no such date " + shown(w));
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
}

// "HH:MM:SS[.FRACTION]" into tm; returns the fraction in microseconds.
std::int64_t time_of_day(const Word &w, struct tm &tm)
{
    std::string_view s = w.text;
    const std::size_t dot = s.find('.');
    std::string_view hms = s.substr(0, dot);
    if (w.quoted || hms.size() != 8 || hms[2] != ':' || hms[5] != ':' ||
        !field(hms, 0, 2, tm.tm_hour) || !field(hms, 3, 2, tm.tm_min) ||
        !field(hms, 6, 2, tm.tm_sec))
        refuse("clock: expected a time HH:MM:SS[.FRACTION], got " + shown(w));
    if (tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        refuse("clock: no such time " + shown(w));
    return dot == std::string_view::npos ? 0 : fraction_us(s.substr(dot + 1), w);
}

// "2009-04-15 14:52:29.000512" in local time (TZ), in microseconds since the epoch.
std::int64_t local_clock(const Word &date, const Word &time)
{
    struct tm tm {};
    calendar_date(date, tm);
    const std::int64_t us = time_of_day(time, tm);
    const struct tm asked = tm;
    tm.tm_isdst = -1;
    const time_t secs = mktime(&tm);
    // mktime moves a time that a daylight-saving change skips.
    if (tm.tm_year != asked.tm_year || tm.tm_mon != asked.tm_mon || tm.tm_mday != asked.tm_mday ||
        tm.tm_hour != asked.tm_hour || tm.tm_min != asked.tm_min || tm.tm_sec != asked.tm_sec)
        refuse("clock: " + shown(date) + " " + shown(time) + " does not exist in local time");
    if (secs < 0)
        refuse("clock: " + shown(date) + " " + shown(time) + " is before the epoch");
    return static_cast<std::int64_t>(secs) * 1000000 + us;
}

// "@SECONDS[.FRACTION]" since the epoch, in microseconds.
std::int64_t epoch_clock(const Word &w)
{
    const std::string_view s = std::string_view(w.text).substr(1);
    const std::size_t dot = s.find('.');
    unsigned long long secs = 0;
    if (w.quoted || !parse_digits(s.substr(0, dot), 10, kMaxEpochSeconds, secs))
        refuse("clock: expected @SECONDS[.FRACTION] (0 to " + std::to_string(kMaxEpochSeconds) +
               " seconds), got " + shown(w));
    const std::int64_t us = dot == std::string_view::npos ? 0 : fraction_us(s.substr(dot + 1), w);
    return static_cast<std::int64_t>(secs) * 1000000 + us;
}

}  // namespace scenario_parse
}  // namespace bbusim
