// The scenario grammar as the in-process tests meet it (bbusim::apply): a
// refused line keeps the lines before it, and what must stay accepted; the
// files of scenarios and the manual agree with the grammar.
#include <sys/wait.h>

#include <cctype>
#include <csignal>
#include <cstring>
#include <sstream>

#include "devices.h"
#include "scenario.h"
#include "sim_bus.h"

namespace {

// Applies scenario text; noted: the text and its message. (bbusim's own
// sessions show the refused lines, the numbers' ranges, the files it does
// not read and the clock lines, each through a scenario file.)
void applied(golden::Call &call, const std::string &text)
{
    const std::string message = bbusim::apply(text);
    note(call, "scenario", golden::shown(text) + " -> " + (message.empty() ? "applied" : message));
}

const golden::Row kRows[] = {
    {"refused_keeps_the_lines_before", "",
     GOLDEN_CALL(applied(call, "status 5 01\nstatus 6 ff ff\nstatus 31 01 02"), rd(fd, 0x40, 33))},
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
