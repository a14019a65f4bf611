// e2e_harness.cpp - spawn programs under bbusim and collect their results.
#include "e2e_harness.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "test_names.h"
#include "transcript.h"

extern char **environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

// The next free runN directory of the current test.
std::string next_run_dir()
{
    const std::string base = test_dir();
    int n = 1;
    while (fs::exists(base + "/run" + std::to_string(n)))
        ++n;
    fs::create_directories(base + "/run" + std::to_string(n));
    return base + "/run" + std::to_string(n);
}

Run spawn(std::vector<std::string> argv, const Options &options, const std::string &dir)
{
    Run r;
    r.dir = dir;
    r.root = dir + "/root";
    const std::string out_path = dir + "/stdout", err_path = dir + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Only the three standard streams are handed down: the descriptors the
    // test runner leaves open would shift the numbers a program's opens get.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e)
        env_strings.emplace_back(*e);
    for (const std::string &extra : options.env) {
        std::string name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env_strings, [&](const std::string &s) { return s.starts_with(name); });
        env_strings.push_back(extra);
    }
    std::vector<char *> envp, args;
    for (std::string &s : env_strings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    for (std::string &s : argv)
        args.push_back(s.data());
    args.push_back(nullptr);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
    r.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    r.transcript = lines(read_file(dir + "/transcript"));
    return r;
}

// Text as golden lines under `label`: one per line, and one per in-place
// update, shown ending in "\r".
void add_shown(std::vector<std::string> &to, const std::string &label, const std::string &text)
{
    std::size_t at = 0;
    for (std::size_t end; (end = text.find_first_of("\r\n", at)) != std::string::npos;
         at = end + 1) {
        const std::string line =
            golden::shown(text.substr(at, end - at)) + (text[end] == '\r' ? "\\r" : "");
        to.push_back(label + "|" + (line.empty() ? "" : " " + line));
    }
    if (at < text.size())
        to.push_back(label + "| " + golden::shown(text.substr(at)) + "  (no end of line)");
}

}  // namespace

std::vector<std::string> session(const Run &run)
{
    std::vector<std::string> out{"exit| " + std::to_string(run.status)};
    add_shown(out, "out", run.out);
    add_shown(out, "err", run.err);
    // A trace log line starts "YYYY-MM-DD HH:MM:SS.micros ".
    const std::regex stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d+ ",
                           std::regex::multiline);
    add_shown(out, "log", std::regex_replace(run.trace_log(), stamp, ""));
    for (const std::string &line : run.transcript)
        add_shown(out, "bus", line + "\n");
    // battsnap -h gives the build's date and time, checked for their form.
    const std::regex pid("pid [0-9]+"), built("Build date: [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}  "
                                              "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]$");
    for (std::string &line : out)
        line = std::regex_replace(std::regex_replace(line, pid, "pid N"), built,
                                  "Build date: (the build's date and time)");
    return out;
}

std::vector<std::string> Run::events() const
{
    return bbutest::events(transcript);
}

std::string test_dir()
{
    static std::set<std::string> emptied;
    const std::string dir = std::string(BBU_E2E_SCRATCH) + "/" + bbutest::current_test_name();
    if (emptied.insert(dir).second)
        fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

bool sweep_mode(const char *mode)
{
    const char *set = std::getenv("BBU_FAULT_SWEEP");
    return set != nullptr && std::string(set) == mode;
}

std::string sweep_device()
{
    const char *device = std::getenv("BBU_SWEEP_DEVICE");
    return device != nullptr ? device : "";
}

std::string sweep_table()
{
    const std::string name = bbutest::current_test_name();  // "Suite.Test.device-strict"
    return name.substr(name.find('.') + 1);
}

std::vector<Script> scripts(const std::string &family, const std::set<std::string> &others)
{
    std::vector<Script> found;
    for (const auto &e : fs::directory_iterator(fs::path(BBU_TEST_DATA) / "golden" / family)) {
        if (e.path().extension() != ".txt")
            continue;  // a file being rewritten (golden_file.cpp)
        Script s;
        s.name = e.path().stem().string();
        std::string file;
        for (const std::string &line : lines(read_file(e.path().string()))) {
            if (line == "---")
                break;
            s.header.push_back(line);
            const std::string value = line.substr(line.find("| ") + 2);
            if (line.starts_with("run| "))
                s.runs.push_back(value);
            else if (line.starts_with("scenario-file| ") &&
                     fs::is_regular_file(fs::path(BBU_TEST_DATA) / value))
                s.scenario += read_file(std::string(BBU_TEST_DATA) + "/" + value);
            else if (line.starts_with("scenario-file| "))
                throw std::runtime_error(e.path().string() + " names no such file: " + value);
            else if (line.starts_with("scenario| "))
                s.scenario += value + "\n";
            for (const char *key : {"recordings| ", "files| "})
                if (line.starts_with(key))
                    for (std::istringstream words(value); words >> file;)
                        (*key == 'r' ? s.recordings : s.files).push_back(file);
        }
        if (s.runs.empty() && others.count(s.name) == 0)
            throw std::runtime_error(e.path().string() + " names no shell line (run| )");
        if (!s.runs.empty())
            found.push_back(s);
    }
    std::ranges::sort(found, {}, &Script::name);
    return found;
}

Run run(const std::vector<std::string> &command, const Options &options)
{
    const std::string dir = next_run_dir();
    std::vector<std::string> argv = {BBUSIM_PATH, "--root", dir + "/root", "--transcript",
                                     dir + "/transcript"};
    if (!options.scenario.empty()) {
        std::ofstream(dir + "/scenario.scn") << options.scenario;
        argv.insert(argv.end(), {"--scenario", dir + "/scenario.scn"});
    }
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return spawn(argv, options, dir);
}

Run run_program(const std::vector<std::string> &argv, const Options &options)
{
    const std::string dir = next_run_dir();
    if (!options.scenario.empty())
        std::ofstream(dir + "/scenario.scn") << options.scenario;
    return spawn(argv, options, dir);
}

}  // namespace e2e
