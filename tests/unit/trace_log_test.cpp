// The trace log: line format, microseconds, appending, truncation, and a
// missing log directory.
#include <bbu/i2c.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>

#include "sim_world.h"

namespace {

using TraceLogTest = SimWorldTest;

constexpr std::int64_t kApril15th2009 = 1239807149;  // 2009-04-15 14:52:29 UTC

TEST_F(TraceLogTest, StampedLinesAppendedToWhatIsThere)
{
    setenv("TZ", "UTC0", 1);  // the wall clock below is in UTC
    tzset();
    std::ofstream(trace_log_path()) << "earlier line\n";
    std::string expected = "earlier line\n";
    // Microseconds without leading zeros; the template's own newline leaves an empty line;
    // a message is cut at 512 characters.
    const struct {
        long micros;
        std::string message, line;
    } rows[] = {
        {512, "I2C open failed, rc = -1 \n", "14:52:29.512 I2C open failed, rc = -1 \n\n"},
        {0, "tick", "14:52:29.0 tick\n"},
        {7, "value 42 and text", "14:52:29.7 value 42 and text\n"},
        {99999, "tick", "14:52:29.99999 tick\n"},
        {999999, std::string(700, 'x'), "14:52:29.999999 " + std::string(512, 'x') + "\n"},
    };
    for (const auto &row : rows) {
        bbusim::set_wall_clock(kApril15th2009, row.micros);
        LogTrace("%s", row.message.c_str());
        expected += "2009-04-15 " + row.line;
    }
    EXPECT_EQ(trace_log_text(), expected);
}

TEST_F(TraceLogTest, MissingDirectoryIsReportedOnEveryCallAndNothingIsCreated)
{
    start_world(false);
    auto o = bbutest::capture([] {
        LogTrace("first %d", 1);
        LogTrace("second");
    });
    EXPECT_EQ(o.err, "Can't open Log File - /opt/Logs/bbu/logs/BBU.log\n"
                     "Can't open Log File - /opt/Logs/bbu/logs/BBU.log\n");
    struct stat st;
    EXPECT_NE(stat(bbusim::mapped_path("/opt/Logs/bbu/logs").c_str(), &st), 0);
}

}  // namespace
