// scenario.cpp - scenario statements: each line's keyword, its words and what
// it sets in the world.
//
// The grammar is strict: every word of a line must be one its statement
// expects, each fault option comes at most once, numbers and dates are taken
// whole and in range, and quoted text stands only for bytes. Each statement
// is parsed completely before anything of it is applied, so a refused line
// leaves the world as the previous lines made it. Messages show the words
// they quote through printable(): a scenario's bytes never reach a terminal
// raw.
#include "scenario.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "devices.h"
#include "firmware_image.h"
#include "scenario_parse.h"
#include "transcript.h"

namespace bbusim {
namespace {

using namespace scenario_parse;

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
    if (apply_device_choice(w, t))
        return;
    if (t.size() != 3)
        refuse("usage: device ADDRESS present|absent");
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
    std::memcpy(flash_bytes(w, at - kFlashBase, bytes.size()), bytes.data(), bytes.size());
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
    {"device", "device ADDRESS present|absent | device WHAT CHOICE | device strict", 2, 4,
     apply_device},
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
