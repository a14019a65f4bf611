// The bbusim launcher as golden sessions: a shell line run in a directory of
// its own (with bbusim, i2ctransfer and the scenario examples at hand, and the
// default root below it), then its exit status, both streams, the transcript
// written to "t" and what the directory holds afterwards (each entry's type,
// mode and owner; a root's contents are not listed). Real programs are the
// commands: i2ctransfer as a peer client, the shell and coreutils.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

struct Row {
    const char *name;
    std::string script;         // R names the default root, E a private directory
    std::string scenario = "";  // written to s.scn
};

// clang-format off
const Row kRows[] = {
    // Four i2ctransfer processes and a shell's sleep between them: one BBU, one clock.
    {"I2ctransferAcrossProcesses",
     "bbusim --transcript t --scenario s.scn --adapter /dev/i2c-11 -- sh -c 'T=\"i2ctransfer -y 11\"; "
     "$T w3@0x40 0xc8 0x00 0xc8 && sleep 1 && $T r33@0x40 && $T r33@0x40 && $T r86@0x60'",
     "state-save 0 de ad be ef\n"},
    {"ExitStatusPassedOn", "bbusim --transcript t -- sh -c 'exit 3'"},
    {"SignalPassedOn", "bbusim --transcript t -- sh -c 'kill -TERM $$'"},
    {"BadScenarioLine", "bbusim --scenario s.scn -- echo ran", "status 0 31\n\nbogus 1\n"},
    {"MissingScenarioFile", "bbusim --scenario /nonexistent/x.scn -- echo ran"},
    {"CommandNotFound", "bbusim -- bbusim-no-such-command"},
    {"NotExecutable", "bbusim -- ./s.scn", "status 0 31\n"},
    // Options are refused with untrusted bytes escaped; an empty value is no default.
    {"EmptyRoot", "bbusim --root= -- echo ran"},
    {"AdapterNotADevice", "bbusim --adapter foo -- echo ran"},
    {"EscapedOption", "bbusim \"$(printf -- '--x\\033[2J\\357\\273\\277')\" -- echo ran"},
    {"HelpAndVersion", "bbusim --help && bbusim --version"},
    {"ScenarioExamples", "for f in default_world device_state faults clock; do "
     "bbusim --scenario \"$DATA/sim_$f.scn\" -- true || exit; done"},
    // The trace log directory is mapped into the root unless left out.
    {"TraceLogMapped", "bbusim --root r -- sh -c 'echo hello >> /opt/Logs/bbu/logs/BBU.log' && "
     "cat r/opt/Logs/bbu/logs/BBU.log"},
    {"TraceLogLeftOut", "bbusim --no-log-dir -- sh -c 'echo hello >> /opt/Logs/bbu/logs/BBU.log'"},
    {"TraceLogAbsent", "bbusim --scenario s.scn -- sh -c 'echo hello >> /opt/Logs/bbu/logs/BBU.log'",
     "log-dir absent\n"},
    // The interposer preloaded, but no world named: /opt/. is a directory on
    // any machine, so a read that reached it would say so.
    {"WithoutAWorld", "bbusim -- env BBUSIM_WORLD= cat /opt/."},
    // A private default root, one run per root, nothing written through a link.
    {"DefaultRootCreatedPrivateAndReused", "bbusim -- true && bbusim -- true"},
    {"RootWorldWritable", "mkdir -m 777 $R && bbusim -- echo ran"},
    {"RootGroupReadable", "mkdir -m 750 $R && bbusim -- echo ran"},
    {"RootOtherOwner", "mkdir -m 700 $R && chown 65534 $R && bbusim -- echo ran"},
    {"RootSymbolicLink", "ln -s E $R && bbusim -- echo ran"},
    {"RootNotADirectory", "touch $R && bbusim -- echo ran"},
    {"ExplicitRootSymbolicLink", "ln -s E R && bbusim --root R -- echo ran"},
    {"TranscriptLinkInRoot", "mkdir R && ln -s ../E/x R/bbusim.transcript && bbusim --root R -- echo ran"},
    {"TmpLinkInRoot", "mkdir R && ln -s ../E R/tmp && bbusim --root R -- echo ran"},
    {"RootInUse", "bbusim --root r -- bbusim --root r -- echo ran; echo \"status $?\"; "
     "bbusim --root r -- echo ran"},
    // The transcript's descriptor is handed down, nothing else of the root's;
    // a command that puts a file of its own at that number keeps it to itself.
    {"DescriptorsHandedDown", "bbusim --transcript t -- sh -c "
     "'find /proc/$$/fd -mindepth 1 -printf \"%f %l\\n\"'"},
    {"TranscriptNumberReused", "bbusim --transcript t -- bash -c "
     "'exec 100>other; sleep 1; exec 100>&-; sleep 2'"},
    // /dev/stderr is the launcher's standard error, appended to, never emptied.
    {"TranscriptToStandardError", "echo kept >&2; bbusim --root r --transcript /dev/stderr -- "
     "sh -c 'sleep 1 2>inner; sleep 2'"},
    // timeout(1) only ends a run that hangs; a passing run never waits.
    {"TranscriptFifoNobodyReads", "mkfifo fifo && timeout 20 bbusim --root r --transcript fifo -- echo ran"},
    // A kept root: the devices as the last run left them, the clock going on;
    // a run without --keep starts afresh. Each run's transcript goes to
    // standard error, so the runs show in order.
    {"KeepCarriesTheDevices", "B='bbusim --root r --adapter /dev/i2c-11 --transcript /dev/stderr'; "
     "$B -- sh -c 'i2ctransfer -y 11 w3@0x40 0xc2 0x25 0xe7 && sleep 3' && "
     "$B --keep -- i2ctransfer -y 11 r33@0x40 && $B -- i2ctransfer -y 11 r33@0x40"},
    // A power cut just before the second frame: the command ends there (the
    // shell's echo never runs), exit 120. The next kept run powers up: the
    // light is off, power_up shows, and a spoilt image leaves the boot code
    // answering, which refuses the state-save command.
    {"PowerCutAtAMessage", "B='bbusim --root r --adapter /dev/i2c-11 --transcript /dev/stderr'; "
     "$B --scenario s.scn -- sh -c 'i2ctransfer -y 11 w3@0x40 0xc2 0x25 0xe7; "
     "i2ctransfer -y 11 w2@0x40 0xe9 0xe9; echo not reached'; echo \"status $?\"; "
     "$B --keep -- i2ctransfer -y 11 r33@0x40 w3@0x40 0xc8 0x00 0xc8 r33@0x40",
     "memory 0x1000 00\nfault power-cut 40 write skip 1\n"},
    // A cut at a time falls in the pause it strikes; one in a pause, halfway.
    {"PowerCutInAPause", "B='bbusim --root r --transcript /dev/stderr'; "
     "$B --scenario s.scn -- sh -c 'sleep 1; sleep 1; echo not reached'; echo \"status $?\"; "
     "echo 'fault power-cut sleep skip 1' > s.scn; $B --keep --scenario s.scn -- sh -c 'sleep 4; sleep 4'",
     "fault power-cut at 1.5\n"},
    // A crash kills the program that makes the event; the devices stay
    // powered and the rest of the command goes on.
    {"CrashKeepsTheDevicesPowered", "B='bbusim --root r --adapter /dev/i2c-11 --transcript /dev/stderr'; "
     "$B --scenario s.scn -- sh -c 'exec 2>&1; i2ctransfer -y 11 w3@0x40 0xc2 0x25 0xe7; "
     "i2ctransfer -y 11 r33@0x40; echo goes on'; echo \"status $?\"; "
     "$B --keep -- i2ctransfer -y 11 r33@0x40",
     "fault crash 40 read\n"},
    {"KeptWorldRefused", "mkdir r && echo junk > r/bbusim.world && bbusim --keep --root r -- echo ran"},
    {"PowerCutWordsRefused", "bbusim --scenario s.scn -- echo ran", "fault power-cut at 1.2345678\n"},
    // Standard error goes through cat: under the limit it could not be written either.
    {"WorldCannotBeWritten",
     "{ (ulimit -f 0; exec bbusim --root r -- echo ran) 2>&1; echo \"status $?\"; } | cat"},
    // Programs the interposer cannot load into would reach the real bus (the
    // static one says what it reached): refused before they run, and the
    // recording is not made; a script is followed to its interpreter.
    {"StaticProgramRefused", "bbusim -- \"$STATIC\"; echo \"status $?\"; bbusim --record r.txt -- \"$STATIC\""},
    {"SetIdProgramsRefused", "for m in u+s g+s; do cp \"$(command -v cat)\" p && chmod $m p && "
     "bbusim -- ./p /dev/null; echo \"status $?\"; rm p; done"},
    {"StaticInterpreterRefused", "printf '#!%s\\n' \"$STATIC\" > s && chmod +x s && bbusim -- ./s; "
     "echo \"status $?\"; bbusim -- sh -c ./s; echo \"status $?\"; rm s"},
    // Inside the run: a process that starts one is stopped there; a clean
    // environment gets the interposer and the world back.
    {"ExecOfAStaticProgramStopped", "bbusim --transcript t --adapter /dev/i2c-11 -- sh -c "
     "'\"$STATIC\"; echo \"status $?\"; env -i \"$(command -v i2ctransfer)\" -y 11 r1@0x40; "
     "exec env -i \"$STATIC\"; echo not reached'"},
    // The C library's system, popen and posix_spawn start programs past the
    // interposed execve; here without LD_PRELOAD in the environment.
    {"SystemPopenSpawnStopped", "bbusim -- spawn_probe \"$STATIC\""},
    // Under --record the recorder's own variables come back with it.
    {"RecordedRunStopped", "bbusim --adapter /dev/i2c-11 -- bbusim --record r.txt -- sh -c "
     "'env -i \"$(command -v i2ctransfer)\" -y 11 r1@0x40; exec \"$STATIC\"'; echo \"status $?\"; "
     "grep -c 'read 0x40' r.txt; rm r.txt"},
};
// clang-format on

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

