// The scenario grammar's strictness: one table of refused lines with their
// exact messages, checked through bbusim::apply ("line N: ...") and through a
// scenario file ("FILE:N: ..."); the scenario file reader's limits; and the
// corner cases that must stay accepted.
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdlib>
#include <optional>

#include "scenario.h"
#include "sim_world.h"

namespace {

using namespace std::string_literals;

// Every test here runs with a time zone that has daylight saving time, given
// as a rule so that no zone database is needed.
class ScenarioTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        const char *tz = std::getenv("TZ");
        saved_tz_ = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
        tzset();
        SimWorldTest::SetUp();
    }
    void TearDown() override
    {
        if (saved_tz_)
            setenv("TZ", saved_tz_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    std::string write_scenario(const std::string &name, const std::string &text)
    {
        std::string path = root_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::optional<std::string> saved_tz_;
};

struct Refusal {
    const char *name;
    std::string text;
    const char *message;  // "LINE: why"
};

class ScenarioRefusalTest : public ScenarioTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(ScenarioRefusalTest, NamesTheLineAndAppliesNothingOfIt)
{
    const Refusal &c = GetParam();
    const auto status = bbusim::peek_status();
    const time_t wall = time(nullptr);

    EXPECT_EQ(bbusim::apply(c.text), "line "s + c.message);
    std::string path = write_scenario("refused.scn", c.text), text;
    ASSERT_EQ(bbusim::load_scenario_file(path, &text), "");
    EXPECT_EQ(bbusim::scenario_apply(*bbusim::world(), text, path), path + ":" + c.message);

    EXPECT_EQ(bbusim::peek_status(), status);
    EXPECT_EQ(time(nullptr), wall);
    EXPECT_EQ(bbusim::world()->faults[0].kind, bbusim::FaultKind::none);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ScenarioRefusalTest,
    ::testing::Values(
        // Words the statement does not expect, and options given twice.
        Refusal{"UnknownKeyword", "# comment\n\nbogus 1", "3: unknown keyword 'bogus'"},
        Refusal{"UnknownOptionAfterTheFirst", "fault gss-check count 5 scip 0",
                "1: fault gss-check: expected count, skip or on, got 'scip'"},
        Refusal{"WordAfterTheTrigger", "fault busy 2 on c4 01 02",
                "1: fault busy: expected count, skip or on, got '02'"},
        Refusal{"CountTwice", "fault fail 40 count 2 skip 1 count 3",
                "1: fault fail: 'count' given twice"},
        Refusal{"TriggerTwice", "fault busy 3 on c4 on c8", "1: fault busy: 'on' given twice"},
        Refusal{"ExtraFaultWord", "fault gss-check 40", "1: fault gss-check: unexpected '40'"},
        Refusal{"ExtraStatementWord", "strings 2 3", "1: usage: strings N"},
        Refusal{"UnknownFault", "fault nothing", "1: unknown fault 'nothing'"},
        Refusal{"UnknownErrno", "fault fail 40 read EBOGUS",
                "1: fault fail: unknown errno 'EBOGUS'"},
        Refusal{"MissingPolls", "fault busy", "1: fault busy: missing number of polls"},
        Refusal{"OptionWithoutValue", "fault gss-check skip",
                "1: fault gss-check: 'skip' needs a value"},
        // Quoted text stands for bytes only.
        Refusal{"QuotedKeyword", "\"status\" 0 31",
                "1: expected a keyword, got quoted text '\"status\"'"},
        Refusal{"QuotedOption", "fault gss-check \"count\" 2",
                "1: fault gss-check: unexpected '\"count\"'"},
        Refusal{"QuotedOnOff", "real-time \"on\"", "1: expected 'on' or 'off', got '\"on\"'"},
        Refusal{"QuotedNumber", "busy-polls \"3\"",
                "1: expected a number of polls (0 to 1000000), got '\"3\"'"},
        Refusal{"TextRunsIntoAWord", "vpd 2 \"PN=\"00",
                "1: a blank must follow quoted text '\"PN=\"'"},
        Refusal{"Unterminated", "vpd 2 \"PN=", "1: unterminated quoted text"},
        // Numbers: the whole word, in range.
        Refusal{"NulCutsANumberShort", "busy-polls 5\0x9"s, "1: a NUL byte at column 13"},
        Refusal{"DoubleHexPrefix", "status 0x0x5 01",
                "1: expected a status byte position (0 to 31), got '0x0x5'"},
        Refusal{"Sign", "busy-polls +5", "1: expected a number of polls (0 to 1000000), got '+5'"},
        Refusal{"TrailingGarbage", "busy-polls 5s",
                "1: expected a number of polls (0 to 1000000), got '5s'"},
        Refusal{"StatusPosition", "status 32 00",
                "1: expected a status byte position (0 to 31), got '32'"},
        Refusal{"StatusRunTooLong", "status 30 01 02 03",
                "1: status: 3 bytes from position 30 go beyond its 32 bytes"},
        Refusal{"NotAByte", "status 4 zz", "1: expected a byte in hex, got 'zz'"},
        Refusal{"ThreeHexDigits", "status 4 0x001", "1: expected a byte in hex, got '0x001'"},
        Refusal{"AddressRange", "device 80 absent", "1: expected an address in hex, got '80'"},
        Refusal{"StringZero", "string 0 0 01", "1: string: strings are numbered from 1"},
        Refusal{"ErrorByte", "fault error-bits 3 01",
                "1: fault error-bits: status byte must be 4, 5 or 6"},
        Refusal{"CountZero", "fault gss-check count 0",
                "1: fault gss-check: count must be at least 1"},
        Refusal{"CountBeyondLimit", "fault gss-check count 1000000001",
                "1: expected a count (0 to 1000000000), got '1000000001'"},
        // Dates: real calendar dates in fixed-width fields.
        Refusal{"NoThirtyFirstOfFebruary", "clock 2009-02-31 12:00:00",
                "1: clock: no such date '2009-02-31'"},
        Refusal{"CenturyIsNoLeapYear", "clock 2100-02-29 12:00:00",
                "1: clock: no such date '2100-02-29'"},
        Refusal{"Month13", "clock 2009-13-01 00:00:00", "1: clock: no such date '2009-13-01'"},
        Refusal{"NegativeYear", "clock -100-01-01 00:00:00",
                "1: clock: expected a date YYYY-MM-DD, got '-100-01-01'"},
        Refusal{"OneDigitFields", "clock 2009-4-5 12:00:00",
                "1: clock: expected a date YYYY-MM-DD, got '2009-4-5'"},
        Refusal{"OneDigitHour", "clock 2009-04-05 1:02:03",
                "1: clock: expected a time HH:MM:SS[.FRACTION], got '1:02:03'"},
        Refusal{"BeforeTheEpochYear", "clock 1969-12-31 23:59:59",
                "1: clock: the year must be 1970 to 9999, got '1969-12-31'"},
        Refusal{"Second60", "clock 2009-04-05 12:00:60", "1: clock: no such time '12:00:60'"},
        Refusal{"SevenFractionDigits", "clock 2009-04-05 12:00:00.1234567",
                "1: clock: the fraction must be 1 to 6 digits, got '12:00:00.1234567'"},
        Refusal{"SkippedByDaylightSaving", "clock 2021-03-14 02:30:00",
                "1: clock: '2021-03-14' '02:30:00' does not exist in local time"},
        Refusal{"EpochSign", "clock @-5",
                "1: clock: expected @SECONDS[.FRACTION] (0 to 1099511627776 seconds), got '@-5'"},
        // Raw control bytes and a byte-order mark are shown escaped.
        Refusal{"ByteOrderMark", "\xef\xbb\xbfstatus 0 31",
                "1: unknown keyword '\\xef\\xbb\\xbfstatus'"},
        Refusal{"EscapeSequence", "fault fail 40 \x1b[2J",
                "1: fault fail: unknown errno '\\x1b[2J'"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ScenarioTest, RefusedLineKeepsTheLinesBeforeIt)
{
    EXPECT_EQ(bbusim::apply("status 5 01\nstatus 6 ff ff\nstatus 31 01 02"),
              "line 3: status: 2 bytes from position 31 go beyond its 32 bytes");
    auto g = bbusim::peek_status();
    EXPECT_EQ(g[5], 0x01);
    EXPECT_EQ(g[6], 0xff);
    EXPECT_EQ(g[31], 0x12) << "the default sub-version";
}

struct ClockCase {
    const char *name;
    const char *text;
    std::int64_t seconds;  // since the epoch
    long micros;
};

class ScenarioClockTest : public ScenarioTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ScenarioClockTest, SetsTheWallClock)
{
    apply(GetParam().text);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    EXPECT_EQ(tv.tv_sec, GetParam().seconds);
    EXPECT_EQ(tv.tv_usec, GetParam().micros);
}

INSTANTIATE_TEST_SUITE_P(
    Clock, ScenarioClockTest,
    ::testing::Values(ClockCase{"LeapDayInWinter", "clock 2000-02-29 12:00:00.5", 951843600,
                                500000},
                      ClockCase{"Summer", "clock 2021-07-01 12:00:00", 1625155200, 0},
                      ClockCase{"LastDay", "clock 9999-12-31 23:59:59", 253402318799, 0},
                      ClockCase{"Epoch", "clock @1239807149.000512", 1239807149, 512}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ScenarioTest, StrictnessLeavesTheGrammarsFreedoms)
{
    apply("fault fail 0X7f write 5 skip 0 count always on C4 01\r\n"
          "fault short 40 10 read on c8 count 2\n"
          "vpd 2 \"PN=#1\" 00 # a comment\n");
    auto vpd = bbusim::peek_vpd();
    EXPECT_EQ(std::string(vpd.begin() + 2, vpd.begin() + 8), "PN=#1"s + '\0');
}

struct FileCase {
    const char *name;
    std::string (*make)(const std::string &dir);  // returns the path to read
    const char *why;
};

class ScenarioFileTest : public ScenarioTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(ScenarioFileTest, RefusedWithoutBlockingOrGrowing)
{
    std::string path = GetParam().make(root_), text = "old";
    EXPECT_EQ(bbusim::load_scenario_file(path, &text),
              "cannot read scenario " + path + ": " + GetParam().why);
    EXPECT_EQ(text, "");
}

INSTANTIATE_TEST_SUITE_P(
    Files, ScenarioFileTest,
    ::testing::Values(FileCase{"Missing", [](const std::string &d) { return d + "/none.scn"; },
                               "No such file or directory"},
                      FileCase{"Directory", [](const std::string &d) { return d; },
                               "a directory, not a regular file"},
                      FileCase{"FifoWithoutWriter",
                               [](const std::string &d) {
                                   std::string p = d + "/fifo.scn";
                                   mkfifo(p.c_str(), 0600);
                                   return p;
                               },
                               "a FIFO, not a regular file"},
                      FileCase{"EndlessDevice", [](const std::string &) { return "/dev/zero"s; },
                               "a character device, not a regular file"},
                      FileCase{"OneByteOverTheLimit",
                               [](const std::string &d) {
                                   std::string p = d + "/big.scn";
                                   std::ofstream(p)
                                       << std::string(bbusim::kMaxScenarioFile + 1, '#');
                                   return p;
                               },
                               "larger than 1048576 bytes (1 MiB), the limit"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ScenarioTest, FileAtTheLimitIsReadWhole)
{
    std::string body = "status 5 41\n# " + std::string(bbusim::kMaxScenarioFile - 15, '-') + "\n";
    ASSERT_EQ(body.size(), bbusim::kMaxScenarioFile);
    std::string path = write_scenario("limit.scn", body), text;
    ASSERT_EQ(bbusim::load_scenario_file(path, &text), "");
    EXPECT_EQ(text, body);
    EXPECT_EQ(bbusim::scenario_apply(*bbusim::world(), text, path), "");
    EXPECT_EQ(bbusim::peek_status()[5], 0x41);
}

}  // namespace
