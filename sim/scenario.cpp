// scenario.cpp - parse and apply scenario statements.
//
// Each statement is parsed completely before anything of it is applied, so a
// refused line leaves the world as the previous lines made it.
#include "scenario.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "devices.h"
#include "transcript.h"

namespace bbusim {
namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

// A refused statement; the message says why.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const std::string &why)
{
    throw Refused(why);
}

std::vector<Token> tokenize(const std::string &line)
{
    std::vector<Token> out;
    std::size_t i = 0;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                refuse("unterminated quoted text");
            out.push_back({line.substr(i + 1, end - i - 1), true});
            i = end + 1;
        } else {
            std::size_t end = line.find_first_of(" \t\r#", i);
            if (end == std::string::npos)
                end = line.size();
            out.push_back({line.substr(i, end - i), false});
            i = end;
        }
    }
    return out;
}

bool parse_unsigned(const std::string &s, int base, unsigned long long max, unsigned long long &out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, base);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

// Positions, counts and lengths: decimal, or hex with 0x.
unsigned long long number(const Token &t, unsigned long long max, const char *what)
{
    unsigned long long v = 0;
    bool hex = t.text.size() > 2 && t.text[0] == '0' && (t.text[1] == 'x' || t.text[1] == 'X');
    if (t.quoted || !parse_unsigned(hex ? t.text.substr(2) : t.text, hex ? 16 : 10, max, v))
        refuse(std::string("expected ") + what + " (0 to " + std::to_string(max) + "), got '" +
               t.text + "'");
    return v;
}

// Values that go on the bus (bytes, addresses, codes, masks): hex, 0x optional.
unsigned hex_value(const Token &t, unsigned max, const char *what)
{
    std::string s = t.text;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s = s.substr(2);
    unsigned long long v = 0;
    if (t.quoted || s.size() > 2 || !parse_unsigned(s, 16, max, v))
        refuse(std::string("expected ") + what + " in hex, got '" + t.text + "'");
    return static_cast<unsigned>(v);
}

// A run of bytes: hex bytes and "quoted text", from tokens[from] on.
std::vector<std::uint8_t> byte_run(const std::vector<Token> &tokens, std::size_t from)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = from; i < tokens.size(); ++i) {
        if (tokens[i].quoted)
            out.insert(out.end(), tokens[i].text.begin(), tokens[i].text.end());
        else
            out.push_back(static_cast<std::uint8_t>(hex_value(tokens[i], 0xff, "a byte")));
    }
    if (out.empty())
        refuse("expected bytes after the position");
    return out;
}

void need(const std::vector<Token> &t, std::size_t n, const char *usage)
{
    if (t.size() < n)
        refuse(std::string("usage: ") + usage);
}

void exactly(const std::vector<Token> &t, std::size_t n, const char *usage)
{
    if (t.size() != n)
        refuse(std::string("usage: ") + usage);
}

bool on_off(const Token &t, const char *on, const char *off)
{
    if (t.text == on)
        return true;
    if (t.text == off)
        return false;
    refuse(std::string("expected '") + on + "' or '" + off + "', got '" + t.text + "'");
}

// Run of bytes into a fixed area; checks that it fits.
void check_fits(std::size_t pos, std::size_t n, std::size_t size, const char *area)
{
    if (pos + n > size)
        refuse(std::string(area) + ": " + std::to_string(n) + " bytes from position " +
               std::to_string(pos) + " go beyond its " + std::to_string(size) + " bytes");
}

