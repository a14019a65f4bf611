// scenario_faults.cpp - the fault grammar: "fault KIND [ARGS] [count N|always]
// [skip M] [on CODE [PARAM]]", each option at most once.
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "bbusim.h"
#include "scenario_parse.h"
#include "transcript.h"

namespace bbusim {
namespace scenario_parse {

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

// A time in seconds with up to six decimals ("12", "12.5"), in microseconds.
std::uint64_t seconds_us(FaultWords &in)
{
    const Word &w = in.take("time");
    const std::string &text = bare(w, "a time in seconds");
    const std::size_t dot = text.find('.');
    const std::string whole = text.substr(0, dot);
    const std::string part = dot == std::string::npos ? "" : text.substr(dot + 1);
    const bool digits = !whole.empty() && whole.size() <= 9 && part.size() <= 6 &&
                        (dot == std::string::npos || !part.empty()) &&
                        whole.find_first_not_of("0123456789") == std::string::npos &&
                        part.find_first_not_of("0123456789") == std::string::npos;
    if (!digits)
        refuse(in.prefix() + "expected a time in seconds such as 12.5, got " + shown(w));
    std::uint64_t us = std::stoull(whole) * 1000000;
    std::uint64_t scale = 100000;
    for (char c : part) {
        us += static_cast<std::uint64_t>(c - '0') * scale;
        scale /= 10;
    }
    return us;
}

// power-cut and crash: ADDR [read|write], any [read|write], sleep, or at SECONDS.
void stop_words(FaultWords &in, Fault &f)
{
    const Word &w = in.take("address, any, sleep or at");
    if (!w.quoted && w.text == "sleep") {
        f.strike = Strike::pause;
    } else if (!w.quoted && w.text == "at") {
        f.strike = Strike::at_time;
        f.at_us = seconds_us(in);
    } else {
        f.strike = !w.quoted && w.text == "any" ? Strike::any_message : Strike::address;
        if (f.strike == Strike::address)
            f.addr = static_cast<std::uint8_t>(hex_value(w, 0x7f, "an address"));
        direction(in, f);
    }
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
    {"power-cut", FaultKind::power_cut, stop_words},
    {"crash", FaultKind::crash, stop_words},
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

}  // namespace scenario_parse

std::vector<std::string> fault_kinds()
{
    std::vector<std::string> out;
    for (const scenario_parse::FaultKindRow &row : scenario_parse::kFaultKinds)
        out.emplace_back(row.name);
    return out;
}

}  // namespace bbusim
