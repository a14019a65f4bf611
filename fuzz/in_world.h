// in_world.h - what a fuzz target that runs a simulated world needs in
// libFuzzer's process. The in-process simulator serves the whole process:
// every sleep of it is virtual and its wall clock is the world's, libFuzzer's
// own threads and watchdog included. One target file includes it.
#ifndef BBU_FUZZ_IN_WORLD_H
#define BBU_FUZZ_IN_WORLD_H

#include <pthread.h>
#include <sys/time.h>

#include <csignal>
#include <cstring>

#include "bbusim.h"
#include "harness.h"
#include "libc_calls.h"
#include "world.h"

// libFuzzer's memory watch sleeps a second at a time in a thread of its own:
// with every sleep virtual it would spin, and read the world while a new one
// replaces it. The thread is left out (-rss_limit_mb=0, before the flags
// given, which may still set it); the sanitizer still sees leaks.
// Defined here, not inline: libFuzzer looks the symbol up; one target file
// includes this header.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)  // NOLINT(misc-definitions-in-headers)
{
    static std::vector<char *> args(*argv, *argv + *argc);
    static char no_memory_watch[] = "-rss_limit_mb=0";
    args.insert(args.begin() + 1, no_memory_watch);
    args.push_back(nullptr);
    *argv = args.data();
    ++*argc;
    return 0;
}

// libFuzzer's watchdog (SIGALRM) reads the wall clock too, and would take a
// clock the world was given (a scenario's, a recording's) for a unit running
// for years; and it could not see a loop in world code, whose clock stands
// still between pauses. It is held off while an input runs in the world, and
// looks once the real time is back. The input's own processor time, which
// no virtual clock touches, bounds it instead: a loop that does not end
// spins (every pause returns at once), and past kMostCpuSeconds the input is
// taken for a hang.
class RealClockAfter {
public:
    RealClockAfter()
    {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &old_);
        std::signal(SIGPROF, on_hang);
        const itimerval limit{{0, 0}, {kMostCpuSeconds, 0}};
        setitimer(ITIMER_PROF, &limit, nullptr);
    }
    ~RealClockAfter()
    {
        const itimerval off{};
        setitimer(ITIMER_PROF, &off, nullptr);
        timeval now{};
        bbusim::libc().gettimeofday(&now, nullptr);
        if (bbusim::world() != nullptr)
            bbusim::set_wall_clock(now.tv_sec, now.tv_usec);
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    RealClockAfter(const RealClockAfter &) = delete;
    RealClockAfter &operator=(const RealClockAfter &) = delete;

private:
    // A whole flash load takes well under a second of processor time.
    static constexpr time_t kMostCpuSeconds = 20;
    static void on_hang(int)
    {
        static const char kSaid[] =
            "an input ran 20 s of processor time: a loop that does not end\n";
        [[maybe_unused]] const ssize_t said = write(2, kSaid, sizeof kSaid - 1);
        abort();
    }

    sigset_t old_{};
};

// A fresh world in `root` for each input: the first made by bbusim::reset,
// the next ones copied from it (the default devices' image, made and checked
// by every reset, costs far more than an input's own work).
inline void fresh_world(const char *root)
{
    static std::vector<char> fresh;
    if (fresh.empty()) {
        bbusim::reset(root);
        const auto *w = reinterpret_cast<const char *>(bbusim::world());
        fresh.assign(w, w + sizeof(bbusim::World));
    } else {
        std::memcpy(static_cast<void *>(bbusim::world()), fresh.data(), fresh.size());
    }
}

#endif  // BBU_FUZZ_IN_WORLD_H
