// invocation.cpp - what every bbuctl command shares: options, messages and
// exit statuses, confirmation, the session on the bus.
#include "invocation.h"

#include "signals.h"

#include <bbu/i2c.h>

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace bbuctl {

Settings settings;

namespace {

// Arguments, file names and the like come from the user or the machine:
// whatever they hold, a message shows it as printable text. Returns that text.
std::string vmessage(const char *format, va_list args)
{
    char text[1024] = {};
    std::vsnprintf(text, sizeof text, format, args);
    std::string shown = printable(reinterpret_cast<const unsigned char *>(text), std::strlen(text));
    std::fprintf(stderr, "bbuctl: %s\n", shown.c_str());
    return shown;
}

}  // namespace

void message(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vmessage(format, args);
    va_end(args);
}

int fail(ErrorKind kind, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string reason = vmessage(format, args);
    va_end(args);
    setError(kind, reason);
    return EXIT_FAILED;
}

namespace {

int vusage(const Command *command, const char *format, va_list args)
{
    const std::string reason = vmessage(format, args);
    if (command != nullptr)
        std::fprintf(stderr, "Try 'bbuctl %s --help'.\n", command->name);
    else
        std::fputs("Try 'bbuctl --help'.\n", stderr);
    setError(ErrorKind::usage, reason);
    return EXIT_USAGE;
}

}  // namespace

void usageError(const Command *command, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int status = vusage(command, format, args);
    va_end(args);
    finish(status);
}

int usageFailure(const Command *command, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int status = vusage(command, format, args);
    va_end(args);
    return status;
}

bool givenBeforeParsing(int argc, char **argv, const char *word)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], word) == 0)
            return true;
    return false;
}

void scanForJson(int argc, char **argv)
{
    if (givenBeforeParsing(argc, argv, "--json"))
        setJsonOutput();
}

void putHelp(const std::function<void(FILE *)> &print)
{
    if (!jsonOutput()) {
        print(stdout);
        return;
    }
    char *text = nullptr;
    std::size_t length = 0;
    FILE *out = open_memstream(&text, &length);
    if (out != nullptr) {
        print(out);
        std::fclose(out);
        document()["help"] = std::string(text, length);
    }
    std::free(text);
}

void showHelp(const std::function<void(FILE *)> &print)
{
    putHelp(print);
    finish(EXIT_OK);
}

void printCommandHelp(const Command &command, FILE *out)
{
    const char *lead = "Usage:";
    for (const Form &form : command.forms) {
        if (form.synopsis == nullptr)
            break;
        std::fprintf(out, "%s bbuctl [OPTION]... %s\n", lead, form.synopsis);
        lead = "      ";
    }
    std::fprintf(out,
                 "%s\n"
                 "Options of every command:\n",
                 command.help);
    printCommonOptions(out);
    std::fprintf(out, "  -h, --help               show this help and exit\n");
}

// The library's adapter as the program starts, before any -a changes it.
const char *const kDefaultAdapter = I2C_Adapter;

void printCommonOptions(FILE *out)
{
    std::fprintf(out,
                 "  -a, --adapter PATH       the I2C adapter (default %s)\n"
                 "  -v, --verbose            show the library's console output on standard error\n"
                 "  -y, --yes                change the BBU without asking\n"
                 "  -w, --lock-wait SECONDS  wait up to SECONDS (0 to %lu, default 10) for\n"
                 "                           another program's lock on the adapter\n"
                 "      --json               write one JSON document on standard output, also\n"
                 "                           on a failure, and never ask (docs/json.md)\n",
                 kDefaultAdapter, MAX_WAIT_SECONDS);
}

