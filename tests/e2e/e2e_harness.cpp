// e2e_harness.cpp - spawn programs under bbusim and collect their results.
#include "e2e_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string current_test_name()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        info == nullptr ? "no_test" : std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/')
            c = '_';
    return name;
}

// Runs made so far by each test, to number their directories.
std::map<std::string, int> &run_counts()
{
    static std::map<std::string, int> counts;
    return counts;
}

std::string next_run_dir()
{
    std::string base = test_dir();
    std::string dir = base + "/run" + std::to_string(++run_counts()[current_test_name()]);
    fs::create_directories(dir);
    return dir;
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

Run spawn(std::vector<std::string> argv, const Options &options, const std::string &dir)
{
    Run r;
    r.dir = dir;
    r.root = dir + "/root";
    std::string in_path = "/dev/null";
    if (!options.stdin_text.empty()) {
        in_path = dir + "/stdin";
        write_file(in_path, options.stdin_text);
    }
    const std::string out_path = dir + "/stdout", err_path = dir + "/stderr";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);

    std::vector<std::string> env_strings;
    for (char **e = environ; *e != nullptr; ++e)
        env_strings.emplace_back(*e);
    for (const std::string &extra : options.env) {
        std::string name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env_strings, [&](const std::string &s) { return s.rfind(name, 0) == 0; });
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

}  // namespace

std::string Run::file(const std::string &machine_path) const
{
    return read_file(root + machine_path);
}

bool Run::exists(const std::string &machine_path) const
{
    return fs::exists(root + machine_path);
}

std::vector<std::string> Run::events() const
{
    std::vector<std::string> out;
    for (const std::string &line : transcript)
        out.push_back(line.substr(line.find(' ') + 1));
    return out;
}

std::string test_dir()
{
    const std::string name = current_test_name();
    const std::string dir = std::string(BBU_E2E_SCRATCH) + "/" + name;
    if (run_counts().find(name) == run_counts().end()) {
        fs::remove_all(dir);
        run_counts()[name] = 0;
    }
    fs::create_directories(dir);
    return dir;
}

Run run(const std::vector<std::string> &command, const Options &options)
{
    const std::string dir = next_run_dir();
    std::vector<std::string> argv = {BBUSIM_PATH, "--root", dir + "/root", "--transcript",
                                     dir + "/transcript"};
    if (!options.scenario.empty()) {
        write_file(dir + "/scenario.scn", options.scenario);
        argv.insert(argv.end(), {"--scenario", dir + "/scenario.scn"});
    }
    for (const std::string &a : options.adapters)
        argv.insert(argv.end(), {"--adapter", a});
    argv.insert(argv.end(), options.launcher_args.begin(), options.launcher_args.end());
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return spawn(argv, options, dir);
}

Run run_program(const std::vector<std::string> &argv, const Options &options)
{
    const std::string dir = next_run_dir();
    if (!options.scenario.empty())
        write_file(dir + "/scenario.scn", options.scenario);
    return spawn(argv, options, dir);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        out.push_back(line);
    return out;
}

}  // namespace e2e
