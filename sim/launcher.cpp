// launcher.cpp - bbusim: run a command on the simulated BBU platform.
//
//   bbusim [--scenario FILE] [--transcript FILE] [--root DIR] [--keep]
//          [--adapter PATH]... [--real-time] [--no-log-dir] -- COMMAND [ARGS...]
//   bbusim --record FILE [--redact] -- COMMAND [ARGS...]
//   bbusim --replay FILE [--no-timing] [OPTION]... -- COMMAND [ARGS...]
//
// Opens and locks the run's root, opens the transcript once, sets up the
// world from the options and the scenario, runs COMMAND with the interposer
// preloaded, records its end in the transcript and exits with its status.
// A power cut that ended the command exits with 120, a replay that differs
// from its recording with 121, a command the interposer (or the recorder)
// cannot load into with 122, own errors with 125, a command that cannot run
// with 126, a command not found with 127.
//
// With --record there is no world: COMMAND runs on the machine's own
// adapters (or on those of a simulated run the launcher itself runs in) with
// the recorder preloaded first, which writes its conversation to FILE.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "launcher_preload.h"
#include "preload_check.h"
#include "record.h"
#include "replay.h"
#include "scenario.h"
#include "transcript.h"
#include "world.h"

#ifndef BBUSIM_VERSION
#define BBUSIM_VERSION "unknown"
#endif
#ifndef BBUSIM_INSTALL_LIBDIR
#define BBUSIM_INSTALL_LIBDIR "lib"
#endif

