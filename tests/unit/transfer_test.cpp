// Opening and locking the adapter: the transfers themselves are golden
// sessions (golden_transfers_status_test.cpp).
#include <bbu/bbu.h>
#include <gmock/gmock.h>
#include <poll.h>

#include <chrono>
#include <ctime>

#include "sim_world.h"

namespace {

using namespace ::testing;
using OpenTest = SimWorldTest;

TEST_F(OpenTest, TheDefaultAdapterOpensQuietly)
{
    EXPECT_STREQ(I2C_Adapter, "/dev/i2c-0b");
    int fd = -1;
    auto o = bbutest::capture([&] { fd = open_I2C_device(0); });
    EXPECT_EQ(o.out + o.err, "");
    ASSERT_GE(fd, 0);
    close_I2C_device(fd);
    const std::string n = std::to_string(fd);
    EXPECT_THAT(events(), ElementsAre("open /dev/i2c-0b -> " + n, "close " + n));
}

// A failed open is reported on all three sinks whatever the verbose setting;
// the adapter opened is the one I2C_Adapter names.
TEST_F(OpenTest, AFailedOpenIsAlwaysReported)
{
    struct Row {
        const char *faults;
        bool elsewhere;  // I2C_Adapter set to a path that does not exist
        const char *error;
    };
    char *const default_adapter = I2C_Adapter;
    std::string missing = root_ + "/no-such-adapter";
    for (const Row &row : {Row{"fault open ENOENT\n", false, "No such file or directory"},
                           Row{"fault open EACCES\n", false, "Permission denied"},
                           Row{"", true, "No such file or directory"}}) {
        for (int verbose : {0, 1}) {
            start_world(true);
            apply(row.faults);
            I2C_Adapter = row.elsewhere ? missing.data() : default_adapter;
            int fd = 0;
            auto o = bbutest::capture([&] { fd = open_I2C_device(verbose); });
            I2C_Adapter = default_adapter;
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(o.out, "I2C open failed, rc = -1 \n");
            EXPECT_EQ(o.err, std::string("i2c open failed: ") + row.error + "\n");
            EXPECT_EQ(trace_messages(), "I2C open failed, rc = -1 \n\n");
        }
    }
}

// A bounded wait for an adapter that another open file holds gives up after
// the seconds asked, in real time: the monotonic clock, not the virtual one.
TEST_F(OpenTest, ABoundedLockWaitGivesUpOnTime)
{
    const int holder = open_I2C_device(0), waiter = open_I2C_device(0);
    ASSERT_EQ(lock_I2C_device(holder, 0), 0);
    // Started a tenth into a second: a wait counted wrong within the second shows.
    for (timespec now{}; clock_gettime(CLOCK_MONOTONIC, &now) == 0 && now.tv_nsec / 100000000 != 1;)
        poll(nullptr, 0, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_I2C_device(waiter, 1), I2C_LOCK_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(999));
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_EQ(unlock_I2C_device(holder), 0);
    EXPECT_EQ(lock_I2C_device(waiter, 1), 0);
    close_I2C_device(waiter);
    close_I2C_device(holder);
}

}  // namespace