namespace {

// The errno of the first write to standard output that failed, 0 while none
// did. The stream's error flag alone outlives the errno behind it.
int firstOutputError = 0;

ssize_t writeOutput(void *, const char *bytes, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = write(STDOUT_FILENO, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (firstOutputError == 0)
                firstOutputError = n < 0 ? errno : EIO;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(length);
}

}  // namespace

void writeWholeLines()
{
    // Standard output through a stream of bbuctl's own on the same
    // descriptor, for the library's console output too, so that a lost
    // write's reason is known when the command ends.
    if (FILE *out = fopencookie(nullptr, "w", {nullptr, writeOutput, nullptr, nullptr}))
        stdout = out;
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
}

int outputLost()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
        return firstOutputError != 0 ? firstOutputError : EIO;
    return 0;
}

int applyCommonOption(const Command *command, int key, char *arg)
{
    unsigned long seconds = 0;
    switch (key) {
    case 'a':
        if (*arg == '\0')
            return usageFailure(command, "an empty adapter path");
        I2C_Adapter = arg;
        break;
    case 'v':
        settings.verbose = 1;
        break;
    case 'y':
        settings.yes = true;
        break;
    case 'w':
        if (!parseNumber(arg, MAX_WAIT_SECONDS, seconds))
            return usageFailure(command, "the lock wait must be 0 to %lu seconds, not '%s'",
                                MAX_WAIT_SECONDS, arg);
        settings.waitSeconds = static_cast<int>(seconds);
        break;
    case JSON_OPTION:
        setJsonOutput();
        break;
    }
    return EXIT_OK;
}

int refuseAbbreviation(const Command *command, const char *word, const option &o)
{
    const std::string given(word, std::strcspn(word, "="));
    if (given != std::string("--") + o.name)
        return usageFailure(command, "unknown option '%s' (did you mean '--%s'?)", given.c_str(),
                            o.name);
    return EXIT_OK;
}

const char *lastOptionWord(char **argv)
{
    // A value given as the next argument moved optind past it too.
    return optarg != nullptr && optarg == argv[optind - 1] ? argv[optind - 2] : argv[optind - 1];
}

namespace {

// True when `word` names a form of the command after its word: "check" for
// "vpd check", "soft" and "hard" for "reset soft|hard" (not "FILE" or "N").
bool namesForm(const Form &form, const std::string &word)
{
    const std::string synopsis = form.synopsis;
    const std::size_t start = synopsis.find(' ');
    if (start == std::string::npos)
        return false;
    const std::string second =
        synopsis.substr(start + 1, synopsis.find(' ', start + 1) - start - 1);
    if (second.find_first_not_of("abcdefghijklmnopqrstuvwxyz-|") != std::string::npos ||
        word.find('|') != std::string::npos)
        return false;
    return ("|" + second + "|").find("|" + word + "|") != std::string::npos;
}

// The form a help is asked for ("vpd check --help"), named as the document's
// command: the first operand, when it is a form's second word.
void nameHelpForm(const Command &command, int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-')
            continue;
        for (const Form &form : command.forms) {
            if (form.synopsis != nullptr && namesForm(form, argv[i])) {
                const std::string name = std::string(command.name) + " " + argv[i];
                setForm(name.c_str(), command.changes || form.changes);
                return;
            }
        }
        return;
    }
}

// The common options and `extra`, for getopt_long: the long ones (ended by
// a null one) and the short letters.
std::vector<option> commandOptions(std::span<const option> extra, std::string &shortOptions)
{
    std::vector<option> options = {{"adapter", required_argument, nullptr, 'a'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"yes", no_argument, nullptr, 'y'},
                                   {"lock-wait", required_argument, nullptr, 'w'},
                                   {"json", no_argument, nullptr, JSON_OPTION},
                                   {"help", no_argument, nullptr, 'h'}};
    // A leading ':' makes getopt report a missing value apart from an unknown option.
    shortOptions = ":a:vyw:h";
    for (const option &o : extra) {
        options.push_back(o);
        if (o.val > 0 && o.val < LONG_ONLY) {
            shortOptions += static_cast<char>(o.val);
            if (o.has_arg == required_argument)
                shortOptions += ':';
        }
    }
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

}  // namespace