// "2009-04-15 14:52:29.000512" in local time, or "@SECONDS[.FRACTION]".
std::int64_t parse_clock(const std::vector<Token> &t)
{
    auto fraction_us = [](const std::string &f) -> std::int64_t {
        if (f.empty() || f.size() > 6 || f.find_first_not_of("0123456789") != std::string::npos)
            refuse("clock: fraction must be 1 to 6 digits");
        std::string padded = f + std::string(6 - f.size(), '0');
        return std::stoll(padded);
    };
    if (t.size() == 2 && !t[1].text.empty() && t[1].text[0] == '@') {
        std::string s = t[1].text.substr(1);
        std::size_t dot = s.find('.');
        unsigned long long secs = 0;
        if (!parse_unsigned(s.substr(0, dot), 10, 1ULL << 40, secs))
            refuse("clock: expected @SECONDS[.FRACTION]");
        std::int64_t us = dot == std::string::npos ? 0 : fraction_us(s.substr(dot + 1));
        return static_cast<std::int64_t>(secs) * 1000000 + us;
    }
    if (t.size() != 3)
        refuse("usage: clock YYYY-MM-DD HH:MM:SS[.FRACTION] | clock @SECONDS[.FRACTION]");
    struct tm tm {};
    int consumed = 0;
    if (std::sscanf(t[1].text.c_str(), "%4d-%2d-%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &consumed) != 3 ||
        static_cast<std::size_t>(consumed) != t[1].text.size())
        refuse("clock: expected a date YYYY-MM-DD, got '" + t[1].text + "'");
    std::string time_text = t[2].text;
    std::size_t dot = time_text.find('.');
    std::int64_t us = dot == std::string::npos ? 0 : fraction_us(time_text.substr(dot + 1));
    if (dot != std::string::npos)
        time_text.resize(dot);
    if (std::sscanf(time_text.c_str(), "%2d:%2d:%2d%n", &tm.tm_hour, &tm.tm_min, &tm.tm_sec,
                    &consumed) != 3 ||
        static_cast<std::size_t>(consumed) != time_text.size())
        refuse("clock: expected a time HH:MM:SS, got '" + t[2].text + "'");
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
        tm.tm_min > 59 || tm.tm_sec > 60)
        refuse("clock: date or time out of range");
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    time_t secs = mktime(&tm);
    if (secs == static_cast<time_t>(-1))
        refuse("clock: time cannot be represented");
    return static_cast<std::int64_t>(secs) * 1000000 + us;
}

Direction direction_word(const std::string &s, bool &matched)
{
    matched = true;
    if (s == "read")
        return Direction::read;
    if (s == "write")
        return Direction::write;
    matched = false;
    return Direction::any;
}

bool is_fault_option(const std::string &s)
{
    return s == "count" || s == "skip" || s == "on";
}

