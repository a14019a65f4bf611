// The trace log: line format, microseconds, appending, truncation, and a
// missing log directory.
#include <bbu/i2c.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/stat.h>

#include "sim_world_fixture.h"

using bbutest::CaptureStderr;
using bbutest::GetCapturedStderr;

namespace {

class TraceLogTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        SimWorldTest::SetUp();
        setenv("TZ", "UTC0", 1);
        tzset();
    }

    // Virtual wall clock at 2009-04-15 14:52:29 UTC plus `micros`.
    static void at_april_15_2009(long micros)
    {
        std::tm t{};
        t.tm_year = 2009 - 1900;
        t.tm_mon = 3;
        t.tm_mday = 15;
        t.tm_hour = 14;
        t.tm_min = 52;
        t.tm_sec = 29;
        bbusim::set_wall_clock(timegm(&t), micros);
    }
};

TEST_F(TraceLogTest, TimestampedLineWithTheTemplatesOwnNewlineLeavesAnEmptyLine)
{
    at_april_15_2009(512);
    LogTrace("I2C open failed, rc = %d \n", -1);
    EXPECT_EQ(trace_log_text(), "2009-04-15 14:52:29.512 I2C open failed, rc = -1 \n\n");
}

TEST_F(TraceLogTest, MicrosecondsPrintWithoutLeadingZeros)
{
    const struct {
        long micros;
        const char *line;
    } cases[] = {
        {0, "2009-04-15 14:52:29.0 tick\n"},
        {7, "2009-04-15 14:52:29.7 tick\n"},
        {99999, "2009-04-15 14:52:29.99999 tick\n"},
        {999999, "2009-04-15 14:52:29.999999 tick\n"},
    };
    std::string expected;
    for (const auto &c : cases) {
        at_april_15_2009(c.micros);
        LogTrace("tick");
        expected += c.line;
    }
    EXPECT_EQ(trace_log_text(), expected) << "lines are appended in call order";
}

TEST_F(TraceLogTest, AppendsToWhatIsThere)
{
    at_april_15_2009(1);
    {
        std::ofstream existing(bbusim::mapped_path("/opt/Logs/bbu/logs/BBU.log"));
        existing << "earlier line\n";
    }
    LogTrace("value %d and %s", 42, "text");
    EXPECT_EQ(trace_log_text(), "earlier line\n2009-04-15 14:52:29.1 value 42 and text\n");
}

TEST_F(TraceLogTest, LongMessagesAreCutAt512Characters)
{
    at_april_15_2009(3);
    std::string long_text(700, 'x');
    LogTrace("%s", long_text.c_str());
    EXPECT_EQ(trace_log_text(), "2009-04-15 14:52:29.3 " + std::string(512, 'x') + "\n");
}

TEST_F(TraceLogTest, MissingDirectoryIsReportedOnEveryCallAndNothingIsCreated)
{
    start_world(false);
    CaptureStderr();
    LogTrace("first %d", 1);
    LogTrace("second");
    EXPECT_EQ(GetCapturedStderr(), "Can't open Log File - /opt/Logs/bbu/logs/BBU.log\n"
                                   "Can't open Log File - /opt/Logs/bbu/logs/BBU.log\n");
    struct stat st;
    EXPECT_NE(stat(bbusim::mapped_path("/opt/Logs/bbu/logs").c_str(), &st), 0);
}

}  // namespace