int refuseOption(const Command *command, int key, char **argv)
{
    if (key == ':')
        return usageFailure(command, "option '%s' needs a value", argv[optind - 1]);
    if (optopt != 0)
        return usageFailure(command, "unknown option '-%c'", optopt);
    return usageFailure(command, "unknown option '%s'", argv[optind - 1]);
}

std::optional<int> parseOptionsStep(const Command &command, int argc, char **argv,
                                    std::span<const option> extra,
                                    const std::function<void(int, const char *)> &onOption,
                                    std::vector<std::string> &operands)
{
    std::string shortOptions;
    const std::vector<option> options = commandOptions(extra, shortOptions);
    opterr = 0;
    optind = 0;  // start afresh after the command word
    for (;;) {
        int index = -1;
        int key = getopt_long(argc, argv, shortOptions.c_str(), options.data(), &index);
        if (key == -1)
            break;
        if (index >= 0 && refuseAbbreviation(&command, lastOptionWord(argv), options[index]) != 0)
            return EXIT_USAGE;
        switch (key) {
        case 'a':
        case 'v':
        case 'y':
        case 'w':
        case JSON_OPTION:
            if (applyCommonOption(&command, key, optarg) != 0)
                return EXIT_USAGE;
            break;
        case 'h':
            nameHelpForm(command, argc, argv);
            putHelp([&](FILE *out) { printCommandHelp(command, out); });
            return EXIT_OK;
        case ':':
        case '?':
            return refuseOption(&command, key, argv);
        default:
            onOption(key, optarg);
        }
    }
    operands.assign(argv + optind, argv + argc);
    return std::nullopt;
}

std::vector<std::string> parseOptions(const Command &command, int argc, char **argv,
                                      std::span<const option> extra,
                                      const std::function<void(int, const char *)> &onOption)
{
    std::vector<std::string> operands;
    if (const std::optional<int> status =
            parseOptionsStep(command, argc, argv, extra, onOption, operands))
        finish(*status);
    return operands;
}

bool parseNumber(const char *text, unsigned long max, unsigned long &value)
{
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    // strtoul alone would take a sign, blanks and, in base 16, a second "0x".
    const std::size_t digits =
        std::strspn(text, base == 16 ? "0123456789abcdefABCDEF" : "0123456789");
    if (digits == 0 || text[digits] != '\0')
        return false;
    errno = 0;
    value = std::strtoul(text, nullptr, base);
    return errno == 0 && value <= max;
}

void confirm(const Command &command, const std::string &change)
{
    if (settings.yes) {
        signals::changeUnderWay();
        return;
    }
    if (jsonOutput() || isatty(STDIN_FILENO) == 0) {
        fail(ErrorKind::confirmation, "%s: this changes the BBU: give -y to go ahead%s",
             command.name, jsonOutput() ? "" : " without a terminal");
        finish(EXIT_USAGE);
    }
    std::fprintf(stderr, "bbuctl: %s on %s. Continue? [y/N] ", change.c_str(), I2C_Adapter);
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof answer, stdin) != nullptr) {
        answer[std::strcspn(answer, "\n")] = '\0';
        if (strcasecmp(answer, "y") == 0 || strcasecmp(answer, "yes") == 0) {
            signals::changeUnderWay();
            return;
        }
    }
    fail(ErrorKind::confirmation, "%s: aborted, nothing changed", command.name);
    finish(EXIT_FAILED);
}

BusSession::BusSession(const char *what) : progress_(what)
{
    // The checked operations print nothing unless verbose; with -v, what
    // they and the transfers print goes to standard error with the messages.
    std::fflush(stdout);
    if (settings.verbose != 0) {
        savedStdout_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (savedStdout_ >= 0) {
            signals::outputTo(savedStdout_);
            dup2(STDERR_FILENO, STDOUT_FILENO);
        }
    }

    fd_ = bbu_checked_open(I2C_Adapter);
    if (fd_ < 0) {
        restoreStdout();
        refuseAdapter(what, -fd_);
    }
    if (settings.verbose != 0)
        sayWhenNoTrace();
    lock(what);
}

