// Virtual time: the sleep family advances it at once, the wall clock
// follows it, and the transcript stamps every event with it.
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <ctime>
#include <functional>

#include "sim_bus.h"

namespace {

using BbusimTimeTest = SimBusTest;

struct SleepCase {
    const char *name;
    std::function<int()> call;
    std::uint64_t us;
};

class BbusimSleepTest : public SimBusTest, public ::testing::WithParamInterface<SleepCase> {};

TEST_P(BbusimSleepTest, AdvancesVirtualTimeAndReturnsAtOnce)
{
    const SleepCase &c = GetParam();
    bbusim::clear_transcript();
    auto start = std::chrono::steady_clock::now();
    std::uint64_t before = bbusim::now_us();
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(bbusim::now_us() - before, c.us);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(bbusim::transcript(),
              std::vector<std::string>{"0.000000 sleep " + std::to_string(c.us)});
}

INSTANTIATE_TEST_SUITE_P(
    Calls, BbusimSleepTest,
    ::testing::Values(SleepCase{"Sleep", [] { return static_cast<int>(sleep(1000)); }, 1000000000},
                      SleepCase{"Usleep", [] { return usleep(50000); }, 50000},
                      SleepCase{"UsleepZero", [] { return usleep(0); }, 0},
                      SleepCase{"NanosleepRoundsUp",
                                [] {
                                    timespec ts{2, 1};
                                    return nanosleep(&ts, nullptr);
                                },
                                2000001},
                      SleepCase{"ClockNanosleepRelative",
                                [] {
                                    timespec ts{0, 999999999};
                                    return clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, nullptr);
                                },
                                1000000}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimTimeTest, InvalidNanosleepIsRefusedAndTakesNoTime)
{
    timespec bad{1, 1000000000};
    errno = 0;
    EXPECT_EQ(nanosleep(&bad, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(clock_nanosleep(CLOCK_REALTIME, 0, &bad, nullptr), EINVAL);
    EXPECT_EQ(bbusim::now_us(), 0u);
}

std::int64_t local_epoch(int y, int mo, int d, int h, int mi, int s)
{
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return static_cast<std::int64_t>(mktime(&tm));
}

TEST_F(BbusimTimeTest, ClockSettingAndWallClockFollowingSleeps)
{
    apply("clock 2009-04-15 14:52:29.000512");
    const std::int64_t start = local_epoch(2009, 4, 15, 14, 52, 29);
    timeval tv{};
    ASSERT_EQ(gettimeofday(&tv, nullptr), 0);
    EXPECT_EQ(tv.tv_sec, start);
    EXPECT_EQ(tv.tv_usec, 512);

    usleep(1999600);
    ASSERT_EQ(gettimeofday(&tv, nullptr), 0);
    EXPECT_EQ(tv.tv_sec, start + 2);
    EXPECT_EQ(tv.tv_usec, 112);
    EXPECT_EQ(time(nullptr), start + 2);
    timespec ts{};
    ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &ts), 0);
    EXPECT_EQ(ts.tv_sec, start + 2);
    EXPECT_EQ(ts.tv_nsec, 112000);

    // The monotonic clock is the machine's own.
    ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &ts), 0);
    timespec real{};
    ASSERT_EQ(clock_gettime(CLOCK_BOOTTIME, &real), 0);
    EXPECT_LE(ts.tv_sec, real.tv_sec);
}

TEST_F(BbusimTimeTest, EpochClockAndSetWallClock)
{
    apply("clock @1239807149.5");
    timeval tv{};
    gettimeofday(&tv, nullptr);
    EXPECT_EQ(tv.tv_sec, 1239807149);
    EXPECT_EQ(tv.tv_usec, 500000);
    bbusim::set_wall_clock(1000, 250);
    sleep(1);
    gettimeofday(&tv, nullptr);
    EXPECT_EQ(tv.tv_sec, 1001);
    EXPECT_EQ(tv.tv_usec, 250);
}