namespace {

constexpr int kPowerCut = 120;
constexpr int kReplayDiffers = 121;
constexpr int kLauncherError = 125;
constexpr int kCannotRun = 126;
constexpr int kNotFound = 127;

constexpr const char *kUsage =
    "Usage: bbusim [OPTION]... [--] COMMAND [ARG]...\n"
    "Run COMMAND on the simulated BBU platform: a BBU microcontroller (0x40, 0x60),\n"
    "VPD EEPROM (0x54) and real-time clock (0x68) behind the i2c-dev adapter\n"
    "/dev/i2c-0b, with virtual time and injected faults.\n"
    "\n"
    "  --scenario FILE    initial device state, settings and faults\n"
    "  --transcript FILE  where the bus transcript goes (default ROOT/bbusim.transcript)\n"
    "  --root DIR         directory for the run's world, /opt and /tmp/i2c_skt, used\n"
    "                     by one run at a time (default ${TMPDIR:-/tmp}/bbusim-UID,\n"
    "                     which must be private to this user)\n"
    "  --keep             start from the devices as the last run on the root left\n"
    "                     them (after a power cut: powered up again)\n"
    "  --adapter PATH     claim one more adapter path, e.g. /dev/i2c-11\n"
    "  --real-time        sleeps take real time as well\n"
    "  --no-log-dir       do not create ROOT/opt/Logs/bbu/logs\n"
    "  --record FILE      run COMMAND on the machine's own adapters, no simulation,\n"
    "                     and record its conversation on them in FILE\n"
    "  --redact           with --record: replace the VPD's serial and part numbers\n"
    "                     in the recording with placeholders\n"
    "  --replay FILE      serve the recording FILE to COMMAND instead of the devices,\n"
    "                     stopping at the first request that differs from it\n"
    "  --no-timing        with --replay: do not compare pauses\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Exit status: the command's, 128+N when signal N ended it, 120 when a power cut\n"
    "ended it, 121 when a replay differs from its recording, 122 when COMMAND (or a\n"
    "program it starts) is one the simulator cannot load into, 125 for a launcher\n"
    "error (bad option, scenario or recording), 126 when COMMAND cannot run, 127\n"
    "when it is not found.\n";

struct Options {
    std::string scenario;
    std::string transcript;
    std::string root;
    std::vector<std::string> adapters;
    bool real_time = false;
    bool log_dir = true;
    bool keep = false;
    std::string record;
    bool redact = false;
    std::string replay;  // the recording to serve
    bool no_timing = false;
    std::vector<std::string> command;
};

// The run's root, held for the whole run, and its world.
struct Run {
    std::string root;
    int root_fd = -1;
    int lock_fd = -1;
    bbusim::World *world = nullptr;
};

// Transcript descriptors handed down to the command sit at or above this
// number, clear of the low numbers programs expect to get from open().
constexpr int kHandDownFd = 100;

[[noreturn]] void fail(int status, const std::string &message)
{
    std::fprintf(stderr, "bbusim: %s\n", message.c_str());
    std::exit(status);
}

[[noreturn]] void usage_error(const std::string &message)
{
    fail(kLauncherError, message + "\nTry 'bbusim --help'.");
}

// True for a device node path such as /dev/i2c-11.
bool is_device_path(const std::string &path)
{
    return path.size() > 5 && path.rfind("/dev/", 0) == 0 && path.size() < bbusim::kAdapterPathMax;
}

// The value of option `name`: inline (--root=DIR) or the next argument; an
// empty value is refused rather than taken as "the default".
std::string option_value(const std::string &name, const std::string &arg, int argc, char **argv,
                         int &i)
{
    std::string v;
    if (std::size_t eq = arg.find('='); eq != std::string::npos)
        v = arg.substr(eq + 1);
    else if (i + 1 < argc)
        v = argv[++i];
    else
        usage_error("option '" + name + "' needs a value");
    if (v.empty())
        usage_error("option '" + name + "' needs a value, not an empty one");
    return v;
}

// A recording runs on the machine's own adapters: the options that shape a
// simulated world have nothing to act on, and are refused rather than ignored.
void check_record_options(const Options &o)
{
    if (o.redact && o.record.empty())
        usage_error("--redact goes with --record");
    if (o.record.empty())
        return;
    const char *world_option = !o.scenario.empty()     ? "--scenario"
                               : !o.transcript.empty() ? "--transcript"
                               : !o.root.empty()       ? "--root"
                               : o.keep                ? "--keep"
                               : !o.adapters.empty()   ? "--adapter"
                               : o.real_time           ? "--real-time"
                               : !o.log_dir            ? "--no-log-dir"
                               : !o.replay.empty()     ? "--replay"
                                                       : nullptr;
    if (world_option != nullptr)
        usage_error(std::string("--record runs no simulated world: it takes no ") + world_option);
}

// --replay FILE and --no-timing; false for any other option.
bool take_replay_option(Options &o, const std::string &name, bool has_inline,
                        const std::string &arg, int argc, char **argv, int &i)
{
    if (name == "--replay")
        o.replay = option_value(name, arg, argc, argv, i);
    else if (name == "--no-timing" && !has_inline)
        o.no_timing = true;
    else
        return false;
    return true;
}

// A replay answers from its recording: no device state, no fault applies.
void check_replay_options(const Options &o)
{
    if (o.no_timing && o.replay.empty())
        usage_error("--no-timing is an option of --replay");
    if (!o.replay.empty() && (!o.scenario.empty() || o.keep))
        usage_error("--replay cannot be combined with --scenario or --keep");
}

Options parse_options(int argc, char **argv)
{
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.rfind("--", 0) != 0)
            break;
        const std::string name = arg.substr(0, arg.find('='));
        const bool has_inline = name.size() != arg.size();
        if (name == "--help" && !has_inline) {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (name == "--version" && !has_inline) {
            std::printf("bbusim %s\n", BBUSIM_VERSION);
            std::exit(0);
        } else if (name == "--scenario") {
            o.scenario = option_value(name, arg, argc, argv, i);
        } else if (name == "--transcript") {
            o.transcript = option_value(name, arg, argc, argv, i);
        } else if (name == "--root") {
            o.root = option_value(name, arg, argc, argv, i);
        } else if (name == "--adapter") {
            o.adapters.push_back(option_value(name, arg, argc, argv, i));
            if (!is_device_path(o.adapters.back()))
                usage_error("--adapter '" + bbusim::printable(o.adapters.back()) +
                            "': not a device path such as /dev/i2c-11");
        } else if (name == "--keep" && !has_inline) {
            o.keep = true;
        } else if (name == "--real-time" && !has_inline) {
            o.real_time = true;
        } else if (name == "--no-log-dir" && !has_inline) {
            o.log_dir = false;
        } else if (name == "--record") {
            o.record = option_value(name, arg, argc, argv, i);
        } else if (name == "--redact" && !has_inline) {
            o.redact = true;
        } else if (take_replay_option(o, name, has_inline, arg, argc, argv, i)) {
        } else {
            usage_error("unknown option '" + bbusim::printable(arg) + "'");
        }
    }
    for (; i < argc; ++i)
        o.command.emplace_back(argv[i]);
    if (o.command.empty())
        usage_error("no command given");
    check_record_options(o);
    check_replay_options(o);
    return o;
}

std::string absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        fail(kLauncherError, std::string("cannot get working directory: ") + std::strerror(errno));
    return std::string(cwd) + "/" + path;
}