void BusSession::refuseAdapter(const char *what, int err)
{
    if (err == ENOTTY)
        fail(ErrorKind::adapter, "%s: %s is not an I2C adapter", what, I2C_Adapter);
    else
        // The tools' udev rule gives the BBU's adapter to group bbu.
        fail(ErrorKind::adapter, "%s: cannot open the adapter %s: %s%s", what, I2C_Adapter,
             std::strerror(err),
             err == EACCES ? " (root and the members of group bbu may use it)" : "");
    setErrno(err);
    finish(EXIT_FAILED);
}

void BusSession::sayWhenNoTrace()
{
    // The library drops the lines of a log it cannot open without a word;
    // with -v, where its console output is asked for, that is said once.
    // A log that is not there yet is created by its first line, where its
    // folder lets it be.
    std::string refused = BBU_TRACE_LOG_PATH;
    if (access(refused.c_str(), W_OK) == 0)
        return;
    int err = errno;
    if (err == ENOENT) {
        refused.erase(refused.rfind('/'));
        if (access(refused.c_str(), W_OK | X_OK) == 0)
            return;
        err = errno;
    }
    message("no trace is written: %s: %s", refused.c_str(), std::strerror(err));
}

void BusSession::lock(const char *what)
{
    int rc = lock_I2C_device(fd_, 0);
    if (rc == I2C_LOCK_TIMEOUT && settings.waitSeconds > 0) {
        if (!progress_.shown()) {
            rc = lock_I2C_device(fd_, settings.waitSeconds);
        } else {
            // One second at a time, to show who holds it and how long is left.
            for (int left = settings.waitSeconds; left > 0 && rc == I2C_LOCK_TIMEOUT; --left) {
                progress_.waitingForLock(lockHolder(fd_), left);
                rc = lock_I2C_device(fd_, 1);
            }
        }
    }
    if (rc == 0)
        return;
    const int err = errno;
    const std::string holder = rc == I2C_LOCK_TIMEOUT ? lockHolder(fd_) : "";
    progress_.clear();
    restoreStdout();
    if (const char *name = signals::received())
        fail(ErrorKind::signal,
             "%s: stopped by %s while waiting for the adapter's lock: nothing was changed", what,
             name);
    else if (rc == I2C_LOCK_TIMEOUT)
        fail(ErrorKind::lock,
             "%s: the adapter %s is in use by %s: gave up waiting after %d s (-w, --lock-wait)",
             what, I2C_Adapter, holder.c_str(), settings.waitSeconds);
    else {
        fail(ErrorKind::lock, "%s: cannot lock the adapter %s: %s", what, I2C_Adapter,
             std::strerror(err));
        setErrno(err);
    }
    finish(EXIT_FAILED);
}

BusSession::~BusSession()
{
    restoreStdout();
    close_I2C_device(fd_);
}

void BusSession::restoreStdout()
{
    std::fflush(stdout);
    if (savedStdout_ >= 0) {
        dup2(savedStdout_, STDOUT_FILENO);
        signals::outputTo(STDOUT_FILENO);
        close(savedStdout_);
        savedStdout_ = -1;
    }
}

namespace {

// The BBU refused the command because it has no firmware to run it: its boot
// code, or a load in progress, takes only the commands of a flash load.
bool refusedForImage(const bbu_checked_result &r)
{
    return r.why == BBU_WHY_NOT_ACCEPTED && (r.rc & INVALID_CMD) != 0 && r.has_status != 0 &&
           imageState(r.status) == ImageState::loadInProgress;
}

}  // namespace

