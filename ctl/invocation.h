// invocation.h - what every bbuctl command shares: its options, its messages
// and exit statuses, the confirmation of changes to the BBU, and its session
// on the bus.
//
// Exit statuses: 0 success, 1 the operation failed (or a change was declined
// at the terminal), 2 usage error (also a change asked for without -y and
// without a terminal to confirm it on), 3 the change was sent whole but
// nothing the BBU shows can tell whether it took effect. Messages go to standard error as
// "bbuctl: ..."; standard output carries only the command's result.
#ifndef BBUCTL_INVOCATION_H
#define BBUCTL_INVOCATION_H

#include "document.h"
#include "progress.h"

#include <bbu/bbu.h>

#include <getopt.h>

#include <cstdio>

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bbuctl {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_UNVERIFIED = 3;

// One form of a command, as the help lists it: "light set N", and what it does.
struct Form {
    const char *synopsis;  // without "bbuctl "
    const char *summary;
    bool changes = false;  // the form changes the BBU, though its command word alone does not
};

constexpr std::size_t MAX_FORMS = 3;

// One command word of bbuctl ("status", "vpd", ...), with its help.
struct Command {
    const char *name;
    int (*run)(int argc, char **argv);  // argv[0] is the command word
    Form forms[MAX_FORMS];              // the unused ones null
    const char *help;  // what the command does and its own options, for COMMAND --help
    bool changes;      // every form changes the BBU ("changed" even in a usage error's document)
};

// The commands, in the order the help lists them.
extern const Command statusCommand, vpdCommand, lightCommand, resetCommand, flashCommand,
    validateCommand, dumpCommand, imageCommand, decodeCommand;

// The settings every command takes: -a, -v, -y, -w (and --json, document.h).
struct Settings {
    int verbose = 0;       // passed to every library call
    bool yes = false;      // change the BBU without asking
    int waitSeconds = 10;  // for another program's lock on the adapter
};
constexpr unsigned long MAX_WAIT_SECONDS = 86400;  // a day, as bbu-i2cd allows
extern Settings settings;

// The key of a command's option that has a long name only: its short
// letter, if it had one, would be an undocumented spelling.
constexpr int LONG_ONLY = 0x100;
// The key of --json, which bbuctl and every command take.
constexpr int JSON_OPTION = 0x200;

// --json anywhere on the line (before a "--"), seen before any option is
// parsed, so that even a usage error in front of it gives its document.
void scanForJson(int argc, char **argv);

// True when `word` (an option spelled out in full) is among argv[1] .. argv[argc - 1],
// before a "--".
bool givenBeforeParsing(int argc, char **argv, const char *word);

// bbuctl's lines and the library's, on both streams, are written whole, so
// they never cut into each other where both streams reach one file. Standard
// output keeps the reason of its first failed write for outputLost().
void writeWholeLines();

// After the last output: 0 when all of standard output was written, else
// the errno of its first failed write.
int outputLost();

// "bbuctl: <message>" on standard error.
void message(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A usage error: the message, a pointer to the help (the command's, or
// bbuctl's when command is null), and exit status 2 (with --json, its
// document).
[[noreturn]] void usageError(const Command *command, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The same usage error said and named as the document's error, without
// ending the program: returns EXIT_USAGE, the status to end it with.
int usageFailure(const Command *command, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// A failure of `kind` that is not the device's: the message, named as the
// document's error. Returns EXIT_FAILED.
int fail(ErrorKind kind, const char *format, ...) __attribute__((format(printf, 2, 3)));

// bbuctl's own command line (bbuctl.cpp) up to its command word: the options before it,
// and the command it names. -h and -V are answered at once, and a usage
// error is said at once; either way `command` is null and `status` is the
// exit status to end with (0 or EXIT_USAGE). Otherwise the command's own
// command line is argv[first] to argv[argc - 1].
struct CommandLine {
    const Command *command = nullptr;
    int first = 0;
    int status = EXIT_OK;
};
CommandLine parseCommandLine(int argc, char **argv);

// Parses a command's options: the common ones (-a, -v, -y, -w, --json, -h) and
// `extra`, whose keys are handed to onOption with their argument; an extra
// option has a short letter only when its key is that letter (others use
// LONG_ONLY and up). -h prints the command's help and exits 0; an unknown
// option, an abbreviated long name or a missing argument is a usage error.
// Returns the operands that follow the options.
std::vector<std::string>
parseOptions(const Command &command, int argc, char **argv, std::span<const option> extra = {},
             const std::function<void(int key, const char *arg)> &onOption = {});

// parseOptions up to where it would end the program: the exit status to end
// with (0 after the command's help, EXIT_USAGE after a usage error, either
// said already), or none with the operands in `operands`. An onOption that
// refuses a value still ends the program itself.
std::optional<int> parseOptionsStep(const Command &command, int argc, char **argv,
                                    std::span<const option> extra,
                                    const std::function<void(int key, const char *arg)> &onOption,
                                    std::vector<std::string> &operands);

// Prints the command's usage and help to `out`.
void printCommandHelp(const Command &command, FILE *out);

// Prints the help lines of -a, -v, -y, -w and --json, which bbuctl and every command take.
void printCommonOptions(FILE *out);

// Shows a help text: on standard output, or with --json as the document's
// "help" member.
void putHelp(const std::function<void(FILE *)> &print);

// putHelp, then exits 0.
[[noreturn]] void showHelp(const std::function<void(FILE *)> &print);

// Applies one of the options every command takes (-a, -v, -y, -w) with its
// value; a bad value is a usage error of the command (of bbuctl when null),
// said: returns EXIT_USAGE then, else EXIT_OK.
int applyCommonOption(const Command *command, int key, char *arg);

// Refuses an option getopt_long did not take (`key` ':' for a missing
// value, else an unknown option) as a usage error. Returns EXIT_USAGE.
int refuseOption(const Command *command, int key, char **argv);

// Refuses a long option given by an abbreviation of its name ("--pro" for
// "--prometheus"): `word` is the argument getopt_long took it from. Returns
// EXIT_USAGE after the usage error when it refuses, else EXIT_OK.
int refuseAbbreviation(const Command *command, const char *word, const option &o);

// The argument that getopt_long took its last option from.
const char *lastOptionWord(char **argv);

// A non-negative decimal or 0x-hex number no greater than max, the whole
// word: digits of its base only ("0x0x3", "+1", " 1" and "1e3" are not).
bool parseNumber(const char *text, unsigned long max, unsigned long &value);

// Asks before a command changes the BBU: with -y it goes ahead; on a
// terminal it asks on standard error and reads the answer from standard
// input (exit 1 unless it is y or yes); without a terminal, and always with
// --json, it refuses with exit 2.
void confirm(const Command &command, const std::string &change);

// The command's session on the bus: the adapter opened through the checked
// layer and locked (one program at a time on the BBU: a lock held by another
// program is waited for -w seconds of real time, on a terminal with its
// holder and the seconds left shown), and with -v the library's console
// output (status displays, transfer messages) sent to standard error while
// the session lasts, so standard output holds the command's own result. Exits 1 when the adapter
// cannot be opened, is not an I2C adapter or cannot be locked, saying why; with -v, says once
// when the library's trace log cannot be written. Nothing is printed to standard output while a
// session is open; the progress line is erased and the lock released when it ends.
class BusSession {
public:
    // `what` names the command in messages and progress ("light set").
    explicit BusSession(const char *what);
    ~BusSession();
    BusSession(const BusSession &) = delete;
    BusSession &operator=(const BusSession &) = delete;

    int fd() const
    {
        return fd_;
    }
    // For the checked operations' callback: bbu_checked_...(..., Progress::report,
    // &bus.progress(), ...).
    Progress &progress()
    {
        return progress_;
    }

private:
    [[noreturn]] void refuseAdapter(const char *what, int err);
    void sayWhenNoTrace();
    void lock(const char *what);
    void restoreStdout();

    Progress progress_;
    int fd_ = -1;
    int savedStdout_ = -1;
};

// Reports a failed checked operation on standard error as one line:
// "bbuctl: <what>: <step> failed[ (<where>)]: <why>[ (<cause>)][; <holds>][; <advice>]".
// The cause is the errno's text, the bytes a short transfer carried or the
// error bits the BBU showed, unless `cause` gives the command's own words for
// it. What the device holds is said after a change, and after a read when
// the device did not answer. A command the BBU refused (invalid_command)
// because it sits in a half-finished load gets that
// as its advice, with the way back, in place of `advice`; refused so outside a
// load, the advice is the validation that can tell why. Returns EXIT_FAILED.
int reportFailure(const char *what, const bbu_checked_result &result, bool change,
                  const std::string &where = {}, const std::string &cause = {},
                  const char *advice = nullptr);

// What a general status says of the BBU's firmware load: a load left
// half-finished, the BBU still in flash-program mode (its boot code runs,
// which takes the commands of a flash load and little else), or none. Whether
// the image it holds is valid only its validation tells: valid_image is
// shown, never taken for it.
enum class ImageState { notInLoad, loadInProgress };

// The one place that decides it, from the 33 bytes of a status read:
// operation_mode (byte 4) set is a half-finished load.
ImageState imageState(const unsigned char *status);

// "the BBU is in a half-finished firmware load"; null when it is not.
const char *imageStateText(ImageState state);

// The state as the JSON documents name it: "not-in-load", "load-in-progress".
const char *imageStateName(ImageState state);

// What a checked operation's success rests on, in words ("header read back,
// validation"), also made the document's "verified" list.
std::string verified(const bbu_checked_result &result);

// An operation that sent everything but whose effect nothing can tell: its
// line ("reset sent, restart not verifiable: <why>") on standard output, the
// document's "verified" false; returns EXIT_UNVERIFIED.
int unverified(const char *why);

// The way back from either state: the image loaded again.
extern const char *const kFlashAgain;

// "bbuctl: <what>: <state>: <way back>" on standard error when the last
// status the operation read shows the BBU without a valid image; nothing when
// it read none, or when its failure line says so already (a command the BBU
// refused for it).
void sayImageState(const char *what, const bbu_checked_result &result);

// Names of the error bits set in status bytes 4, 5 and 6 ("checksum_error
// flash_program"), as bbuctl status names them.
std::string errorBitNames(unsigned byte4, unsigned byte5, unsigned byte6);

// Text of a field from the BBU for a terminal: up to the first NUL, bytes
// outside printable ASCII (and the backslash) as \xNN.
std::string printable(const unsigned char *bytes, std::size_t len);

}  // namespace bbuctl

#endif  // BBUCTL_INVOCATION_H
