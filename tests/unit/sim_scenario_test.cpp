// The scenario grammar's strictness: one table of refused lines with their
// exact messages, checked through bbusim::apply ("line N: ...") and through a
// scenario file ("FILE:N: ..."); the scenario file reader's limits; and what
// must stay accepted.
#include <sys/stat.h>
#include <sys/time.h>

#include <cstdlib>

#include "scenario.h"
#include "sim_bus.h"

namespace {

using namespace ::testing;
using namespace std::string_literals;

// Every test here runs with a time zone that has daylight saving time, given
// as a rule so that no zone database is needed.
class ScenarioTest : public SimBusTest {
protected:
    void SetUp() override
    {
        setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
        tzset();
        SimBusTest::SetUp();
    }
    void TearDown() override
    {
        SimBusTest::TearDown();
        unsetenv("TZ");
        tzset();
    }

    std::string write_scenario(const std::string &text)
    {
        const std::string path = root_ + "/scenario.scn";
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

// Each refused line and its message; the line is line 1 where the message does not say.
const std::pair<std::string, std::string> kRefusals[] = {
    // Words the statement does not expect, and options given twice.
    {"# comment\n\nbogus 1", "3: unknown keyword 'bogus'"},
    {"fault gss-check count 5 scip 0", "fault gss-check: expected count, skip or on, got 'scip'"},
    {"fault busy 2 on c4 01 02", "fault busy: expected count, skip or on, got '02'"},
    {"fault fail 40 count 2 skip 1 count 3", "fault fail: 'count' given twice"},
    {"fault busy 3 on c4 on c8", "fault busy: 'on' given twice"},
    {"fault gss-check 40", "fault gss-check: unexpected '40'"},
    {"strings 2 3", "usage: strings N"},
    {"fault nothing", "unknown fault 'nothing'"},
    {"fault fail 40 read EBOGUS", "fault fail: unknown errno 'EBOGUS'"},
    {"fault busy", "fault busy: missing number of polls"},
    {"fault gss-check skip", "fault gss-check: 'skip' needs a value"},
    // Quoted text stands for bytes only.
    {"\"status\" 0 31", "expected a keyword, got quoted text '\"status\"'"},
    {"fault gss-check \"count\" 2", "fault gss-check: unexpected '\"count\"'"},
    {"real-time \"on\"", "expected 'on' or 'off', got '\"on\"'"},
    {"busy-polls \"3\"", "expected a number of polls (0 to 1000000), got '\"3\"'"},
    {"vpd 2 \"PN=\"00", "a blank must follow quoted text '\"PN=\"'"},
    {"vpd 2 \"PN=", "unterminated quoted text"},
    // Numbers: the whole word, in range.
    {"busy-polls 5\0x9"s, "a NUL byte at column 13"},
    {"status 0x0x5 01", "expected a status byte position (0 to 31), got '0x0x5'"},
    {"busy-polls +5", "expected a number of polls (0 to 1000000), got '+5'"},
    {"busy-polls 5s", "expected a number of polls (0 to 1000000), got '5s'"},
    {"status 32 00", "expected a status byte position (0 to 31), got '32'"},
    {"status 30 01 02 03", "status: 3 bytes from position 30 go beyond its 32 bytes"},
    {"status 4 zz", "expected a byte in hex, got 'zz'"},
    {"status 4 0x001", "expected a byte in hex, got '0x001'"},
    {"device 80 absent", "expected an address in hex, got '80'"},
    // Dates: real calendar dates in fixed-width fields, times that exist here.
    {"clock 2009-02-31 12:00:00", "clock: no such date '2009-02-31'"},
    {"clock 2100-02-29 12:00:00", "clock: no such date '2100-02-29'"},
    {"clock 2009-13-01 00:00:00", "clock: no such date '2009-13-01'"},
    {"clock -100-01-01 00:00:00", "clock: expected a date YYYY-MM-DD, got '-100-01-01'"},
    {"clock 2009-4-5 12:00:00", "clock: expected a date YYYY-MM-DD, got '2009-4-5'"},
    {"clock 2009-04-05 1:02:03", "clock: expected a time HH:MM:SS[.FRACTION], got '1:02:03'"},
    {"clock 1969-12-31 23:59:59", "clock: the year must be 1970 to 9999, got '1969-12-31'"},
    {"clock 2009-04-05 12:00:60", "clock: no such time '12:00:60'"},
    {"clock 2009-04-05 12:00:00.1234567",
     "clock: the fraction must be 1 to 6 digits, got '12:00:00.1234567'"},
    {"clock 2021-03-14 02:30:00", "clock: '2021-03-14' '02:30:00' does not exist in local time"},
    {"clock @-5", "clock: expected @SECONDS[.FRACTION] (0 to 1099511627776 seconds), got '@-5'"},
    // Raw control bytes and a byte-order mark are shown escaped.
    {"\xef\xbb\xbfstatus 0 31", "unknown keyword '\\xef\\xbb\\xbfstatus'"},
    {"fault fail 40 \x1b[2J", "fault fail: unknown errno '\\x1b[2J'"},
};

TEST_F(ScenarioTest, RefusedLineIsNamedAndNothingOfItApplied)
{
    const auto status = bbusim::peek_status();
    const time_t wall = time(nullptr);
    for (const auto &[text, why] : kRefusals) {
        const std::string message = (why.starts_with("3:") ? "" : "1: ") + why;
        EXPECT_EQ(bbusim::apply(text), "line " + message);
        const std::string path = write_scenario(text);
        std::string read;
        ASSERT_EQ(bbusim::load_scenario_file(path, &read), "");
        EXPECT_EQ(bbusim::scenario_apply(*bbusim::world(), read, path), path + ":" + message);
    }
    EXPECT_EQ(bbusim::peek_status(), status);
    EXPECT_EQ(time(nullptr), wall);
    EXPECT_EQ(bbusim::world()->faults[0].kind, bbusim::FaultKind::none);
}

// Every number a statement takes, with its range: the ends are accepted, the
// numbers just past them refused by a message that names that range.
struct Limit {
    const char *statement;  // '#' stands for the number
    const char *what;
    unsigned long long min, max;
};

const Limit kLimits[] = {
    {"status # 01", "a status byte position", 0, 31},
    {"state-save # 01", "a state-save offset", 0, 79},
    {"string # 0 01", "a string number", 1, 15},
    {"string 1 # 01", "a string offset", 0, 31},
    {"strings #", "a number of strings", 0, 15},
    {"busy-polls #", "a number of polls", 0, 1000000},
    {"vpd # 01", "a VPD offset", 0, 255},
    {"vpd-write-cycle #", "a write cycle in microseconds", 0, 1000000},
    {"rtc # 00", "a clock register", 0, 15},
    {"image 05 #", "an image size", 1, 65536},
    {"memory # ab", "a memory address", 0x1000, 0x10fff},
    {"reset-polls #", "never or a number of polls", 0, 1000000},
    {"bus-clock #", "off or a bus clock in Hz", 1000, 5000000},
    {"fault short 40 read #", "a length", 0, 8192},
    {"fault busy #", "a number of polls", 0, 1000000},
    {"fault error-bits # 01", "a status byte", 4, 6},
    {"fault vpd-flip # 01", "a position in the read", 0, 255},
    {"fault tfb-lost #", "a block number", 0, 65535},
    {"fault gss-check count #", "always or a count", 1, 1000000000},
    {"fault gss-check skip #", "a number of events to skip", 0, 1000000000},
};

TEST_F(ScenarioTest, NumbersAreTakenInTheRangeTheirMessageNames)
{
    for (const Limit &l : kLimits) {
        auto line = [&](unsigned long long n) {
            std::string text = l.statement;
            return text.replace(text.find('#'), 1, std::to_string(n));
        };
        const std::string refusal = "line 1: expected "s + l.what + " (" + std::to_string(l.min) +
                                    " to " + std::to_string(l.max) + "), got '";
        EXPECT_EQ(bbusim::apply(line(l.min)), "") << line(l.min);
        EXPECT_EQ(bbusim::apply(line(l.max)), "") << line(l.max);
        if (l.min > 0) {
            EXPECT_EQ(bbusim::apply(line(l.min - 1)), refusal + std::to_string(l.min - 1) + "'");
        }
        EXPECT_EQ(bbusim::apply(line(l.max + 1)), refusal + std::to_string(l.max + 1) + "'");
    }
}

TEST_F(ScenarioTest, RefusedLineKeepsTheLinesBeforeIt)
{
    EXPECT_EQ(bbusim::apply("status 5 01\nstatus 6 ff ff\nstatus 31 01 02"),
              "line 3: status: 2 bytes from position 31 go beyond its 32 bytes");
    EXPECT_EQ(hex(bbusim::peek_status().data() + 5, 3), "01 ff ff");
    EXPECT_EQ(bbusim::peek_status()[31], 0x12) << "the default sub-version";
}

TEST_F(ScenarioTest, ClockInLocalTimeOrSinceTheEpoch)
{
    const std::tuple<const char *, std::int64_t, long> rows[] = {
        {"clock 2000-02-29 12:00:00.5", 951843600, 500000},  // a leap day, in winter time
        {"clock 2021-07-01 12:00:00", 1625155200, 0},        // summer time
        {"clock 9999-12-31 23:59:59", 253402318799, 0},
        {"clock @1239807149.000512", 1239807149, 512},
    };
    for (const auto &[text, seconds, micros] : rows) {
        apply(text);
        timeval tv{};
        gettimeofday(&tv, nullptr);
        EXPECT_EQ(tv.tv_sec, seconds) << text;
        EXPECT_EQ(tv.tv_usec, micros) << text;
    }
}

TEST_F(ScenarioTest, StrictnessLeavesTheGrammarsFreedoms)
{
    apply("fault fail 0X7f write 5 skip 0 count always on C4 01\r\n"
          "fault short 40 10 read on c8 count 2\n"
          "vpd 2 \"PN=#1\" 00 # a comment\n");
    const auto vpd = bbusim::peek_vpd();
    EXPECT_EQ(std::string(vpd.begin() + 2, vpd.begin() + 8), "PN=#1"s + '\0');
}

TEST_F(ScenarioTest, DefaultWorldFileDescribesTheDefaultWorld)
{
    run_command({0xc8, 0x00, 0xc8});
    const Bytes block = read(0x60, 86).data;
    const auto status = bbusim::peek_status();
    apply(read_file(std::string(BBU_TEST_DATA) + "/sim_default_world.scn"));
    EXPECT_EQ(bbusim::peek_status(), status);
    run_command({0xc8, 0x00, 0xc8});
    const Bytes again = read(0x60, 86).data;
    EXPECT_EQ(Bytes(again.begin() + 5, again.end() - 1), Bytes(block.begin() + 5, block.end() - 1));
}

TEST_F(ScenarioTest, FileIsRefusedWithoutBlockingOrGrowing)
{
    const std::string fifo = root_ + "/fifo.scn", big = root_ + "/big.scn";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(big) << std::string(bbusim::kMaxScenarioFile + 1, '#');
    for (const auto &[path, why] : {std::pair{root_ + "/none.scn", "No such file or directory"s},
                                    {root_, "a directory, not a regular file"s},
                                    {fifo, "a FIFO, not a regular file"s},
                                    {"/dev/zero"s, "a character device, not a regular file"s},
                                    {big, "larger than 1048576 bytes (1 MiB), the limit"s}}) {
        std::string text = "old";
        EXPECT_EQ(bbusim::load_scenario_file(path, &text),
                  "cannot read scenario " + path + ": " + why);
        EXPECT_EQ(text, "");
    }
    // A file of exactly the limit is read whole.
    const std::string body =
        "status 5 41\n# " + std::string(bbusim::kMaxScenarioFile - 15, '-') + "\n";
    const std::string path = write_scenario(body);
    std::string text;
    ASSERT_EQ(bbusim::load_scenario_file(path, &text), "");
    EXPECT_EQ(text, body);
    EXPECT_EQ(bbusim::scenario_apply(*bbusim::world(), text, path), "");
    EXPECT_EQ(bbusim::peek_status()[5], 0x41);
}

}  // namespace