void sayImageState(const char *what, const bbu_checked_result &r)
{
    if (r.has_status == 0 || refusedForImage(r))
        return;
    if (const char *state = imageStateText(imageState(r.status)))
        message("%s: %s: %s", what, state, kFlashAgain);
}

int reportFailure(const char *what, const bbu_checked_result &r, bool change,
                  const std::string &where, const std::string &cause, const char *advice)
{
    std::string detail = cause;
    if (detail.empty()) {
        switch (r.why) {
        case BBU_WHY_TRANSFER_FAILED:
        case BBU_WHY_FILE:
            detail = r.err != 0 ? std::strerror(r.err) : "result " + std::to_string(r.rc);
            break;
        case BBU_WHY_SHORT_TRANSFER:
            detail = std::to_string(r.rc) + (r.rc == 1 ? " byte" : " bytes") + " carried";
            break;
        case BBU_WHY_ERROR_BITS:
            detail = errorBitNames((r.rc >> 16) & 0xff, (r.rc >> 8) & 0xff, r.rc & 0xff);
            break;
        case BBU_WHY_NOT_ACCEPTED:
            detail = errorBitNames(0, r.rc & 0xff, 0);
            break;
        case BBU_WHY_STOPPED:
            detail = signals::received() != nullptr ? signals::received() : "";
            break;
        default:
            break;
        }
    }
    std::string text = std::string(what) + ": " + bbu_checked_step_text(r.step) + " failed";
    if (!where.empty())
        text += " (" + where + ")";
    text += std::string(": ") + bbu_checked_why_text(r.why);
    if (!detail.empty())
        text += " (" + detail + ")";
    // After a read, the device's state is news only when it did not answer;
    // a verdict of not valid says it once.
    if ((change || r.holds != BBU_HOLDS_UNCHANGED) &&
        !(r.why == BBU_WHY_IMAGE_INVALID && r.holds == BBU_HOLDS_NO_VALID_IMAGE))
        text += std::string("; ") + bbu_checked_holds_text(r.holds);
    if (r.why == BBU_WHY_STOPPED && advice == nullptr)
        advice = "nothing more was sent: run the command again to make the change";
    if (refusedForImage(r))
        text += std::string("; ") + imageStateText(imageState(r.status)) +
                ", so it refuses the command: " + kFlashAgain;
    else if (r.why == BBU_WHY_NOT_ACCEPTED && (r.rc & INVALID_CMD) != 0)
        // A BBU whose image is not valid runs its boot code, which refuses
        // most commands; only its validation can say so.
        text += "; 'bbuctl validate' tells whether the BBU's image is valid";
    else if (advice != nullptr)
        text += std::string("; ") + advice;
    message("%s", text.c_str());
    setDeviceError(printable(reinterpret_cast<const unsigned char *>(text.c_str()), text.size()),
                   r);
    if (r.why == BBU_WHY_STOPPED)
        setErrorKind(ErrorKind::signal);
    return EXIT_FAILED;
}

std::string verified(const bbu_checked_result &result)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    std::string text;
    for (unsigned bit = 1; bit < (1u << BBU_EVIDENCE_BITS); bit <<= 1) {
        if ((result.verified & bit) == 0)
            continue;
        list.push_back(bbu_checked_evidence_text(bit));
        text += (text.empty() ? "" : ", ") + std::string(bbu_checked_evidence_text(bit));
    }
    setVerified(list);
    return text;
}

int unverified(const char *why)
{
    setVerified(false);
    if (!jsonOutput())
        std::printf("%s: %s\n", bbu_checked_holds_text(BBU_HOLDS_NOT_VERIFIABLE), why);
    return EXIT_UNVERIFIED;
}

std::string printable(const unsigned char *bytes, std::size_t len)
{
    std::string text;
    for (std::size_t i = 0; i < len && bytes[i] != 0; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7f && bytes[i] != '\\') {
            text += static_cast<char>(bytes[i]);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", bytes[i]);
            text += hex;
        }
    }
    return text;
}

}  // namespace bbuctl