Fault parse_fault(const std::vector<Token> &t)
{
    need(t, 2, "fault KIND [ARGS] [count N|always] [skip M] [on CODE [PARAM]]");
    Fault f{};
    f.count = 1;
    f.on_code = -1;
    f.on_param = -1;
    const std::string &kind = t[1].text;
    std::size_t i = 2;
    auto positional = [&]() {
        return i < t.size() && !is_fault_option(t[i].text);
    };
    auto take = [&](const char *what) -> const Token & {
        if (!positional())
            refuse("fault " + kind + ": missing " + what);
        return t[i++];
    };
    auto direction = [&]() {
        bool matched = false;
        if (positional()) {
            Direction d = direction_word(t[i].text, matched);
            if (matched) {
                ++i;
                f.dir = d;
            }
        }
    };
    // An optional errno name after the fault's own words; `fallback` without one.
    auto error_number = [&](int fallback, const char *fault) {
        f.err = fallback;
        if (positional()) {
            f.err = errno_from_name(t[i].text);
            if (f.err == 0)
                refuse(std::string("fault ") + fault + ": unknown errno '" + t[i].text + "'");
            ++i;
        }
    };

    if (kind == "fail") {
        f.kind = FaultKind::fail;
        f.addr = static_cast<std::uint8_t>(hex_value(take("address"), 0x7f, "an address"));
        direction();
        error_number(EIO, "fail");
    } else if (kind == "short") {
        f.kind = FaultKind::shorten;
        f.addr = static_cast<std::uint8_t>(hex_value(take("address"), 0x7f, "an address"));
        direction();  // "short 40 read 10"; "short 40 10 read" is read the same
        f.arg = static_cast<std::uint32_t>(number(take("length"), 8192, "a length"));
        if (f.dir == Direction::any)
            direction();
    } else if (kind == "open") {
        f.kind = FaultKind::open;
        error_number(ENOENT, "open");
    } else if (kind == "gss-check") {
        f.kind = FaultKind::gss_check;
    } else if (kind == "busy") {
        f.kind = FaultKind::busy;
        f.arg = static_cast<std::uint32_t>(
            number(take("number of polls"), 1000000, "a number of polls"));
    } else if (kind == "error-bits") {
        f.kind = FaultKind::error_bits;
        f.arg =
            static_cast<std::uint32_t>(number(take("status byte"), 6, "a status byte 4, 5 or 6"));
        if (f.arg < 4)
            refuse("fault error-bits: status byte must be 4, 5 or 6");
        f.mask = hex_value(take("mask"), 0xff, "a mask");
    } else if (kind == "block-check") {
        f.kind = FaultKind::block_check;
    } else if (kind == "echo" || kind == "block-number" || kind == "block-count") {
        f.kind = kind == "echo"           ? FaultKind::echo
                 : kind == "block-number" ? FaultKind::block_number
                                          : FaultKind::block_count;
        f.arg = hex_value(take("value"), 0xff, "a byte");
    } else {
        refuse("unknown fault '" + kind + "'");
    }
    if (positional())
        refuse("fault " + kind + ": unexpected '" + t[i].text + "'");

    while (i < t.size()) {
        const std::string &opt = t[i++].text;
        if (i >= t.size())
            refuse("fault " + kind + ": '" + opt + "' needs a value");
        if (opt == "count") {
            if (t[i].text == "always")
                f.count = kCountForever;
            else
                f.count = static_cast<std::uint32_t>(number(t[i], 1000000000, "a count"));
            if (f.count == 0)
                refuse("fault " + kind + ": count must be at least 1");
            ++i;
        } else if (opt == "skip") {
            f.skip = static_cast<std::uint32_t>(
                number(t[i++], 1000000000, "a number of events to skip"));
        } else {  // on CODE [PARAM]
            f.on_code = static_cast<std::int16_t>(hex_value(t[i++], 0xff, "a command code"));
            if (i < t.size() && !is_fault_option(t[i].text))
                f.on_param = static_cast<std::int16_t>(hex_value(t[i++], 0xff, "a parameter byte"));
        }
    }
    return f;
}

void set_log_dir(World &w, bool present)
{
    std::string root = w.root;
    std::string dir = root + kLogDir;
    if (present) {
        if (!make_dirs(dir))
            refuse("log-dir: cannot create " + dir + ": " + std::strerror(errno));
    } else {
        // Remove the (empty) directories; files a run left there are kept.
        for (const char *d : {"/opt/Logs/bbu/logs", "/opt/Logs/bbu", "/opt/Logs", "/opt"})
            rmdir((root + d).c_str());
    }
    w.log_dir = present ? 1 : 0;
}

