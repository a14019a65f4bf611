// launcher.cpp - bbusim: run a command on the simulated BBU platform.
//
//   bbusim [--scenario FILE] [--transcript FILE] [--root DIR] [--adapter PATH]...
//          [--real-time] [--no-log-dir] -- COMMAND [ARGS...]
//
// Sets up the run's root and world from the scenario, runs COMMAND with the
// interposer preloaded, records its end in the transcript and exits with its
// status. Own errors exit with 125, a command that cannot run with 126, a
// command not found with 127.
#include <algorithm>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launcher_preload.h"
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
    "  --root DIR         directory for the run's world, /opt and /tmp/i2c_skt\n"
    "                     (default ${TMPDIR:-/tmp}/bbusim-UID)\n"
    "  --adapter PATH     claim one more adapter path, e.g. /dev/i2c-11\n"
    "  --real-time        sleeps take real time as well\n"
    "  --no-log-dir       do not create ROOT/opt/Logs/bbu/logs\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Exit status: the command's, 128+N when signal N ended it, 125 for a launcher\n"
    "error (bad option or scenario), 126 when COMMAND cannot run, 127 when it is not found.\n";

struct Options {
    std::string scenario;
    std::string transcript;
    std::string root;
    std::vector<std::string> adapters;
    bool real_time = false;
    bool log_dir = true;
    std::vector<std::string> command;
};

[[noreturn]] void fail(int status, const std::string &message)
{
    std::fprintf(stderr, "bbusim: %s\n", message.c_str());
    std::exit(status);
}

Options parse_options(int argc, char **argv)
{
    Options o;
    int i = 1;
    auto value = [&](const std::string &opt, std::string &inline_value,
                     bool has_inline) -> std::string {
        if (has_inline)
            return inline_value;
        if (i + 1 >= argc)
            fail(kLauncherError, "option '" + opt + "' needs a value\nTry 'bbusim --help'.");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.rfind("--", 0) != 0)
            break;
        std::string name = arg;
        std::string inline_value;
        bool has_inline = false;
        if (std::size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
            has_inline = true;
        }
        if (name == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (name == "--version") {
            std::printf("bbusim %s\n", BBUSIM_VERSION);
            std::exit(0);
        } else if (name == "--scenario") {
            o.scenario = value(name, inline_value, has_inline);
        } else if (name == "--transcript") {
            o.transcript = value(name, inline_value, has_inline);
        } else if (name == "--root") {
            o.root = value(name, inline_value, has_inline);
        } else if (name == "--adapter") {
            o.adapters.push_back(value(name, inline_value, has_inline));
        } else if (name == "--real-time" && !has_inline) {
            o.real_time = true;
        } else if (name == "--no-log-dir" && !has_inline) {
            o.log_dir = false;
        } else {
            fail(kLauncherError, "unknown option '" + arg + "'\nTry 'bbusim --help'.");
        }
    }
    for (; i < argc; ++i)
        o.command.emplace_back(argv[i]);
    if (o.command.empty())
        fail(kLauncherError, "no command given\nTry 'bbusim --help'.");
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
    bool exists = false;
    if (name.find('/') != std::string::npos) {
        if (check(name, exists))
            return name;
        fail(exists ? kCannotRun : kNotFound,
             name + ": " + std::strerror(exists ? EACCES : ENOENT));
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
        fail(kCannotRun, name + ": " + std::strerror(EACCES));
    fail(kNotFound, name + ": command not found");
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

pid_t g_child = -1;

void forward_signal(int sig)
{
    if (g_child > 0)
        kill(g_child, sig);
}

void set_up_world(const Options &o, const std::string &root, bbusim::World *&w)
{
    std::string err = bbusim::world_create(root, absolute(o.transcript));
    if (!err.empty())
        fail(kLauncherError, err);
    w = bbusim::world();
    {
        bbusim::WorldLock lock(*w);
        for (const std::string &a : o.adapters)
            if (!bbusim::claim_adapter_path(*w, a))
                fail(kLauncherError, "cannot claim adapter " + a);
    }
    if (o.log_dir) {
        err = bbusim::scenario_apply(*w, "log-dir present", "");
        if (!err.empty())
            fail(kLauncherError, err);
    }
    if (!o.scenario.empty()) {
        std::ifstream in(o.scenario, std::ios::binary);
        if (!in)
            fail(kLauncherError,
                 "cannot read scenario " + o.scenario + ": " + std::strerror(errno));
        std::ostringstream text;
        text << in.rdbuf();
        err = bbusim::scenario_apply(*w, text.str(), o.scenario);
        if (!err.empty())
            fail(kLauncherError, err);
    }
    if (o.real_time) {
        bbusim::WorldLock lock(*w);
        w->real_time = 1;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options o = parse_options(argc, argv);
    std::string root = absolute(o.root.empty() ? default_root() : o.root);
    bbusim::World *w = nullptr;
    set_up_world(o, root, w);

    std::string program = resolve_command(o.command[0]);
    std::string interposer;
    if (const char *override_lib = std::getenv("BBUSIM_LIBRARY");
        override_lib != nullptr && *override_lib != '\0')
        interposer = override_lib;
    else
        interposer = bbusim::find_interposer(launcher_dir(), BBUSIM_INSTALL_LIBDIR);
    if (interposer.empty())
        fail(kLauncherError,
             "cannot find libbbusim.so beside the launcher or in ../" BBUSIM_INSTALL_LIBDIR);

    // A sanitizer runtime must come first in the process: the command's own, and
    // the interposer's when the simulator itself was built sanitized.
    std::vector<std::string> runtimes = bbusim::sanitizer_runtimes(bbusim::elf_needed(program));
    for (const std::string &r : bbusim::sanitizer_runtimes(bbusim::elf_needed(interposer)))
        if (std::find(runtimes.begin(), runtimes.end(), r) == runtimes.end())
            runtimes.push_back(r);
    std::string preload = bbusim::compose_preload(runtimes, interposer, std::getenv("LD_PRELOAD"));
    std::string adapters;
    {
        bbusim::WorldLock lock(*w);
        for (std::uint32_t i = 0; i < w->adapter_count; ++i)
            adapters += (i > 0 ? ":" : "") + std::string(w->adapters[i]);
    }
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv(bbusim::kEnvWorld, (root + "/" + bbusim::kWorldFileName).c_str(), 1);
    setenv(bbusim::kEnvRoot, root.c_str(), 1);
    setenv(bbusim::kEnvTranscript, w->transcript, 1);
    setenv(bbusim::kEnvAdapters, adapters.c_str(), 1);

    std::vector<char *> args;
    for (std::string &a : o.command)
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
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        execv(program.c_str(), args.data());
        int err = errno;
        std::fprintf(stderr, "bbusim: %s: %s\n", o.command[0].c_str(), std::strerror(err));
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

    int exit_status;
    char what[32];
    if (WIFSIGNALED(status)) {
        exit_status = 128 + WTERMSIG(status);
        std::snprintf(what, sizeof what, "signal %d", WTERMSIG(status));
    } else {
        exit_status = WEXITSTATUS(status);
        std::snprintf(what, sizeof what, "%d", exit_status);
    }
    {
        bbusim::WorldLock lock(*w);
        bbusim::TranscriptLine(w->now_us).text(" exit %s", what).emit(*w);
    }
    return exit_status;
}
