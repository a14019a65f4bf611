// Virtual time: the sleep family advances it at once and the wall clock
// follows it, to the end of its range, as bus sessions; under real time, it
// follows the time actually slept.
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <chrono>
#include <climits>
#include <ctime>

#include "sim_bus.h"

namespace {

using namespace ::testing;

// The wall clock as gettimeofday, clock_gettime(CLOCK_REALTIME) and time
// report it, each in its own units; and the virtual time.
void clocks(golden::Call &call)
{
    timeval tv{};
    timespec ts{};
    const int rc = gettimeofday(&tv, nullptr) | clock_gettime(CLOCK_REALTIME, &ts);
    note(call, "clocks",
         std::to_string(rc) + ": " + std::to_string(tv.tv_sec) + " s " +
             std::to_string(tv.tv_usec) + " us, " + std::to_string(ts.tv_sec) + " s " +
             std::to_string(ts.tv_nsec) + " ns, time " + std::to_string(time(nullptr)) +
             "; virtual time " + std::to_string(bbusim::now_us()) + " us");
}

void said(golden::Call &call, const char *what, long rc)
{
    note(call, what, outcome(rc));
}

// For clock_nanosleep, which returns its error number.
void said_error(golden::Call &call, const char *what, int error)
{
    note(call, what, error == 0 ? "0" : strerrorname_np(error));
}

const timespec kTwoSecondsOneNs{2, 1}, kAlmostOneS{0, 999999999}, kBad{1, 1000000000},
    kUntil{1239807154, 500000000}, kForever{INT64_MAX, 999999999};

void wall_clock_at(golden::Call &call, std::int64_t micros)
{
    bbusim::set_wall_clock(0, micros);
    clocks(call);
}

// A sleep beyond the range stops the clock at its end: never wrapped round,
// never back.
void sleep_forever(golden::Call &call, std::int64_t start_s)
{
    bbusim::set_wall_clock(start_s, 0);
    said(call, "nanosleep", nanosleep(&kForever, nullptr));
    said(call, "sleep", sleep(UINT_MAX));
    clocks(call);
}

const golden::Row kRows[] = {
    {"sleeps", "",
     GOLDEN_CALL(said(call, "sleep", sleep(1000)), said(call, "usleep", usleep(50000)),
                 said(call, "usleep", usleep(0)),
                 said(call, "nanosleep", nanosleep(&kTwoSecondsOneNs, nullptr)),
                 said_error(call, "clock_nanosleep",
                            clock_nanosleep(CLOCK_MONOTONIC, 0, &kAlmostOneS, nullptr)),
                 clocks(call))},
    {"invalid_sleeps", "",
     GOLDEN_CALL(
         said(call, "nanosleep", nanosleep(&kBad, nullptr)),
         said_error(call, "clock_nanosleep", clock_nanosleep(CLOCK_REALTIME, 0, &kBad, nullptr)),
         clocks(call))},
    // An absolute sleep on CLOCK_REALTIME waits until that time of the wall clock.
    {"wall_clock", "",
     GOLDEN_CALL(bbusim::set_wall_clock(1239807149, 512), usleep(1999600), clocks(call),
                 said_error(call, "clock_nanosleep",
                            clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &kUntil, nullptr)),
                 clocks(call))},
    // Whole seconds and a fraction in [0, 1 s), before 1970 as after it.
    {"before_1970", "",
     GOLDEN_CALL(wall_clock_at(call, -500000), wall_clock_at(call, -1),
                 wall_clock_at(call, -1000000), wall_clock_at(call, -31536000000001))},
    {"sleep_forever", "", GOLDEN_CALL(sleep_forever(call, 1239807149))},
    {"sleep_forever_before_1970", "", GOLDEN_CALL(sleep_forever(call, -1000000000))},
};

GOLDEN_TABLE(sim_time, kRows)

using BbusimTimeTest = SimWorldTest;

// What a session cannot show: the real time taken, the default start of the
// wall clock, and the monotonic clocks, which are the machine's own.
TEST_F(BbusimTimeTest, SleepsTakeNoRealTimeAndMoveNoMachineClock)
{
    const auto real = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    EXPECT_LE(std::llabs(static_cast<long long>(time(nullptr) - real)), 5) << "the default start";
    timespec mono{}, after{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    EXPECT_EQ(sleep(1000), 0u);
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_LT(after.tv_sec - mono.tv_sec, 2);
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
    EXPECT_EQ(outcome(nanosleep(&req, &rem)), "EINTR");
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
