// progress.cpp - the in-place progress line on a terminal, and the holder of
// the adapter's lock.
#include "progress.h"

#include "invocation.h"
#include "signals.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace bbuctl {

namespace {

// The fixed waits of a flash load that the plan's expected time counts, as
// bbu_checked_plan_flash() documents them: the soft reset's and its settling,
// the two after Start_Flash_Load, the one after End_Flash_Load and the
// validation's. The rest of the plan's estimate is the blocks' bus time.
constexpr int LOAD_WAIT_SECONDS = 30;

// The phases of a load proper, from its soft reset on, whose waits the
// plan's expected time counts.
bool inLoad(int phase)
{
    switch (phase) {
    case BBU_PHASE_SOFT_RESET:
    case BBU_PHASE_START_LOAD:
    case BBU_PHASE_BLOCKS:
    case BBU_PHASE_END_LOAD:
    case BBU_PHASE_VERIFY:
    case BBU_PHASE_VALIDATE:
        return true;
    default:
        return false;
    }
}

}  // namespace

void Progress::LoadTimeLeft::plan(int blocks, int expectedSeconds)
{
    blocks_ = blocksLeft_ = blocks;
    blocksMs_ = std::max(0L, 1000L * (expectedSeconds - LOAD_WAIT_SECONDS));
}

int Progress::LoadTimeLeft::onReport(const bbu_checked_progress &p)
{
    // The waits before the load's own soft reset (reading the image header
    // again, a command still running) are not the plan's: counted from it.
    if (!inLoad(p.phase) || (p.phase == BBU_PHASE_SOFT_RESET && phase_ != p.phase))
        waitedSeconds_ = 0;
    else if (p.phase == phase_ && p.seconds_left >= 0 && p.seconds_left < secondsLeft_)
        waitedSeconds_ += secondsLeft_ - p.seconds_left;
    phase_ = p.phase;
    secondsLeft_ = p.seconds_left;
    if (p.phase == BBU_PHASE_BLOCKS && p.blocks > 0)
        blocksLeft_ = p.blocks - p.block + 1;
    else if (p.phase == BBU_PHASE_END_LOAD)
        blocksLeft_ = 0;
    const long leftMs =
        1000L * std::max(0, LOAD_WAIT_SECONDS - waitedSeconds_) + blocksMs_ * blocksLeft_ / blocks_;
    return static_cast<int>((leftMs + 999) / 1000);
}

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
    // The load's time left, also for a signal's line when nothing is shown.
    const int loadLeft = load_.planned() ? load_.onReport(p) : -1;
    signals::progressed(p, loadLeft);
    if (!shown_)
        return;
    std::string text = bbu_checked_phase_text(p.phase);
    std::string at = text;
    const bool blocks = p.phase == BBU_PHASE_BLOCKS && p.blocks > 0;
    if (blocks) {
        const std::string block =
            "block " + std::to_string(p.block) + " of " + std::to_string(p.blocks);
        text += ": " + block;
        at += " (" + block + ")";
    }
    // A planned load shows its own time left until it fails; other lines
    // count down the wait under way.
    if (load_.planned() && failedAt_.empty() && p.phase != BBU_PHASE_RECOVER)
        text += std::string(blocks ? ", " : ": ") + "about " + std::to_string(loadLeft) + " s left";
    else if (p.seconds_left >= 0)
        text += ": " + std::to_string(p.seconds_left) + " s left";
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

void Progress::planLoad(int blocks, int expectedSeconds)
{
    load_.plan(blocks, expectedSeconds);
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
