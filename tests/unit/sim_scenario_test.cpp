// The scenario grammar: refused lines with their exact messages, through
// bbusim::apply ("line N: ...") and through a scenario file ("FILE:N: ..."),
// and what must stay accepted, as sessions; the numbers' ranges; the scenario
// file reader's limits.
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "devices.h"
#include "scenario.h"
#include "sim_bus.h"

namespace {

using namespace std::string_literals;

// Applies scenario text in a time zone with daylight saving time (a rule: no
// zone database needed), also through a file: the same message, naming the
// file. Noted: the text and its message.
void applied(golden::Call &call, const std::string &text)
{
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    const std::string message = bbusim::apply(text), path = "scenario.scn";
    std::ofstream(path, std::ios::binary) << text;
    std::string read;
    EXPECT_EQ(bbusim::load_scenario_file(path, &read), "");
    if (!message.empty()) {  // refused through the file too, naming it
        EXPECT_EQ(bbusim::scenario_apply(*bbusim::world(), read, path),
                  path + ":" + message.substr(5));
    }
    unlink(path.c_str());
    unsetenv("TZ");
    tzset();
    note(call, "scenario", golden::shown(text) + " -> " + (message.empty() ? "applied" : message));
}

// Each line of the refused lines' file applied alone; nothing of it is
// applied (the status read and the clock after them show the default world).
void refusals(golden::Call &call)
{
    for (const std::string &text :
         bbutest::lines(bbutest::read_file(std::string(BBU_TEST_DATA) + "/sim_refused_lines.scn")))
        if (!text.empty() && text[0] != '#')
            applied(call, text);
    applied(call, "# comment\n\nbogus 1");
    rd(call.fd, 0x40, 33);
    note(call, "time", std::to_string(time(nullptr)));
    EXPECT_EQ(bbusim::world()->faults[0].kind, bbusim::FaultKind::none);
}

// A line in winter time, in summer time, the last second there is, and
// seconds since the epoch; then the wall clock read.
void clock_line(golden::Call &call, const std::string &text)
{
    applied(call, text);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    note(call, "gettimeofday", std::to_string(tv.tv_sec) + " s " + std::to_string(tv.tv_usec));
}

// Every number a statement takes ('#' in it), at the ends of its range and
// just past them.
const std::tuple<const char *, unsigned long long, unsigned long long> kLimits[] = {
    {"status # 01", 0, 31},
    {"state-save # 01", 0, 79},
    {"string # 0 01", 1, 15},
    {"string 1 # 01", 0, 31},
    {"strings #", 0, 15},
    {"busy-polls #", 0, 1000000},
    {"vpd # 01", 0, 255},
    {"vpd-write-cycle #", 0, 1000000},
    {"rtc # 00", 0, 15},
    {"image 05 #", 1, 65536},
    {"memory # ab", 0x1000, 0x10fff},
    {"reset-polls #", 0, 1000000},
    {"bus-clock #", 1000, 5000000},
    {"device program-time #", 0, 10},
    {"fault short 40 read #", 0, 8192},
    {"fault busy #", 0, 1000000},
    {"fault error-bits # 01", 4, 6},
    {"fault vpd-flip # 01", 0, 255},
    {"fault tfb-lost #", 0, 65535},
    {"fault gss-check count #", 1, 1000000000},
    {"fault gss-check skip #", 0, 1000000000}};

void limits(golden::Call &call)
{
    for (const auto &[statement, min, max] : kLimits)
        for (const unsigned long long n : {min - 1, min, max, max + 1})
            if (n != ~0ULL) {
                std::string text = statement;
                applied(call, text.replace(text.find('#'), 1, std::to_string(n)));
            }
}

// Scenario files that are not read, without waiting for a writer or reading
// past the limit, and one of exactly the limit, read whole.
void files(golden::Call &call)
{
    mkfifo("fifo.scn", 0600);
    std::ofstream("big.scn") << std::string(bbusim::kMaxScenarioFile + 1, '#');
    std::ofstream("limit.scn") << "status 5 41\n# "
                               << std::string(bbusim::kMaxScenarioFile - 15, '-') << "\n";
    for (const char *path : {"none.scn", ".", "fifo.scn", "/dev/zero", "big.scn", "limit.scn"}) {
        std::string text = "old";
        const std::string message = bbusim::load_scenario_file(path, &text);
        note(call, path,
             (message.empty() ? "read" : message) + "; " + std::to_string(text.size()) +
                 " bytes applied: " + bbusim::scenario_apply(*bbusim::world(), text, path));
    }
    for (const char *path : {"fifo.scn", "big.scn", "limit.scn"})
        unlink(path);
    rd(call.fd, 0x40, 33);
}

const golden::Row kRows[] = {
    {"refused", "", GOLDEN_CALL(refusals(call))},
    {"limits", "", GOLDEN_CALL(limits(call))},
    {"files", "", GOLDEN_CALL(files(call))},
    {"refused_keeps_the_lines_before", "",
     GOLDEN_CALL(applied(call, "status 5 01\nstatus 6 ff ff\nstatus 31 01 02"), rd(fd, 0x40, 33))},
    {"clock", "",
     GOLDEN_CALL(clock_line(call, "clock 2000-02-29 12:00:00.5"),
                 clock_line(call, "clock 2021-07-01 12:00:00"),
                 clock_line(call, "clock 9999-12-31 23:59:59"),
                 clock_line(call, "clock @1239807149.000512"))},
    // Hex in either case, options in any order, CRLF line ends, quoted text
    // with '#', a comment after it: the write at 0x7f fails with errno 5 once
    // C4 01 is accepted.
    {"freedoms", "",
     GOLDEN_CALL(applied(call, "fault fail 0X7f write 5 skip 0 count always on C4 01\r\n"
                               "fault short 40 10 read on c8 count 2\n"
                               "vpd 2 \"PN=#1\" 00 # a comment\n"),
                 wr(fd, 0x54, {0x02}), rd(fd, 0x54, 7), wr(fd, 0x7f, {0x00}),
                 wr(fd, 0x40, {0xc4, 0x01, 0xc5}), wr(fd, 0x7f, {0x00}), rd(fd, 0x40, 33))},
};

GOLDEN_TABLE(sim_scenario, kRows)

using ScenarioTest = SimAdapterTest;

// The state save read as a whole response block, its header aside.
Bytes state_save(int fd)
{
    wr(fd, 0x40, {0xc8, 0x00, 0xc8});
    rd(fd, 0x40, 33);
    rd(fd, 0x40, 33);
    const Bytes block = rdwr(fd, 0x60, true, Bytes(86)).data;
    return {block.begin() + 5, block.end() - 1};
}

TEST_F(ScenarioTest, DefaultWorldFileDescribesTheDefaultWorld)
{
    const Bytes saved = state_save(fd_);
    const auto status = bbusim::peek_status();
    apply(read_file(std::string(BBU_TEST_DATA) + "/sim_default_world.scn"));
    EXPECT_EQ(bbusim::peek_status(), status);
    EXPECT_EQ(state_save(fd_), saved);
}

// Every fault line in the examples of docs/bbusim.md is one the parser takes,
// so the manual cannot drift from the grammar.
TEST_F(ScenarioTest, FaultExamplesOfTheManualParse)
{
    bool example = false;
    int faults = 0;
    for (const std::string &line :
         bbutest::lines(read_file(std::string(BBU_TEST_DATA) + "/../../docs/bbusim.md"))) {
        example = line.starts_with("```") ? !example : example;
        if (example && line.starts_with("fault ") && !line.starts_with("fault KIND")) {
            apply(line);
            ++faults;
        }
    }
    EXPECT_GE(faults, 17);
}

// The settings the device choices make, as bytes.
std::string choice_settings()
{
    const bbusim::World &w = *bbusim::world();
    return std::string(reinterpret_cast<const char *>(&w.choices), sizeof w.choices) +
           std::to_string(w.bbu.reset_polls) + " " + std::to_string(w.eeprom.write_cycle_us);
}

// The manual's table of choices a real BBU may make, each statement with the
// choice it names for `device strict`: "device nack EREMOTEIO", ...
std::vector<std::string> strict_lines_of_the_manual()
{
    std::vector<std::string> out;
    bool table = false;
    for (std::string line :
         bbutest::lines(bbutest::read_file(std::string(BBU_TEST_DATA) + "/../../docs/bbusim.md"))) {
        table = line.starts_with("| Behaviour | Statement") || (table && line.starts_with("|"));
        if (!table || line.starts_with("| Behaviour") || line.starts_with("|-"))
            continue;
        for (auto at = line.find("\\|"); at != std::string::npos; at = line.find("\\|"))
            line.replace(at, 2, "/");
        std::vector<std::string> cells;
        for (std::size_t at = 0, bar = 0; (bar = line.find(" | ", at)) != std::string::npos;
             at = bar + 3)
            cells.push_back(line.substr(bar + 3, line.find(" | ", bar + 3) - bar - 3));
        std::istringstream statement(cells.at(0)), strict(cells.at(3));
        std::string word, choice, text;
        strict >> choice;
        while (statement >> word)  // the choice's place: a list or a capitalised name
            text += (text.empty() ? "" : " ") +
                    (word.find('/') != std::string::npos || std::isupper(word[1]) ? choice : word);
        std::erase(text, '`');
        out.push_back(text.substr(0, text.find(':')));
    }
    return out;
}

// `device strict` makes every choice of the manual's table as the table says
// (each line then changes nothing), and each line is a choice of its own (on
// the default world it changes something).
TEST_F(ScenarioTest, StrictMakesEveryChoiceOfTheManual)
{
    const std::vector<std::string> lines = strict_lines_of_the_manual();
    EXPECT_GE(lines.size(), 21U);
    const std::string fresh = choice_settings();
    apply("device strict");
    const std::string strict = choice_settings();
    for (const std::string &line : lines) {
        apply(line);
        EXPECT_EQ(choice_settings(), strict) << line;
    }
    for (const std::string &line : lines) {
        start_world(true);
        apply(line);
        EXPECT_NE(choice_settings(), fresh) << line;
    }
}

// A client killed in the middle of an update (a command shown running before
// its completion is settled, the image's first bytes overwritten) leaves
// nothing of it: the next user of the world finds the BBU as it was.
TEST_F(ScenarioTest, KilledClientLeavesNoHalfMadeUpdate)
{
    const auto status = bbusim::peek_status();
    const auto image = bbusim::peek_memory(0x1000, 32);
    if (fork() == 0) {
        bbusim::World &w = *bbusim::world();
        bbusim::WorldLock lock(w);
        bbusim::world_journal(w);
        w.bbu.running = 1;
        std::memset(bbusim::flash_bytes(w, 0, 32), 0, 32);
        raise(SIGKILL);
    }
    int how = 0;
    wait(&how);
    ASSERT_TRUE(WIFSIGNALED(how));
    EXPECT_EQ(bbusim::peek_status(), status);
    EXPECT_EQ(bbusim::peek_memory(0x1000, 32), image);
}

}  // namespace
