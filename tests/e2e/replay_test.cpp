// The bbusim launcher, the recorder and replay as golden sessions: each file
// of tests/data/golden/{bbusim,record,replay}/ that names a shell line
// (e2e::Script) is a test. The line runs in a directory of its own (with
// bbusim, the project's programs, i2c-tools and the scenario examples at
// hand, and the default root below it); then come its exit status, both
// streams, the transcript written to "t" and each of its "recordings| "
// files ("rec| FILE" and its lines: the real-time stamps shown as T, the real
// length of a pause as N, the start's date and the host named); for the
// launcher's own sessions also what the directory holds afterwards (each
// entry's type, mode and owner; a root's contents are not listed). Real
// programs are the commands: i2c-tools as peer clients, the shell and
// coreutils.
//
// The recorder runs inside a simulated run, as on a machine with a real BBU:
// the simulated adapter is what it passes every call on to. A replay session
// records a command on the simulated BBU ("rec FILE COMMAND...") and replays
// the recording to the same command or another ("replay FILE [OPTION]... --
// COMMAND..."), each replay's transcript following it on standard error.
// Then the recordings in tests/data/recordings/, each replayed to the command
// its header names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

// rec: the command run on the simulated BBU (RECOPTS given to that run), its
// transcript written as a recording: the header, each pause's real length
// taken as the one asked for. replay: bbusim --replay, its transcript then
// shown on standard error.
const std::string kPrelude =
    "rec() { f=$1; shift; printf '# bbusim recording 1\\n# recorded: 2026-12-06T21:40:00Z\\n"
    "# command: %s\\n' \"$*\" >$f; bbusim --root rr --transcript rec.t $RECOPTS -- \"$@\" "
    ">/dev/null 2>&1; sed -E 's/ sleep ([0-9]+)$/ sleep \\1 real \\1/' rec.t >>$f; }; "
    "replay() { n=$((n + 1)); bbusim --root rp --transcript t$n --replay \"$@\"; s=$?; "
    "[ ! -f t$n ] || cat t$n >&2; return $s; }; ";

std::vector<std::string> recording_lines(const std::string &file)
{
    static const std::regex stamp("^[0-9]+\\.[0-9]{6} "), real(" real [0-9]+$"),
        date("^# recorded: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"),
        host("^# host: .*");
    std::vector<std::string> out;
    for (std::string line : e2e::lines(e2e::read_file(file))) {
        line = std::regex_replace(line, stamp, "T ");
        line = std::regex_replace(line, real, " real N");
        line = std::regex_replace(line, date, "# recorded: DATE");
        line = std::regex_replace(line, std::regex("--group [0-9]+"), "--group GID");
        out.push_back(std::regex_replace(line, host, "# host: HOST"));
    }
    return out;
}

// The directory's entries below `rel`, each with its type, mode and owner.
void list(const std::string &dir, const std::string &rel, std::vector<std::string> &out)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir + rel))
        names.insert(e.path().filename().string());
    for (const std::string &name : names) {
        const std::string path = rel + name;
        struct stat st {};
        if (path.starts_with("run") || path == "t" || path == "s.scn" ||
            lstat((dir + path).c_str(), &st) != 0)
            continue;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
        std::string line =
            "dir| " + path + " " + mode + (st.st_uid == geteuid() ? "" : " not mine");
        if (S_ISLNK(st.st_mode))
            line += " link to " + fs::read_symlink(dir + path).string();
        else if (S_ISREG(st.st_mode))
            line += " file of " + std::to_string(st.st_size) + " bytes";
        else if (S_ISFIFO(st.st_mode))
            line += " fifo";
        out.push_back(line);
        // A root is the simulator's own business.
        if (S_ISDIR(st.st_mode) && name != "r" && name != "R" && !name.starts_with("bbusim-"))
            list(dir, path + "/", out);
    }
}

// The lines of a session, with the paths that differ from machine to machine
// named.
class Session : public ::testing::TestWithParam<e2e::Script> {
protected:
    void check(const std::string &family, bool list_directory = false)
    {
        const e2e::Script &row = GetParam();
        ASSERT_EQ(row.runs.size(), 1u) << "these sessions are one shell line";
        const std::string &run = row.runs[0];
        if (run.find("i2ctransfer") != std::string::npos &&
            std::string(I2CTRANSFER_PATH).find("NOTFOUND") != std::string::npos)
            GTEST_SKIP() << "i2ctransfer is not installed";
        if (run.find("$STATIC") != std::string::npos && std::string(STATIC_PROBE_PATH).empty())
            GTEST_SKIP()
                << "no static C library (libc6-dev's libc.a) to build a static program with";
        const std::string dir = e2e::test_dir() + "/", uid = std::to_string(getuid());
        if (list_directory) {
            fs::create_directory(dir + "E");
            fs::permissions(dir + "E", fs::perms::owner_all);
        }
        if (!row.scenario.empty())
            std::ofstream(dir + "s.scn") << row.scenario;
        e2e::Run r = run_script(dir, "R=bbusim-" + uid + " && " + kPrelude + run);
        r.transcript = e2e::lines(e2e::read_file(dir + "t"));
        std::vector<std::string> lines = row.header;
        lines.emplace_back("---");
        // A recorder's real pause lengths differ from run to run.
        static const std::regex real_pause(" real [0-9]+'");
        for (const std::string &line : e2e::session(r))
            lines.push_back(std::regex_replace(line, real_pause, " real N'"));
        for (const std::string &file : row.recordings) {
            lines.push_back("rec| " + file);
            for (const std::string &line : recording_lines(dir + file))
                lines.push_back("rec| " + line);
        }
        for (std::string &line : lines)
            for (const auto &[from, to] : {std::pair{std::string(STATIC_PROBE_PATH), "$STATIC"},
                                           std::pair{dir.substr(0, dir.size() - 1), "$DIR"},
                                           std::pair{"bbusim-" + uid, "bbusim-$UID"}})
                for (std::size_t at; !from.empty() && (at = line.find(from)) != std::string::npos;)
                    line.replace(at, from.size(), to);
        if (list_directory)
            list(dir, "", lines);
        e2e::check_golden(family, row.name, lines);
    }