void apply_statement(World &w, const std::vector<Token> &t)
{
    const std::string &key = t[0].text;
    if (key == "status") {
        need(t, 3, "status BYTE VALUE...");
        auto pos = number(t[1], kStatusLen - 1, "a status byte position");
        auto bytes = byte_run(t, 2);
        check_fits(pos, bytes.size(), kStatusLen, "status");
        bbu_set_status(w, pos, bytes.data(), bytes.size());
    } else if (key == "state-save") {
        need(t, 3, "state-save OFFSET VALUE...");
        auto pos = number(t[1], kStateSaveLen - 1, "a state-save offset");
        auto bytes = byte_run(t, 2);
        check_fits(pos, bytes.size(), kStateSaveLen, "state-save");
        std::memcpy(w.bbu.state_save + pos, bytes.data(), bytes.size());
    } else if (key == "string") {
        need(t, 4, "string N OFFSET VALUE...");
        auto n = number(t[1], kMaxStrings, "a string number");
        if (n == 0)
            refuse("string: strings are numbered from 1");
        auto pos = number(t[2], kStringLen - 1, "a string offset");
        auto bytes = byte_run(t, 3);
        check_fits(pos, bytes.size(), kStringLen, "string");
        bbu_set_string(w, n - 1, pos, bytes.data(), bytes.size());
    } else if (key == "strings") {
        exactly(t, 2, "strings N");
        auto n = number(t[1], kMaxStrings, "a number of strings");
        std::uint8_t b18 = static_cast<std::uint8_t>((n << 4) | (w.bbu.status[18] & 0x0f));
        bbu_set_status(w, 18, &b18, 1);
    } else if (key == "busy-polls") {
        exactly(t, 2, "busy-polls N");
        w.bbu.busy_polls = static_cast<std::uint32_t>(number(t[1], 1000000, "a number of polls"));
    } else if (key == "vpd") {
        need(t, 3, "vpd OFFSET VALUE...");
        auto pos = number(t[1], kVpdLen - 1, "a VPD offset");
        auto bytes = byte_run(t, 2);
        check_fits(pos, bytes.size(), kVpdLen, "vpd");
        std::memcpy(w.eeprom.mem + pos, bytes.data(), bytes.size());
    } else if (key == "rtc") {
        need(t, 3, "rtc REGISTER VALUE...");
        auto reg = number(t[1], kRtcRegs - 1, "a clock register");
        auto bytes = byte_run(t, 2);
        check_fits(reg, bytes.size(), kRtcRegs, "rtc");
        std::uint8_t frame[kRtcRegs + 1];
        frame[0] = static_cast<std::uint8_t>(reg);
        std::memcpy(frame + 1, bytes.data(), bytes.size());
        std::uint8_t pointer = w.rtc.pointer;
        rtc_write(w, frame, bytes.size() + 1);
        w.rtc.pointer = pointer;
    } else if (key == "clock") {
        set_wall_clock_us(w, parse_clock(t));
    } else if (key == "real-time") {
        exactly(t, 2, "real-time on|off");
        w.real_time = on_off(t[1], "on", "off") ? 1 : 0;
    } else if (key == "log-dir") {
        exactly(t, 2, "log-dir present|absent");
        set_log_dir(w, on_off(t[1], "present", "absent"));
    } else if (key == "device") {
        exactly(t, 3, "device ADDRESS present|absent");
        auto addr = hex_value(t[1], 0x7f, "an address");
        w.absent[addr] = on_off(t[2], "present", "absent") ? 0 : 1;
    } else if (key == "adapter") {
        exactly(t, 2, "adapter PATH");
        if (t[1].text.empty() || t[1].text[0] != '/')
            refuse("adapter: expected an absolute path");
        if (!claim_adapter_path(w, t[1].text))
            refuse("adapter: path too long or too many adapters");
    } else if (key == "fault") {
        Fault f = parse_fault(t);
        if (!add_fault(w, f))
            refuse("fault: too many faults (at most " + std::to_string(kMaxFaults) + ")");
    } else {
        refuse("unknown keyword '" + key + "'");
    }
}

}  // namespace

std::string scenario_apply(World &w, const std::string &text, const std::string &source)
{
    WorldLock lock(w);
    std::size_t start = 0;
    int line_no = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++line_no;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        try {
            std::vector<Token> tokens = tokenize(line);
            if (!tokens.empty())
                apply_statement(w, tokens);
        } catch (const Refused &e) {
            std::string where = source.empty() ? "line " + std::to_string(line_no)
                                               : source + ":" + std::to_string(line_no);
            return where + ": " + e.what();
        }
        if (end == text.size())
            break;
    }
    return "";
}

}  // namespace bbusim
