// progress.h - what bbuctl shows on a terminal while it works: the phase of
// a long operation, the block of a flash load with the time left, the
// countdown of a fixed wait, and while it waits for the adapter's lock, the
// process that holds it. After a flash load fails, while what the BBU holds is
// found out, each line names the phase (and block) the load failed in.
//
// Shown in place, on one line of standard error that each report rewrites
// and that is erased before anything else is printed; only when standard
// error is a terminal, and not with -v, whose library console output shows
// the work instead. Without a terminal nothing of it is written.
#ifndef BBUCTL_PROGRESS_H
#define BBUCTL_PROGRESS_H

#include <bbu/bbu.h>

#include <string>

namespace bbuctl {

class Progress {
public:
    // For the command (or command form) named `what`, e.g. "flash".
    explicit Progress(const char *what);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    bool shown() const
    {
        return shown_;
    }

    // The progress callback of the checked operations; `context` is a Progress.
    static void report(const bbu_checked_progress *progress, void *context);

    // A flash load of `blocks` blocks whose plan expects `expectedSeconds`:
    // from here on each of its lines shows the load's time left.
    void planLoad(int blocks, int expectedSeconds);

    // While waiting for the adapter's lock: who holds it, how long is left.
    void waitingForLock(const std::string &holder, int secondsLeft);

    // Erases the line, so that a message or a result starts on a clean one.
    void clear();

private:
    // The time a flash load has left, from the work still ahead rather than
    // from a clock (which stands still between the simulator's waits): the
    // blocks still to send at the plan's bus time a block, and the load's
    // fixed waits still to come.
    class LoadTimeLeft {
    public:
        void plan(int blocks, int expectedSeconds);
        bool planned() const
        {
            return blocks_ > 0;
        }
        // The seconds left as of this report, which the waits and blocks
        // passed so far bring down.
        int onReport(const bbu_checked_progress &progress);

    private:
        int blocks_ = 0;
        int blocksLeft_ = 0;
        long blocksMs_ = 0;      // the plan's bus time of all the blocks
        int waitedSeconds_ = 0;  // of the fixed waits, since the load's soft reset began
        int phase_ = 0;
        int secondsLeft_ = -1;  // of the wait under way
    };

    void show(const std::string &text);
    void onReport(const bbu_checked_progress &progress);

    const char *what_;
    bool shown_;
    bool onScreen_ = false;
    LoadTimeLeft load_;
    std::string at_;        // the phase under way, with its block
    std::string failedAt_;  // once a load failed: the phase it failed in
};

// The process that holds the lock on the open adapter `fd`, as "pid 123
// (flock)", from /proc/locks and /proc/PID/comm; "another program" when it
// cannot be told.
std::string lockHolder(int fd);

}  // namespace bbuctl

#endif  // BBUCTL_PROGRESS_H
