// scenario.cpp - read, parse and apply scenario statements.
//
// The grammar is strict: every word of a line must be one its statement
// expects, each fault option comes at most once, numbers and dates are taken
// whole and in range, and quoted text stands only for bytes. Each statement
// is parsed completely before anything of it is applied, so a refused line
// leaves the world as the previous lines made it. Messages show the words
// they quote through printable(): a scenario's bytes never reach a terminal
// raw.
#include "scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "devices.h"
#include "firmware_image.h"
#include "transcript.h"

namespace bbusim {
namespace {

// One word of a line; the quotes of quoted text are not part of `text`.
struct Word {
    std::string text;
    bool quoted = false;
};
using Words = std::vector<Word>;

// A refused statement; the message says why.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const std::string &why)
{
    throw Refused(why);
}

// A word as the line has it, quoted for a message.
std::string shown(const Word &w)
{
    // Built by appending: GCC 12's -Wrestrict misjudges the chained
    // operator+ of short literals in a Release build.
    std::string text;
    if (w.quoted)
        text.append(1, '"').append(w.text).append(1, '"');
    std::string out(1, '\'');
    out.append(printable(w.quoted ? text : w.text)).append(1, '\'');
    return out;
}

// The text of a word that is never quoted: keywords, names, paths.
const std::string &bare(const Word &w, const std::string &what)
{
    if (w.quoted)
        refuse("expected " + what + ", got quoted text " + shown(w));
    return w.text;
}

// The row of a table (statements, fault kinds, fault options) with this name.
template <typename Row, std::size_t N>
const Row *find_row(const Row (&rows)[N], std::string_view name)
{
    for (const Row &r : rows)
        if (name == r.name)
            return &r;
    return nullptr;
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

Words split_words(const std::string &line)
{
    if (std::size_t nul = line.find('\0'); nul != std::string::npos)
        refuse("a NUL byte at column " + std::to_string(nul + 1));
    Words out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            ++i;
        } else if (line[i] == '#') {
            break;
        } else if (line[i] == '"') {
            std::size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                refuse("unterminated quoted text");
            out.push_back({line.substr(i + 1, end - i - 1), true});
            i = end + 1;
            if (i < line.size() && !blank(line[i]) && line[i] != '#')
                refuse("a blank must follow quoted text " + shown(out.back()));
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

// A position in an area of `size` bytes (words[at]) and the run of bytes
// after it, checked to fit.
struct Run {
    std::size_t pos;
    std::vector<std::uint8_t> bytes;
};

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

// The words of a fault line after its kind, read from left to right.
class FaultWords {
public:
    FaultWords(const Words &t, const std::string &kind) : t_(t), prefix_("fault " + kind + ": ") {}

    // The next word when it is one of the kind's own, not an option.
    const Word *peek() const
    {
        return i_ < t_.size() && !is_option(t_[i_]) ? &t_[i_] : nullptr;
    }
    void skip()
    {
        ++i_;
    }
    // The kind's next word, which must be there.
    const Word &take(const char *what)
    {
        if (peek() == nullptr)
            refuse(prefix_ + "missing " + what);
        return t_[i_++];
    }
    bool done() const
    {
        return i_ >= t_.size();
    }
    const Word &next()
    {
        return t_[i_++];
    }
    // The value after an option word, which must be there.
    const Word &value(const char *option)
    {
        if (done())
            refuse(prefix_ + "'" + option + "' needs a value");
        return t_[i_++];
    }
    const std::string &prefix() const
    {
        return prefix_;
    }

    static bool is_option(const Word &w);

private:
    const Words &t_;
    std::size_t i_ = 2;  // after "fault KIND"
    std::string prefix_;
};

using FaultWordsFn = void (*)(FaultWords &, Fault &);

std::uint8_t address(FaultWords &in)
{
    return static_cast<std::uint8_t>(hex_value(in.take("address"), 0x7f, "an address"));
}

// An optional "read" or "write".
void direction(FaultWords &in, Fault &f)
{
    const Word *w = in.peek();
    if (w != nullptr && !w->quoted && (w->text == "read" || w->text == "write")) {
        f.dir = w->text == "read" ? Direction::read : Direction::write;
        in.skip();
    }
}

// An optional errno name or number; `fallback` without one.
void error_number(FaultWords &in, Fault &f, int fallback)
{
    f.err = fallback;
    if (const Word *w = in.peek()) {
        f.err = errno_from_name(bare(*w, "an errno name"));
        if (f.err == 0)
            refuse(in.prefix() + "unknown errno " + shown(*w));
        in.skip();
    }
}

void fail_words(FaultWords &in, Fault &f)
{
    f.addr = address(in);
    direction(in, f);
    error_number(in, f, EIO);
}

void short_words(FaultWords &in, Fault &f)
{
    f.addr = address(in);
    direction(in, f);  // "short 40 read 10"; "short 40 10 read" is read the same
    f.arg = static_cast<std::uint32_t>(number(in.take("length"), 0, 8192, "a length"));
    if (f.dir == Direction::any)
        direction(in, f);
}

void open_words(FaultWords &in, Fault &f)
{
    error_number(in, f, ENOENT);
}

void busy_words(FaultWords &in, Fault &f)
{
    f.arg = static_cast<std::uint32_t>(
        number(in.take("number of polls"), 0, 1000000, "a number of polls"));
}

void error_bits_words(FaultWords &in, Fault &f)
{
    f.arg = static_cast<std::uint32_t>(number(in.take("status byte"), 4, 6, "a status byte"));
    f.mask = hex_value(in.take("mask"), 0xff, "a mask");
}

void header_value_words(FaultWords &in, Fault &f)
{
    f.arg = hex_value(in.take("value"), 0xff, "a byte");
}

// vpd-flip POS MASK: the byte at POS of a read at 0x54 comes with MASK's bits flipped.
void vpd_flip_words(FaultWords &in, Fault &f)
{
    f.arg = static_cast<std::uint32_t>(
        number(in.take("position"), 0, kVpdLen - 1, "a position in the read"));
    f.mask = hex_value(in.take("mask"), 0xff, "a mask");
}

// tfb-lost BLOCK, block-checksum BLOCK: the block the fault is about.
void block_words(FaultWords &in, Fault &f)
{
    f.arg =
        static_cast<std::uint32_t>(number(in.take("block number"), 0, 0xffff, "a block number"));
}

struct FaultKindRow {
    const char *name;
    FaultKind kind;
    FaultWordsFn words;  // reads the kind's own words; null: it has none
};

constexpr FaultKindRow kFaultKinds[] = {
    {"fail", FaultKind::fail, fail_words},
    {"short", FaultKind::shorten, short_words},
    {"open", FaultKind::open, open_words},
    {"gss-check", FaultKind::gss_check, nullptr},
    {"busy", FaultKind::busy, busy_words},
    {"error-bits", FaultKind::error_bits, error_bits_words},
    {"block-check", FaultKind::block_check, nullptr},
    {"echo", FaultKind::echo, header_value_words},
    {"block-number", FaultKind::block_number, header_value_words},
    {"block-count", FaultKind::block_count, header_value_words},
    {"vpd-flip", FaultKind::vpd_flip, vpd_flip_words},
    {"tfb-lost", FaultKind::tfb_lost, block_words},
    {"block-checksum", FaultKind::block_checksum, block_words},
    {"first-image", FaultKind::first_image, nullptr},
};

// count N|always
void count_option(FaultWords &in, Fault &f)
{
    const Word &w = in.value("count");
    f.count = !w.quoted && w.text == "always"
                  ? kCountForever
                  : static_cast<std::uint32_t>(number(w, 1, 1000000000, "always or a count"));
}

// skip M
void skip_option(FaultWords &in, Fault &f)
{
    f.skip = static_cast<std::uint32_t>(
        number(in.value("skip"), 0, 1000000000, "a number of events to skip"));
}

// on CODE [PARAM]
void on_option(FaultWords &in, Fault &f)
{
    f.on_code = static_cast<std::int16_t>(hex_value(in.value("on"), 0xff, "a command code"));
    if (const Word *param = in.peek()) {
        f.on_param = static_cast<std::int16_t>(hex_value(*param, 0xff, "a parameter byte"));
        in.skip();
    }
}

struct FaultOptionRow {
    const char *name;
    FaultWordsFn words;  // reads the option's values
};

constexpr FaultOptionRow kFaultOptions[] = {
    {"count", count_option},
    {"skip", skip_option},
    {"on", on_option},
};

bool FaultWords::is_option(const Word &w)
{
    return !w.quoted && find_row(kFaultOptions, w.text) != nullptr;
}

// The options after the kind's words, each at most once.
void fault_options(FaultWords &in, Fault &f)
{
    bool seen[std::size(kFaultOptions)] = {};
    while (!in.done()) {
        const Word &w = in.next();
        const FaultOptionRow *opt = w.quoted ? nullptr : find_row(kFaultOptions, w.text);
        if (opt == nullptr)
            refuse(in.prefix() + "expected count, skip or on, got " + shown(w));
        bool &given = seen[opt - kFaultOptions];
        if (given)
            refuse(in.prefix() + "'" + opt->name + "' given twice");
        given = true;
        opt->words(in, f);
    }
}

// fault KIND [ARGS] [count N|always] [skip M] [on CODE [PARAM]]
Fault parse_fault(const Words &t)
{
    const FaultKindRow *row = find_row(kFaultKinds, bare(t[1], "a fault kind"));
    if (row == nullptr)
        refuse("unknown fault " + shown(t[1]));
    Fault f{};
    f.kind = row->kind;
    f.count = 1;
    f.on_code = -1;
    f.on_param = -1;
    FaultWords in(t, row->name);
    if (row->words != nullptr)
        row->words(in, f);
    if (const Word *extra = in.peek())
        refuse(in.prefix() + "unexpected " + shown(*extra));
    fault_options(in, f);
    return f;
}

void apply_status(World &w, const Words &t)
{
    Run r = run_at(t, 1, kStatusLen, "a status byte position", "status");
    bbu_set_status(w, r.pos, r.bytes.data(), r.bytes.size());
}

void apply_state_save(World &w, const Words &t)
{
    Run r = run_at(t, 1, kStateSaveLen, "a state-save offset", "state-save");
    std::memcpy(w.bbu.state_save + r.pos, r.bytes.data(), r.bytes.size());
}

void apply_string(World &w, const Words &t)
{
    auto n = number(t[1], 1, kMaxStrings, "a string number");
    Run r = run_at(t, 2, kStringLen, "a string offset", "string");
    bbu_set_string(w, n - 1, r.pos, r.bytes.data(), r.bytes.size());
}

void apply_strings(World &w, const Words &t)
{
    auto n = number(t[1], 0, kMaxStrings, "a number of strings");
    auto b18 = static_cast<std::uint8_t>((n << 4) | (w.bbu.status[18] & 0x0f));
    bbu_set_status(w, 18, &b18, 1);
}

void apply_busy_polls(World &w, const Words &t)
{
    w.bbu.busy_polls = static_cast<std::uint32_t>(number(t[1], 0, 1000000, "a number of polls"));
}

void apply_vpd(World &w, const Words &t)
{
    Run r = run_at(t, 1, kVpdLen, "a VPD offset", "vpd");
    std::memcpy(w.eeprom.mem + r.pos, r.bytes.data(), r.bytes.size());
}

void apply_vpd_write_cycle(World &w, const Words &t)
{
    w.eeprom.write_cycle_us =
        static_cast<std::uint32_t>(number(t[1], 0, 1000000, "a write cycle in microseconds"));
}

void apply_rtc(World &w, const Words &t)
{
    Run r = run_at(t, 1, kRtcRegs, "a clock register", "rtc");
    // Written as a bus write would, so that the time registers set the clock;
    // the register pointer stays where the bus left it.
    std::uint8_t frame[kRtcRegs + 1];
    frame[0] = static_cast<std::uint8_t>(r.pos);
    std::memcpy(frame + 1, r.bytes.data(), r.bytes.size());
    const std::uint8_t pointer = w.rtc.pointer;
    rtc_write(w, frame, r.bytes.size() + 1);
    w.rtc.pointer = pointer;
}

void apply_clock(World &w, const Words &t)
{
    if (t.size() == 2 && !t[1].quoted && t[1].text.rfind('@', 0) == 0)
        set_wall_clock_us(w, epoch_clock(t[1]));
    else if (t.size() == 3)
        set_wall_clock_us(w, local_clock(t[1], t[2]));
    else
        refuse("usage: clock YYYY-MM-DD HH:MM:SS[.FRACTION] | clock @SECONDS[.FRACTION]");
}

void apply_real_time(World &w, const Words &t)
{
    w.real_time = on_off(t[1], "on", "off") ? 1 : 0;
}

void apply_log_dir(World &w, const Words &t)
{
    const bool present = on_off(t[1], "present", "absent");
    const std::string root = w.root;
    if (present) {
        const std::string dir = root + kLogDir;
        if (!make_dirs(dir))
            refuse("log-dir: cannot create " + printable(dir) + ": " + std::strerror(errno));
    } else {
        // Remove the (empty) directories; files a run left there are kept.
        for (const char *d : {"/opt/Logs/bbu/logs", "/opt/Logs/bbu", "/opt/Logs", "/opt"})
            rmdir((root + d).c_str());
    }
    w.log_dir = present ? 1 : 0;
}

void apply_device(World &w, const Words &t)
{
    auto addr = hex_value(t[1], 0x7f, "an address");
    w.absent[addr] = on_off(t[2], "present", "absent") ? 0 : 1;
}

void apply_adapter(World &w, const Words &t)
{
    const std::string &path = bare(t[1], "a path");
    if (path[0] != '/')
        refuse("adapter: expected an absolute path, got " + shown(t[1]));
    if (!claim_adapter_path(w, path))
        refuse("adapter: path too long or too many adapters");
}

void apply_image(World &w, const Words &t)
{
    const auto version = static_cast<std::uint8_t>(hex_value(t[1], 0xff, "a firmware version"));
    const std::size_t size = t.size() > 2 ? number(t[2], 1, kFlashLen, "an image size") : kImageLen;
    const std::vector<std::uint8_t> image = make_image(version, size);
    store_image(w, image.data(), image.size());
}

void apply_memory(World &w, const Words &t)
{
    const auto at = number(t[1], kFlashBase, kFlashBase + kFlashLen - 1, "a memory address");
    const std::vector<std::uint8_t> bytes = byte_run(t, 2);
    if (at < kFlashBase || at - kFlashBase + bytes.size() > kFlashLen)
        refuse("memory: " + std::to_string(bytes.size()) + " bytes from address " +
               std::to_string(at) + " go beyond the flash (0x1000 to 0x10fff)");
    std::memcpy(w.bbu.flash + (at - kFlashBase), bytes.data(), bytes.size());
}

void apply_validate(World &w, const Words &t)
{
    struct VerdictRow {
        const char *name;
        Verdict verdict;
    };
    static constexpr VerdictRow kVerdicts[] = {{"check", Verdict::own_check},
                                               {"valid", Verdict::valid},
                                               {"reprogram", Verdict::reprogram},
                                               {"none", Verdict::none}};
    if (const VerdictRow *row = t[1].quoted ? nullptr : find_row(kVerdicts, t[1].text)) {
        w.bbu.verdict = row->verdict;
        return;
    }
    refuse("expected check, valid, reprogram or none, got " + shown(t[1]));
}

void apply_reset_polls(World &w, const Words &t)
{
    w.bbu.reset_polls =
        !t[1].quoted && t[1].text == "never"
            ? kCountForever
            : static_cast<std::uint32_t>(number(t[1], 0, 1000000, "never or a number of polls"));
}

void apply_bus_clock(World &w, const Words &t)
{
    if (!t[1].quoted && t[1].text == "off") {
        w.bus_clock_hz = 0;
        return;
    }
    const auto hz = number(t[1], 1000, 5000000, "off or a bus clock in Hz");
    w.bus_clock_hz = static_cast<std::uint32_t>(hz);
}

void apply_fault(World &w, const Words &t)
{
    Fault f = parse_fault(t);
    if (!add_fault(w, f))
        refuse("fault: too many faults (at most " + std::to_string(kMaxFaults) + ")");
}

using StatementFn = void (*)(World &, const Words &);

constexpr std::size_t kToEnd = SIZE_MAX;  // a run of bytes: any number of words

struct Statement {
    const char *name;
    const char *usage;      // shown when the number of words is wrong
    std::size_t min_words;  // counting the keyword
    std::size_t max_words;
    StatementFn apply;
};

// The statements of the grammar. A new statement is one more row.
constexpr Statement kStatements[] = {
    {"status", "status BYTE VALUE...", 3, kToEnd, apply_status},
    {"state-save", "state-save OFFSET VALUE...", 3, kToEnd, apply_state_save},
    {"string", "string N OFFSET VALUE...", 4, kToEnd, apply_string},
    {"strings", "strings N", 2, 2, apply_strings},
    {"busy-polls", "busy-polls N", 2, 2, apply_busy_polls},
    {"vpd", "vpd OFFSET VALUE...", 3, kToEnd, apply_vpd},
    {"vpd-write-cycle", "vpd-write-cycle MICROSECONDS", 2, 2, apply_vpd_write_cycle},
    {"rtc", "rtc REGISTER VALUE...", 3, kToEnd, apply_rtc},
    {"clock", "clock YYYY-MM-DD HH:MM:SS[.FRACTION] | clock @SECONDS[.FRACTION]", 2, 3,
     apply_clock},
    {"real-time", "real-time on|off", 2, 2, apply_real_time},
    {"log-dir", "log-dir present|absent", 2, 2, apply_log_dir},
    {"device", "device ADDRESS present|absent", 3, 3, apply_device},
    {"adapter", "adapter PATH", 2, 2, apply_adapter},
    {"fault", "fault KIND [ARGS] [count N|always] [skip M] [on CODE [PARAM]]", 2, kToEnd,
     apply_fault},
    // The BBU's firmware, memory, validation and restarts; the bus clock.
    {"image", "image VERSION [SIZE]", 2, 3, apply_image},
    {"memory", "memory ADDRESS VALUE...", 3, kToEnd, apply_memory},
    {"validate", "validate check|valid|reprogram|none", 2, 2, apply_validate},
    {"reset-polls", "reset-polls N|never", 2, 2, apply_reset_polls},
    {"bus-clock", "bus-clock HZ|off", 2, 2, apply_bus_clock},
};

void apply_statement(World &w, const Words &t)
{
    const Statement *s = find_row(kStatements, bare(t[0], "a keyword"));
    if (s == nullptr)
        refuse("unknown keyword " + shown(t[0]));
    if (t.size() < s->min_words || t.size() > s->max_words)
        refuse(std::string("usage: ") + s->usage);
    s->apply(w, t);
}

const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a special file";
}

std::string too_large()
{
    return "larger than " + std::to_string(kMaxScenarioFile) + " bytes (1 MiB), the limit";
}

// The contents of an open regular file, read in pieces: never more than a
// piece beyond the limit is held, even when the file grows while it is read.
std::string read_bounded(int fd, std::string *text)
{
    constexpr std::size_t kPiece = std::size_t{64} * 1024;
    text->clear();
    for (;;) {
        const std::size_t have = text->size();
        if (have > kMaxScenarioFile)
            return too_large();
        text->resize(have + kPiece);
        const ssize_t n = ::read(fd, text->data() + have, kPiece);
        const int err = errno;
        text->resize(have + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n == 0)
            return "";
        if (n < 0 && err != EINTR)
            return std::strerror(err);
    }
}

}  // namespace

std::string load_scenario_file(const std::string &path, std::string *text)
{
    const std::string failed = "cannot read scenario " + printable(path) + ": ";
    text->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failed + std::strerror(errno);
    struct stat st {};
    std::string why;
    if (fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = std::string(file_kind(st.st_mode)) + ", not a regular file";
    else if (static_cast<std::uint64_t>(st.st_size) > kMaxScenarioFile)
        why = too_large();
    else
        why = read_bounded(fd, text);
    ::close(fd);
    if (why.empty())
        return "";
    text->clear();
    return failed + why;
}

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
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        try {
            const Words words = split_words(line);
            if (!words.empty())
                apply_statement(w, words);
        } catch (const Refused &e) {
            const std::string where = source.empty()
                                          ? "line " + std::to_string(line_no)
                                          : printable(source) + ":" + std::to_string(line_no);
            return where + ": " + e.what();
        }
        if (end == text.size())
            break;
    }
    return "";
}

}  // namespace bbusim