std::string default_root()
{
    const char *tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    return base + "/bbusim-" + std::to_string(getuid());
}

// The command's path, searched in PATH like execvp does; exits 126 or 127
// when it cannot be run.
std::string resolve_command(const std::string &name)
{
    auto check = [&](const std::string &path, bool &exists) {
        struct stat st {};
        exists = stat(path.c_str(), &st) == 0;
        return exists && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
    };
    const std::string shown = bbusim::printable(name);
    bool exists = false;
    if (name.find('/') != std::string::npos) {
        if (check(name, exists))
            return name;
        fail(exists ? kCannotRun : kNotFound,
             shown + ": " + std::strerror(exists ? EACCES : ENOENT));
    }
    const char *env_path = std::getenv("PATH");
    std::string search = env_path != nullptr ? env_path : "/usr/local/bin:/usr/bin:/bin";
    bool seen = false;
    std::size_t start = 0;
    while (start <= search.size()) {
        std::size_t end = search.find(':', start);
        if (end == std::string::npos)
            end = search.size();
        std::string dir = search.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (check(candidate, exists))
            return candidate;
        seen = seen || exists;
        start = end + 1;
    }
    if (seen)
        fail(kCannotRun, shown + ": " + std::strerror(EACCES));
    fail(kNotFound, shown + ": command not found");
}

// A command the library cannot load into (statically linked, set-user-ID,
// ...) would run on the machine's own adapters, or unrecorded: it is refused
// before it runs.
void check_preload(const std::string &program, bbusim::Preloaded who, const std::string &library)
{
    auto check = std::make_unique<bbusim::PreloadCheck>();
    if (!bbusim::preload_admitted(program.c_str(), false, who, library.c_str(), *check)) {
        std::fputs(check->message, stderr);
        std::exit(bbusim::kNotPreloadable);
    }
}

std::string launcher_dir()
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return ".";
    exe[n] = '\0';
    std::string path(exe);
    return path.substr(0, path.rfind('/'));
}

// Open and lock the run's root: the default one must be private; a second
// run on a root in use is refused.
Run open_run_root(const Options &o)
{
    Run run;
    const bool private_root = o.root.empty();
    run.root = absolute(private_root ? default_root() : o.root);
    std::string err;
    run.root_fd = bbusim::open_root(run.root, private_root, err);
    if (run.root_fd >= 0)
        run.lock_fd = bbusim::lock_root(run.root_fd, run.root, err);
    if (run.lock_fd < 0)
        fail(kLauncherError, err);
    return run;
}

// The transcript is opened here once; its descriptor is handed down to the
// command's processes, which append their lines to it.
void create_world(const Options &o, Run &run)
{
    std::string name, err;
    int fd = bbusim::open_transcript(run.root_fd, run.root, absolute(o.transcript), name, err);
    if (fd < 0)
        fail(kLauncherError, err);
    err = bbusim::world_create(run.root_fd, run.root, fd, name, o.keep);
    if (!err.empty())
        fail(kLauncherError, err);
    run.world = bbusim::world();
    int handed = fcntl(fd, F_DUPFD, kHandDownFd);  // F_DUPFD: not close-on-exec
    if (handed >= 0)
        close(fd);
    else if (fcntl(fd, F_SETFD, 0) == 0)
        handed = fd;
    bbusim::WorldLock lock(*run.world);
    run.world->transcript_fd = handed;
}

void apply_options(const Options &o, bbusim::World &w)
{
    {
        bbusim::WorldLock lock(w);
        for (const std::string &a : o.adapters)
            if (!bbusim::claim_adapter_path(w, a))
                fail(kLauncherError, "cannot claim adapter " + bbusim::printable(a) + ": at most " +
                                         std::to_string(bbusim::kMaxAdapters));
    }
    if (o.log_dir) {
        std::string err = bbusim::scenario_apply(w, "log-dir present", "");
        if (!err.empty())
            fail(kLauncherError, err);
    }
    if (!o.scenario.empty()) {
        std::string text;
        std::string err = bbusim::load_scenario_file(o.scenario, &text);
        if (err.empty())
            err = bbusim::scenario_apply(w, text, o.scenario);
        if (!err.empty())
            fail(kLauncherError, err);
    }
    if (o.real_time) {
        bbusim::WorldLock lock(w);
        w.real_time = 1;
    }
}

