// signals.cpp - the signals that would end bbuctl, taken as a request to stop.
//
// The handler sets flags and writes, with write(2) alone, texts the main flow
// prepared as its state changed: two sets, one being made while the handler
// may read the other. Each text holds a mark where the signal's name goes.
#include "signals.h"

#include "invocation.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace bbuctl::signals {

namespace {

struct Taken {
    int number;
    const char *name;
};
constexpr Taken kTaken[] = {{SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"},
                            {SIGQUIT, "SIGQUIT"}, {SIGPIPE, "SIGPIPE"}, {SIGUSR1, "SIGUSR1"},
                            {SIGUSR2, "SIGUSR2"}};

constexpr char MARK = '\x01';                 // where the name goes in a line
constexpr const char *JSON_MARK = "\\u0001";  // the same mark in a document

// What the handler writes. [1]: once the change is past its point of no return.
struct Texts {
    std::string stopping;   // a first signal before that point
    std::string finishing;  // a first signal past it
    std::string ended[2];   // the line of an end at once
    std::string document[2];
};

Texts texts[2];
volatile sig_atomic_t current = 0;  // the set the handler reads
volatile sig_atomic_t first = 0;    // the first signal's number
volatile sig_atomic_t changing = 0;
volatile sig_atomic_t output = STDOUT_FILENO;
const char *volatile madeFile = nullptr;

// The main flow's state, that the texts tell.
int phase = 0;
int loadLeft = -1;

const char *nameOf(int number)
{
    for (const Taken &t : kTaken)
        if (t.number == number)
            return t.name;
    return "a signal";
}

void writeAll(int fd, const char *bytes, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
}

// A prepared text with the signal's name at its (last) mark.
void writeNamed(int fd, const std::string &text, const char *name)
{
    const std::size_t mark = text.rfind(MARK);
    if (mark == std::string::npos) {
        writeAll(fd, text.data(), text.size());
        return;
    }
    writeAll(fd, text.data(), mark);
    writeAll(fd, name, std::strlen(name));
    writeAll(fd, text.data() + mark + 1, text.size() - mark - 1);
}

[[noreturn]] void endNow(const Texts &t, int past, int status, const char *name)
{
    writeNamed(STDERR_FILENO, t.ended[past], name);
    writeNamed(output, t.document[past], name);
    if (madeFile != nullptr)
        unlink(madeFile);
    _exit(status);
}

void onSignal(int number)
{
    const int saved = errno;
    const Texts &t = texts[current];
    const int past = bbu_checked_committed() != 0 ? 1 : 0;
    const char *name = nameOf(number);
    if (first != 0)
        endNow(t, past, 128 + number, name);
    first = number;
    bbu_checked_request_stop();
    if (changing == 0)
        endNow(t, 0, EXIT_FAILED, name);
    writeNamed(STDERR_FILENO, past != 0 ? t.finishing : t.stopping, name);
    errno = saved;
}

enum class Family { read, flash, resetSoft, resetHard, vpd, light };

Family familyOf(const std::string &form)
{
    if (changing == 0)
        return Family::read;
    if (form == "flash")
        return Family::flash;
    if (form == "reset soft")
        return Family::resetSoft;
    if (form == "reset hard")
        return Family::resetHard;
    return form == "vpd set-codelevel" ? Family::vpd : Family::light;
}

// What the BBU holds when bbuctl ends now: the line's words, the document's
// holds and image (null where no name fits).
struct Holds {
    std::string text;
    const char *holds = nullptr;
    const char *image = nullptr;
};

Holds holdsBefore(Family family)
{
    if (family == Family::flash && phase != 0 && phase != BBU_PHASE_FIRST_IMAGE &&
        phase != BBU_PHASE_WAIT_IDLE && phase != BBU_PHASE_VALIDATE)
        return {"nothing was loaded; a reset was sent, after which the BBU runs the image it had"};
    return {"nothing was changed", "unchanged"};
}

Holds holdsPast(Family family)
{
    switch (family) {
    case Family::flash:
        if (phase == BBU_PHASE_START_LOAD || phase == BBU_PHASE_BLOCKS)
            return {std::string("the BBU is in a half-finished firmware load: ") + kFlashAgain,
                    "no-valid-image", "load-in-progress"};
        return {"the image was sent whole, its end not seen: 'bbuctl validate' tells whether the "
                "BBU holds a valid image"};
    case Family::resetSoft:
    case Family::resetHard:
        return {"the reset was sent, the restart not seen: 'bbuctl status' shows the BBU"};
    case Family::vpd:
        return {
            "the VPD may be partly written: 'bbuctl vpd check' tells; set the code level again"};
    default:
        return {"the set-light command was sent, the light not read back: 'bbuctl light' shows it"};
    }
}

// The first signal's line past the point of no return: what is finished and
// how long it takes.
std::string finishingText(Family family)
{
    switch (family) {
    case Family::flash:
        return "the load has started and is finished first, a half-finished load being the "
               "state to avoid: " +
               (loadLeft >= 0 ? "about " + std::to_string(loadLeft) + " s left"
                              : std::string("about a minute at most"));
    case Family::resetSoft:
        return "the reset was sent: its restart is waited for first, at most 31 s";
    case Family::resetHard:
        return "the reset is under way: it is finished first, at most 62 s";
    default:
        return "the write under way is finished and read back first, well under a second";
    }
}

void prepare()
{
    Texts &t = texts[1 - current];
    const std::string form = formName();
    const std::string what = form.empty() ? "" : form + ": ";
    const std::string second = "; a second signal ends bbuctl at once\n";
    // On a terminal, the progress line is erased first.
    const std::string start =
        settings.verbose == 0 && isatty(STDERR_FILENO) != 0 ? "\r\033[Kbbuctl: " : "bbuctl: ";
    const Family family = familyOf(form);
    t.stopping = start + what + MARK +
                 ": stopping: nothing more is sent once the step under way ends" + second;
    t.finishing = start + what + MARK + ": " + finishingText(family) + second;
    const Holds holds[2] = {holdsBefore(family), holdsPast(family)};
    for (int past = 0; past < 2; ++past) {
        const std::string reason = what + "ended by " + MARK + ": " + holds[past].text;
        t.ended[past] = start + reason + "\n";
        t.document[past].clear();
        if (!jsonOutput())
            continue;
        std::string doc = endedDocument(reason, holds[past].holds, holds[past].text,
                                        holds[past].image, past != 0);
        if (const std::size_t mark = doc.rfind(JSON_MARK); mark != std::string::npos)
            doc.replace(mark, std::strlen(JSON_MARK), 1, MARK);
        t.document[past] = doc;
    }
    current = 1 - current;
}

}  // namespace

void install()
{
    prepare();
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const Taken &t : kTaken)
        sigaddset(&action.sa_mask, t.number);
    for (const Taken &t : kTaken) {
        // A signal ignored when bbuctl starts (nohup, a background job) stays ignored.
        struct sigaction before {};
        if (sigaction(t.number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(t.number, &action, nullptr);
    }
}

const char *received()
{
    return first != 0 ? nameOf(first) : nullptr;
}

void formNamed()
{
    prepare();
}

void changeUnderWay()
{
    changing = 1;
    prepare();
}

void progressed(const bbu_checked_progress &progress, int loadSecondsLeft)
{
    if (progress.phase == phase && loadSecondsLeft == loadLeft)
        return;
    phase = progress.phase;
    loadLeft = loadSecondsLeft;
    prepare();
}

void outputTo(int fd)
{
    output = fd;
}

void removeOnEnd(const char *path)
{
    madeFile = path;
}

void holdOff()
{
    sigset_t taken;
    sigemptyset(&taken);
    for (const Taken &t : kTaken)
        sigaddset(&taken, t.number);
    sigprocmask(SIG_BLOCK, &taken, nullptr);
}

}  // namespace bbuctl::signals