class Bbusim : public ::testing::TestWithParam<Row> {};

TEST_P(Bbusim, Session)
{
    const Row &row = GetParam();
    if (row.script.find("i2ctransfer") != std::string::npos &&
        std::string(I2CTRANSFER_PATH).find("NOTFOUND") != std::string::npos)
        GTEST_SKIP() << "i2ctransfer is not installed";
    if (row.script.find("$STATIC") != std::string::npos && std::string(STATIC_PROBE_PATH).empty())
        GTEST_SKIP() << "no static C library (libc6-dev's libc.a) to build a static program with";
    const std::string dir = e2e::test_dir() + "/", uid = std::to_string(getuid());
    fs::create_directory(dir + "E");
    fs::permissions(dir + "E", fs::perms::owner_all);
    if (!row.scenario.empty())
        std::ofstream(dir + "s.scn") << row.scenario;
    const char *path = std::getenv("PATH");
    e2e::Run r = e2e::run_program(
        {"/bin/sh", "-c", "cd \"$0\" && R=bbusim-" + uid + " && " + row.script, dir},
        {.env = {"TMPDIR=" + dir.substr(0, dir.size() - 1), "DATA=" + std::string(BBU_TEST_DATA),
                 "STATIC=" + std::string(STATIC_PROBE_PATH),
                 "PATH=" + fs::path(BBUSIM_PATH).parent_path().string() + ":" + SPAWN_PROBE_DIR +
                     ":" + fs::path(I2CTRANSFER_PATH).parent_path().string() + ":" +
                     (path != nullptr ? path : "/usr/bin:/bin")}});
    r.transcript = e2e::lines(e2e::read_file(dir + "t"));
    std::vector<std::string> lines{"run| " + row.script};
    for (const std::string &line : e2e::lines(row.scenario))
        lines.push_back("scenario| " + line);
    lines.emplace_back("---");
    // The paths that differ from machine to machine are named.
    for (std::string line : e2e::session(r)) {
        for (const auto &[from, to] : {std::pair{std::string(STATIC_PROBE_PATH), "$STATIC"},
                                       std::pair{dir.substr(0, dir.size() - 1), "$DIR"},
                                       std::pair{"bbusim-" + uid, "bbusim-$UID"}})
            for (std::size_t at; !from.empty() && (at = line.find(from)) != std::string::npos;)
                line.replace(at, from.size(), to);
        lines.push_back(line);
    }
    list(dir, "", lines);
    e2e::check_golden("bbusim", row.name, lines);
}

INSTANTIATE_TEST_SUITE_P(golden, Bbusim, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(BbusimFiles, EachGoldenFileHasARow)
{
    std::vector<std::string> names;
    for (const Row &row : kRows)
        names.emplace_back(row.name);
    e2e::check_no_stray_golden("bbusim", names);
}

}  // namespace
