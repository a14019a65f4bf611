// progress.cpp - the in-place progress line on a terminal, and the holder of
// the adapter's lock.
#include "progress.h"

#include "invocation.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace bbuctl {

namespace {

// After the last block, the flash load's fixed waits: the 10 seconds after
// End_Flash_Load and the 10 of the validation that confirms the new image.
constexpr double SECONDS_AFTER_BLOCKS = 20;

double monotonicSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

Progress::Progress(const char *what)
    : what_(what), shown_(settings.verbose == 0 && isatty(STDERR_FILENO) != 0)
{}

Progress::~Progress()
{
    clear();
}

void Progress::report(const bbu_checked_progress *progress, void *context)
{
    if (progress != nullptr && context != nullptr)
        static_cast<Progress *>(context)->onReport(*progress);
}

void Progress::onReport(const bbu_checked_progress &p)
{
    if (!shown_)
        return;
    std::string text = bbu_checked_phase_text(p.phase);
    std::string at = text;
    if (p.phase == BBU_PHASE_BLOCKS && p.blocks > 0) {
        const std::string block =
            "block " + std::to_string(p.block) + " of " + std::to_string(p.blocks);
        text += ": " + block;
        at += " (" + block + ")";
        // The time left from the pace of the blocks so far.
        const double now = monotonicSeconds();
        if (p.block <= 1) {
            blocksStart_ = now;
        } else {
            const double perBlock = (now - blocksStart_) / (p.block - 1);
            const double left = perBlock * (p.blocks - p.block + 1) + SECONDS_AFTER_BLOCKS;
            text += ", about " + std::to_string(static_cast<long>(std::ceil(left))) + " s left";
        }
    } else if (p.seconds_left >= 0) {
        text += ": " + std::to_string(p.seconds_left) + " s left";
    }
    // A load that failed then finds out what the BBU holds: each line of that
    // keeps the phase (and block) the load failed in.
    if (failedAt_.empty()) {
        if (p.phase == BBU_PHASE_RECOVER)
            failedAt_ = "failed while " + at_ + "; ";
        else
            at_ = at;
    }
    show(failedAt_ + text);
}

void Progress::waitingForLock(const std::string &holder, int secondsLeft)
{
    if (shown_)
        show("waiting for the adapter's lock, held by " + holder + ": " +
             std::to_string(secondsLeft) + " s left");
}

void Progress::show(const std::string &text)
{
    // Back to the line's start, the text, the rest of the line erased.
    std::fprintf(stderr, "\rbbuctl: %s: %s\033[K", what_, text.c_str());
    std::fflush(stderr);
    onScreen_ = true;
}

void Progress::clear()
{
    if (!onScreen_)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    onScreen_ = false;
}

namespace {

// One line of /proc/locks, "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF":
// the pid of a granted flock on the file `st` names, else 0. A waiter's line
// has "->" after its number and never matches.
long flockHolder(const char *line, const struct stat &st)
{
    std::istringstream words(line);
    std::string number, kind, mode, access, pid, device;
    words >> number >> kind >> mode >> access >> pid >> device;
    // The device as major:minor in hex and the inode in decimal.
    char *end = nullptr;
    const unsigned long devMajor = std::strtoul(device.c_str(), &end, 16);
    const unsigned long devMinor = *end == ':' ? std::strtoul(end + 1, &end, 16) : 0;
    const std::uintmax_t inode = *end == ':' ? std::strtoumax(end + 1, &end, 10) : 0;
    if (kind != "FLOCK" || *end != '\0' || devMajor != major(st.st_dev) ||
        devMinor != minor(st.st_dev) || inode != st.st_ino)
        return 0;
    const long holder = std::strtol(pid.c_str(), &end, 10);
    return *end == '\0' && holder > 0 ? holder : 0;
}

}  // namespace

std::string lockHolder(int fd)
{
    struct stat st {};
    FILE *locks = fstat(fd, &st) == 0 ? std::fopen("/proc/locks", "re") : nullptr;
    if (locks == nullptr)
        return "another program";
    long pid = 0;
    char line[256];
    while (pid == 0 && std::fgets(line, sizeof line, locks) != nullptr)
        pid = flockHolder(line, st);
    std::fclose(locks);
    if (pid == 0)
        return "another program";

    std::string holder = "pid " + std::to_string(pid);
    char comm[64] = {};
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    if (FILE *f = std::fopen(path.c_str(), "re")) {
        if (std::fgets(comm, sizeof comm, f) != nullptr) {
            comm[std::strcspn(comm, "\n")] = '\0';
            holder += " (" +
                      printable(reinterpret_cast<const unsigned char *>(comm), std::strlen(comm)) +
                      ")";
        }
        std::fclose(f);
    }
    return holder;
}

}  // namespace bbuctl