// LD_PRELOAD and BBUSIM_WORLD for the command.
void set_environment(const std::string &program, const Run &run)
{
    std::string interposer;
    if (const char *override_lib = std::getenv("BBUSIM_LIBRARY");
        override_lib != nullptr && *override_lib != '\0')
        interposer = override_lib;
    else
        interposer = bbusim::find_interposer(launcher_dir(), BBUSIM_INSTALL_LIBDIR);
    if (interposer.empty())
        fail(kLauncherError,
             "cannot find libbbusim.so beside the launcher or in ../" BBUSIM_INSTALL_LIBDIR "/bbu");
    check_preload(program, bbusim::Preloaded::simulator, interposer);

    // A sanitizer runtime must come first in the process: the command's own, and
    // the interposer's when the simulator itself was built sanitized.
    std::vector<std::string> runtimes = bbusim::sanitizer_runtimes(bbusim::elf_needed(program));
    for (const std::string &r : bbusim::sanitizer_runtimes(bbusim::elf_needed(interposer)))
        if (std::find(runtimes.begin(), runtimes.end(), r) == runtimes.end())
            runtimes.push_back(r);
    std::string preload = bbusim::compose_preload(runtimes, interposer, std::getenv("LD_PRELOAD"));
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(bbusim::kEnvWorld, (run.root + "/" + bbusim::kWorldFileName).c_str(), 1);
}

pid_t g_child = -1;

void forward_signal(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}

// Run the command and wait for it; its wait status.
int run_command(bbusim::World *w, const std::string &program, std::vector<std::string> &command,
                const struct sigaction &file_size_action)
{
    std::vector<char *> args;
    args.reserve(command.size() + 1);
    for (std::string &a : command)
        args.push_back(a.data());
    args.push_back(nullptr);

    std::fflush(nullptr);
    // Like a shell running a foreground command: the terminal's interrupt
    // reaches the command; a termination request is passed on to it.
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    g_child = fork();
    if (g_child < 0)
        fail(kLauncherError, std::string("cannot fork: ") + std::strerror(errno));
    if (g_child == 0) {
        // Named before anything of the command can reach the bus: a power cut
        // ends this process with the rest.
        if (w != nullptr) {
            bbusim::WorldLock lock(*w);
            w->command_pid = getpid();
        }
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        sigaction(SIGXFSZ, &file_size_action, nullptr);
        execv(program.c_str(), args.data());
        int err = errno;
        std::fprintf(stderr, "bbusim: %s: %s\n", bbusim::printable(command[0]).c_str(),
                     std::strerror(err));
        _exit(err == ENOENT ? kNotFound : kCannotRun);
    }
    signal(SIGTERM, forward_signal);
    signal(SIGHUP, forward_signal);

    int status = 0;
    while (waitpid(g_child, &status, 0) < 0) {
        if (errno != EINTR)
            fail(kLauncherError,
                 std::string("cannot wait for the command: ") + std::strerror(errno));
    }
    return status;
}

// The exit line in the transcript; the launcher's exit status.
int record_exit(bbusim::World &w, int status)
{
    int exit_status = 0;
    char what[32];
    if (WIFSIGNALED(status)) {
        exit_status = 128 + WTERMSIG(status);
        std::snprintf(what, sizeof what, "signal %d", WTERMSIG(status));
    } else {
        exit_status = WEXITSTATUS(status);
        std::snprintf(what, sizeof what, "%d", exit_status);
    }
    bbusim::WorldLock lock(w);
    w.command_pid = 0;
    if (w.stop == bbusim::Stop::power_cut) {
        exit_status = kPowerCut;
        std::snprintf(what, sizeof what, "power-cut");
    }
    bbusim::TranscriptLine(w.now_us).text(" exit %s", what).emit(w);
    return exit_status;
}

