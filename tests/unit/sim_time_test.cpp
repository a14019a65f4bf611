// Virtual time: the sleep family advances it at once and the wall clock
// follows it, to the end of its range; under real time, it follows the time
// actually slept.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "sim_world.h"

namespace {

using namespace ::testing;
using BbusimTimeTest = SimWorldTest;

TEST_F(BbusimTimeTest, SleepsAdvanceVirtualTimeAndReturnAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    const timespec two_s_1ns{2, 1}, almost_1s{0, 999999999};
    EXPECT_EQ(sleep(1000), 0u);
    EXPECT_EQ(usleep(50000), 0);
    EXPECT_EQ(usleep(0), 0);
    EXPECT_EQ(nanosleep(&two_s_1ns, nullptr), 0);  // rounded up to whole microseconds
    EXPECT_EQ(clock_nanosleep(CLOCK_MONOTONIC, 0, &almost_1s, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_THAT(bbusim::transcript(),
                ElementsAre("0.000000 sleep 1000000000", "1000.000000 sleep 50000",
                            "1000.050000 sleep 0", "1000.050000 sleep 2000001",
                            "1002.050001 sleep 1000000"));
    EXPECT_EQ(bbusim::now_us(), 1003050001u);
}

TEST_F(BbusimTimeTest, InvalidNanosleepIsRefusedAndTakesNoTime)
{
    const timespec bad{1, 1000000000};
    EXPECT_EQ(nanosleep(&bad, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(clock_nanosleep(CLOCK_REALTIME, 0, &bad, nullptr), EINVAL);
    EXPECT_EQ(bbusim::now_us(), 0u);
}

// The wall clock in microseconds as gettimeofday, clock_gettime(CLOCK_REALTIME)
// and time report it, each in its own units.
std::vector<std::int64_t> wall_clock_readings()
{
    timeval tv{};
    timespec ts{};
    EXPECT_EQ(gettimeofday(&tv, nullptr), 0);
    EXPECT_EQ(clock_gettime(CLOCK_REALTIME, &ts), 0);
    return {tv.tv_sec, tv.tv_usec, ts.tv_sec, ts.tv_nsec, time(nullptr)};
}

TEST_F(BbusimTimeTest, WallClockIsItsStartPlusTheVirtualTime)
{
    const auto real = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    EXPECT_LE(std::llabs(static_cast<long long>(time(nullptr) - real)), 5) << "the default start";

    bbusim::set_wall_clock(1239807149, 512);
    usleep(1999600);
    EXPECT_THAT(wall_clock_readings(),
                ElementsAre(1239807151, 112, 1239807151, 112000, 1239807151));
    // An absolute sleep on CLOCK_REALTIME waits until that time of the wall clock.
    const timespec until{1239807154, 500000000};
    EXPECT_EQ(clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &until, nullptr), 0);
    EXPECT_EQ(bbusim::now_us(), 1999600u + 3499888u);

    // The monotonic clocks are the machine's own.
    timespec mono{}, boot{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    EXPECT_LE(mono.tv_sec, boot.tv_sec);
}

// Whole seconds and a fraction in [0, 1 s), before 1970 as after it.
TEST_F(BbusimTimeTest, WallClockBefore1970IsNormalised)
{
    // The wall clock in microseconds, then the seconds and microseconds read.
    const std::int64_t cases[][3] = {{-500000, -1, 500000},
                                     {-1, -1, 999999},
                                     {-1000000, -1, 0},
                                     {-31536000000001, -31536001, 999999}};
    for (const auto &c : cases) {
        bbusim::set_wall_clock(0, c[0]);
        EXPECT_THAT(wall_clock_readings(), ElementsAre(c[1], c[2], c[1], c[2] * 1000, c[1]))
            << c[0];
    }
}

// A sleep beyond the clock's range stops it at the end of the range: the
// virtual time and the wall clock never wrap round and never go back.
TEST_F(BbusimTimeTest, HugeSleepStopsTheClockAtTheEndOfItsRange)
{
    for (std::int64_t start_s : {std::int64_t{-1000000000}, std::int64_t{1239807149}}) {
        SCOPED_TRACE(start_s);
        start_world(true);
        bbusim::set_wall_clock(start_s, 0);
        const timespec forever{INT64_MAX, 999999999};
        EXPECT_EQ(nanosleep(&forever, nullptr), 0);
        EXPECT_EQ(sleep(UINT_MAX), 0u);
        const std::int64_t start_us = start_s * 1000000;
        const std::uint64_t room =
            static_cast<std::uint64_t>(INT64_MAX - std::max<std::int64_t>(start_us, 0));
        EXPECT_EQ(bbusim::now_us(), room);
        timespec ts{};
        ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &ts), 0);
        EXPECT_EQ(std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000,
                  start_us + static_cast<std::int64_t>(room));
    }
}

void ignore(int) {}

// Under real time the clock follows the time actually slept.
TEST_F(BbusimTimeTest, RealTimeSleepInterruptedBySignalReportsTheTimeLeft)
{
    apply("real-time on");
    struct sigaction quiet = {}, old = {};
    quiet.sa_handler = ignore;
    sigaction(SIGALRM, &quiet, &old);
    const itimerval soon{{0, 0}, {0, 20000}};
    setitimer(ITIMER_REAL, &soon, nullptr);
    const timespec req{10, 0};
    timespec rem{};
    EXPECT_EQ(nanosleep(&req, &rem), -1);
    EXPECT_EQ(errno, EINTR);
    sigaction(SIGALRM, &old, nullptr);
    const auto left = static_cast<std::uint64_t>(rem.tv_sec * 1000000 + rem.tv_nsec / 1000);
    EXPECT_GT(left, 0u);
    EXPECT_EQ(bbusim::now_us() + left, 10000000u) << "the clock moved by the time slept";
}

TEST_F(BbusimTimeTest, RealTimeSleepOfAKilledCommandLeavesTheClockWhereItStopped)
{
    apply("real-time on");
    bbusim::clear_transcript();
    const pid_t child = fork();
    if (child == 0) {
        sleep(10);
        _exit(0);
    }
    // Kill the child once its sleep has begun (a bounded wait in real time).
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bbusim::transcript().empty() && std::chrono::steady_clock::now() < give_up)
        sched_yield();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_THAT(bbusim::transcript(), ElementsAre("0.000000 sleep 10000000"));
    EXPECT_LT(bbusim::now_us(), 10000000u);
}

}  // namespace