TEST_F(BbusimTimeTest, DefaultWallClockStartsAtTheRealTime)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    auto real = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    EXPECT_LE(std::llabs(static_cast<long long>(tv.tv_sec - real)), 5);
}

TEST_F(BbusimTimeTest, AbsoluteRealtimeSleepWaitsUntilTheVirtualWallClockTime)
{
    bbusim::set_wall_clock(5000, 0);
    timespec until{5003, 500000000};
    EXPECT_EQ(clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &until, nullptr), 0);
    EXPECT_EQ(bbusim::now_us(), 3500000u);
    EXPECT_EQ(time(nullptr), 5003);
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
        SCOPED_TRACE(c[0]);
        bbusim::set_wall_clock(0, c[0]);
        timeval tv{};
        timespec ts{};
        ASSERT_EQ(gettimeofday(&tv, nullptr), 0);
        ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &ts), 0);
        EXPECT_EQ((std::vector<std::int64_t>{tv.tv_sec, tv.tv_usec, ts.tv_sec, ts.tv_nsec,
                                             time(nullptr)}),
                  (std::vector<std::int64_t>{c[1], c[2], c[1], c[2] * 1000, c[1]}));
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
    errno = 0;
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
    pid_t child = fork();
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
    EXPECT_EQ(bbusim::transcript(), std::vector<std::string>{"0.000000 sleep 10000000"});
    EXPECT_LT(bbusim::now_us(), 10000000u);
}

TEST_F(BbusimTimeTest, TranscriptOfASmallConversation)
{
    ::close(fd_);
    fd_ = -1;
    bbusim::clear_transcript();
    apply("status 0 31\nstatus 8 00 00 00 00\nbusy-polls 1");

    int fd = ::open("/dev/i2c-0b", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(rdwr(fd, 0x40, false, {0xc4, 0x02, 0xc6}).rc, 1);
    usleep(50000);
    ASSERT_EQ(rdwr(fd, 0x40, true, Bytes(2)).rc, 1);
    timespec ts{1, 250};
    nanosleep(&ts, nullptr);
    ASSERT_EQ(rdwr(fd, 0x40, true, Bytes(33)).rc, 1);
    ASSERT_EQ(rdwr(fd, 0x50, true, Bytes(1)).rc, -1);
    ASSERT_EQ(ioctl(fd, I2C_SLAVE, 0x80), -1);
    ::close(fd);

    // The documented default status with byte 0 set to 31 and the elapsed
    // seconds started at 0: one second has passed.
    Bytes gss{0x31, 0xce, 0x00, 0x20, 0x00, 0x00, 0x10, 0xe0, 0x00, 0x00, 0x00,
              0x01, 0x00, 0x00, 0x10, 0x00, 0x0b, 0xb8, 0x30, 0x00, 0x00, 0x1b,
              0x00, 0xa8, 0x01, 0x2c, 0x02, 0x58, 0x03, 0x84, 0x05, 0x12};
    gss.push_back(end_around_sum(gss.data(), 32));
    std::string gss_text;
    char hex[4];
    for (auto b : gss) {
        std::snprintf(hex, sizeof hex, " %02x", b);
        gss_text += hex;
    }
    const std::string fd_text = std::to_string(fd);
    EXPECT_EQ(bbusim::transcript(), (std::vector<std::string>{
                                        "0.000000 open /dev/i2c-0b -> " + fd_text,
                                        "0.000000 write 0x40 3 : c4 02 c6 -> 3",
                                        "0.000000 sleep 50000",
                                        "0.050000 read 0x40 2 -> 2 : b1 4e",
                                        "0.050000 sleep 1000001",
                                        "1.050001 read 0x40 33 -> 33 :" + gss_text,
                                        "1.050001 read 0x50 1 -> ENXIO",
                                        "1.050001 ioctl I2C_SLAVE -> EINVAL",
                                        "1.050001 close " + fd_text,
                                    }));
}

}  // namespace
