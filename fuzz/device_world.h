// One input's simulated world, for the device targets. The in-process
// simulator runs the sleeps and the wall clock of the whole process on
// virtual time, libFuzzer's too: its memory-watching thread would sleep on a
// world that an input is resetting, and its time limit would count the
// virtual seconds of a flash load as real ones. So these targets run without
// that thread (-rss_limit_mb=0), hold the time limit's alarm off while an
// input runs, and set the wall clock to the machine's after it (so that
// -max_total_time counts real seconds). The time limit of an input is its
// own processor time instead, which no virtual clock touches: a loop that
// does not end spins (every pause returns at once), and past kMostCpuSeconds
// the input is taken for a hang.
#ifndef BBU_FUZZ_DEVICE_WORLD_H
#define BBU_FUZZ_DEVICE_WORLD_H

#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bbusim.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static std::vector<char *> args(*argv, *argv + *argc);
    static char no_rss_thread[] = "-rss_limit_mb=0";
    args.push_back(no_rss_thread);
    args.push_back(nullptr);
    *argv = args.data();
    ++*argc;
    return 0;
}

class DeviceWorld {
public:
    explicit DeviceWorld(const char *root)
    {
        sigemptyset(&alarm_);
        sigaddset(&alarm_, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm_, nullptr);
        if (started_.tv_sec == 0) {  // before the first world: the machine's clocks
            gettimeofday(&started_, nullptr);
            clock_gettime(CLOCK_MONOTONIC, &monotonic_);
        }
        bbusim::reset(root);
        static const bool handled = [] {
            struct sigaction hang {};
            hang.sa_handler = on_hang;
            return sigaction(SIGPROF, &hang, nullptr) == 0;
        }();
        (void)handled;
        const itimerval limit{{0, 0}, {kMostCpuSeconds, 0}};
        setitimer(ITIMER_PROF, &limit, nullptr);
    }
    ~DeviceWorld()
    {
        const itimerval off{};
        setitimer(ITIMER_PROF, &off, nullptr);
        bbusim::answer_messages(nullptr, nullptr);
        timespec now{};  // the monotonic clock is the machine's, never virtual
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t us = (now.tv_sec - monotonic_.tv_sec) * 1000000 +
                                (now.tv_nsec - monotonic_.tv_nsec) / 1000 + started_.tv_usec;
        bbusim::set_wall_clock(started_.tv_sec + us / 1000000, us % 1000000);
        pthread_sigmask(SIG_UNBLOCK, &alarm_, nullptr);
    }
    DeviceWorld(const DeviceWorld &) = delete;
    DeviceWorld &operator=(const DeviceWorld &) = delete;

private:
    // A whole flash load takes well under a second of processor time.
    static constexpr time_t kMostCpuSeconds = 20;
    static void on_hang(int)
    {
        static const char kSaid[] =
            "an input ran 20 s of processor time: a loop that does not end\n";
        (void)!write(2, kSaid, sizeof kSaid - 1);
        abort();
    }

    sigset_t alarm_{};
    static inline timeval started_{};
    static inline timespec monotonic_{};
};

#endif  // BBU_FUZZ_DEVICE_WORLD_H