    // `script` run by the shell in `dir`, the programs it names found there.
    static e2e::Run run_script(const std::string &dir, const std::string &script)
    {
        std::string path;
        for (const char *d : {BBUSIM_DIR, BBU_TOOLS_DIRS, SPAWN_PROBE_DIR, I2CTRANSFER_DIR})
            path += std::string(d) + ":";
        const char *inherited = std::getenv("PATH");
        return e2e::run_program(
            {"/bin/sh", "-c", "cd \"$0\" && " + script, dir},
            {.env = {"TMPDIR=" + dir.substr(0, dir.size() - 1),
                     "DATA=" + std::string(BBU_TEST_DATA),
                     "STATIC=" + std::string(STATIC_PROBE_PATH),
                     "PATH=" + path + (inherited != nullptr ? inherited : "/usr/bin:/bin")}});
    }
};

class Bbusim : public Session {};
class Record : public Session {};
class Replay : public Session {};

TEST_P(Bbusim, Session)
{
    check("bbusim", true);
}

TEST_P(Record, Session)
{
    check("record");
}

TEST_P(Replay, Session)
{
    check("replay");
}

const auto kName = [](const auto &info) {
    return std::string(info.param.name);
};
INSTANTIATE_TEST_SUITE_P(golden, Bbusim, ::testing::ValuesIn(e2e::scripts("bbusim")), kName);
INSTANTIATE_TEST_SUITE_P(golden, Record, ::testing::ValuesIn(e2e::scripts("record")), kName);
INSTANTIATE_TEST_SUITE_P(golden, Replay, ::testing::ValuesIn(e2e::scripts("replay")), kName);

// The words of a recording's "# command:" line: plain words of
// [A-Za-z0-9_./=:,+@%^-], or quoted as the recorder quotes them ('...', a
// quote inside as '\''). Empty when the line is quoted otherwise.
std::vector<std::string> command_words(const std::string &line)
{
    static const std::regex word("([A-Za-z0-9_./=:,+@%^-]|'[^']*'|\\\\')+");
    std::vector<std::string> words;
    for (std::size_t at = 0; at < line.size(); ++at) {
        std::smatch m;
        const std::string rest = line.substr(at);
        if (!std::regex_search(rest, m, word, std::regex_constants::match_continuous))
            return {};
        std::string w;
        for (std::size_t i = 0; i < m.str().size(); ++i) {
            const char c = m.str()[i];
            if (c == '\\') {  // \' : a quote
                w += '\'';
                ++i;
            } else if (c == '\'') {
                const std::size_t end = m.str().find('\'', i + 1);
                w += m.str().substr(i + 1, end - i - 1);
                i = end;
            } else {
                w += c;
            }
        }
        words.push_back(w);
        at += m.length();
        if (at < line.size() && line[at] != ' ')
            return {};
    }
    return words;
}

// Every recording in tests/data/recordings/ replays to the command its
// header names, one of the project's own programs as built here.
TEST(RecordingsFolder, EachReplaysToItsCommand)
{
    int replayed = 0;
    for (const auto &entry : fs::directory_iterator(std::string(BBU_TEST_DATA) + "/recordings")) {
        if (entry.path().extension() != ".txt")
            continue;
        SCOPED_TRACE(entry.path().string());
        std::vector<std::string> command;
        for (const std::string &line : e2e::lines(e2e::read_file(entry.path())))
            if (line.starts_with("# command: "))
                command = command_words(line.substr(11));
        ASSERT_FALSE(command.empty()) << "no command line, or one quoted otherwise";
        ASSERT_TRUE(command[0] == "battsnap" || command[0] == "bbuctl")
            << "not one of the project's programs: " << command[0];
        std::vector<std::string> argv{BBUSIM_PATH,
                                      "--root",
                                      e2e::test_dir() + "/root",
                                      "--replay",
                                      entry.path().string(),
                                      "--",
                                      std::string(BBU_TOOLS_DIR) + "/" + command[0]};
        argv.insert(argv.end(), command.begin() + 1, command.end());
        const e2e::Run r = e2e::run_program(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        ++replayed;
    }
    EXPECT_GT(replayed, 0) << "the folder holds no recording";
}

}  // namespace