// The command's end as the recording's last line: "exit STATUS" or "exit
// signal N"; the launcher's exit status.
int record_end(const bbusim::RecordTarget &target, int status)
{
    bbusim::RecordLine line(bbusim::monotonic_now_us() - target.start_us, 0);
    if (WIFSIGNALED(status))
        line.text(" exit signal %d", WTERMSIG(status));
    else
        line.text(" exit %d", WEXITSTATUS(status));
    line.emit(target);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Rewrites the finished recording with the VPD's serial and part numbers
// hidden; only the file the launcher created, read back without following a
// symbolic link.
void redact_file(const bbusim::RecordTarget &target)
{
    const int in = open(target.file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    std::string text;
    if (in >= 0 && fstat(in, &st) == 0 && static_cast<std::uint64_t>(st.st_ino) == target.ino &&
        static_cast<std::uint64_t>(st.st_dev) == target.dev) {
        char buf[65536];
        for (ssize_t n = 0; (n = read(in, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<std::size_t>(n));
    }
    if (in >= 0)
        close(in);
    const std::string redacted = bbusim::redact_recording(text);
    bool written = in >= 0 && ftruncate(target.fd, 0) == 0;
    for (std::size_t at = 0; written && at < redacted.size();) {
        const ssize_t n = write(target.fd, redacted.data() + at, redacted.size() - at);
        written = n > 0;
        at += written ? static_cast<std::size_t>(n) : 0;
    }
    if (!written)
        fail(kLauncherError, "cannot rewrite the recording " + bbusim::printable(target.file) +
                                 " without the VPD's serial and part numbers");
}

// bbusim --record: the command checked, the recorder first in LD_PRELOAD
// (after a sanitizer runtime, before what is preloaded already, such as the
// simulator when this launcher runs inside a simulated run), the header, the
// command, its end.
int run_recorded(Options &o, const struct sigaction &file_size_action)
{
    const std::string program = resolve_command(o.command[0]);
    std::string recorder;
    if (const char *override_lib = std::getenv("BBUSIM_RECORD_LIBRARY");
        override_lib != nullptr && *override_lib != '\0')
        recorder = override_lib;
    else
        recorder =
            bbusim::find_library(launcher_dir(), BBUSIM_INSTALL_LIBDIR, "libbbusim-record.so");
    if (recorder.empty())
        fail(kLauncherError, "cannot find libbbusim-record.so beside the launcher or in "
                             "../" BBUSIM_INSTALL_LIBDIR "/bbu");
    check_preload(program, bbusim::Preloaded::recorder, recorder);
    std::string err;
    const std::string path = absolute(o.record);
    const int fd = bbusim::open_recording(path, err);
    if (fd < 0)
        fail(kLauncherError, "cannot record in " + bbusim::printable(o.record) + ": " + err);
    std::vector<std::string> runtimes = bbusim::sanitizer_runtimes(bbusim::elf_needed(program));
    for (const std::string &r : bbusim::sanitizer_runtimes(bbusim::elf_needed(recorder)))
        if (std::find(runtimes.begin(), runtimes.end(), r) == runtimes.end())
            runtimes.push_back(r);
    setenv("LD_PRELOAD",
           bbusim::compose_preload(runtimes, recorder, std::getenv("LD_PRELOAD")).c_str(), 1);

    const bbusim::RecordTarget target = bbusim::hand_down_recording(fd, path);
    const std::string header = bbusim::record_header(o.command, BBUSIM_VERSION, false);
    if (write(target.fd, header.data(), header.size()) != static_cast<ssize_t>(header.size()))
        fail(kLauncherError, "cannot write the recording " + bbusim::printable(o.record) + ": " +
                                 std::strerror(errno));
    const int status =
        record_end(target, run_command(nullptr, program, o.command, file_size_action));
    if (o.redact)
        redact_file(target);
    return status;
}

// The recording, read and checked whole before anything of the run is set up.
bbusim::Recording load_recording(const Options &o)
{
    bbusim::Recording rec;
    if (!o.replay.empty())
        if (std::string err = bbusim::read_recording(o.replay, rec); !err.empty())
            fail(kLauncherError, err);
    return rec;
}

void begin_replay(const Options &o, Run &run, const bbusim::Recording &rec)
{
    if (o.replay.empty())
        return;
    std::string err =
        bbusim::start_replay(*run.world, run.root_fd, run.root, rec, o.replay, o.no_timing);
    if (!err.empty())
        fail(kLauncherError, err);
}

// After the command: true when the replay differed, said on standard error.
bool replay_differed(bbusim::World &w)
{
    if (!bbusim::finish_replay(w))
        return false;
    std::fprintf(stderr, "bbusim: %s\n", bbusim::printable(w.replay.message).c_str());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o = parse_options(argc, argv);
    // A file size limit makes writing the world fail with EFBIG, reported
    // like any other write error, instead of killing the launcher silently.
    struct sigaction file_size_action {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &file_size_action);

    if (!o.record.empty())
        return run_recorded(o, file_size_action);
    const bbusim::Recording recording = load_recording(o);
    Run run = open_run_root(o);
    create_world(o, run);
    apply_options(o, *run.world);
    begin_replay(o, run, recording);
    std::string program = resolve_command(o.command[0]);
    set_environment(program, run);
    int status = run_command(run.world, program, o.command, file_size_action);
    const bool differed = replay_differed(*run.world);
    const int exit_status = record_exit(*run.world, status);
    return differed ? kReplayDiffers : exit_status;
}
