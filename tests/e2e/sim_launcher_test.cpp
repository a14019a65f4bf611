// The launcher with real, unmodified programs: i2c-tools as a peer client,
// the shell and coreutils, exit statuses and the transcript.
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <fstream>

#include "e2e_harness.h"
#include "test_names.h"

namespace {

using namespace ::testing;
using bbutest::Bytes;
using bbutest::end_around_sum;
using bbutest::hex;

// Four i2ctransfer processes and a shell's sleep between them: one BBU, one clock.
TEST(BbusimLauncherTest, I2ctransferConversationAcrossProcesses)
{
    if (std::string(I2CTRANSFER_PATH).find("NOTFOUND") != std::string::npos)
        GTEST_SKIP() << "i2ctransfer is not installed";
    const std::string t = std::string(I2CTRANSFER_PATH) + " -y 11 ";
    e2e::Run r = e2e::run({"sh", "-c",
                           t + "w3@0x40 0xc8 0x00 0xc8 && sleep 1 && " + t + "r33@0x40 && " + t +
                               "r33@0x40 && " + t + "r86@0x60"},
                          {.scenario = "state-save 0 de ad be ef\n", .adapters = {"/dev/i2c-11"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto lines = e2e::lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    const Bytes busy = bbutest::parse_hex(lines[0]), done = bbutest::parse_hex(lines[1]),
                block = bbutest::parse_hex(lines[2]);
    EXPECT_EQ(hex(busy.data(), 2), "b1 4e") << "the first process's command in progress";
    EXPECT_EQ(hex(done.data(), 2), "31 ce");
    ASSERT_EQ(block.size(), 86u);
    EXPECT_EQ(hex(block.data(), 9), "c8 01 50 00 01 de ad be ef");
    EXPECT_EQ(block[85], end_around_sum(block.data(), 85));

    EXPECT_THAT(r.transcript, Contains(StartsWith("1.000000 read 0x40 33 -> 33 : b1 4e ")));
    EXPECT_THAT(r.events(), AllOf(Contains(StartsWith("open /dev/i2c-11 -> ")).Times(4),
                                  Contains(StartsWith("close ")).Times(4),
                                  Contains("sleep 1000000"), Contains("exit 0")));
}

TEST(BbusimLauncherTest, ExitStatusAndSignalArePassedOn)
{
    e2e::Run exited = e2e::run({"sh", "-c", "exit 3"});
    EXPECT_EQ(exited.status, 3);
    EXPECT_THAT(exited.events(), ElementsAre("exit 3"));
    e2e::Run killed = e2e::run({"sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(killed.status, 128 + 15);
    EXPECT_THAT(killed.events(), ElementsAre("exit signal 15"));
}

struct LauncherError {
    const char *name;
    std::vector<std::string> command;
    std::string scenario;
    std::vector<std::string> launcher_args;
    int status;
    std::string message;  // in standard error
};

class BbusimLauncherErrorTest : public TestWithParam<LauncherError> {};

TEST_P(BbusimLauncherErrorTest, ExitsWithItsStatusAndSaysWhy)
{
    const LauncherError &c = GetParam();
    std::vector<std::string> command = c.command;
    if (command[0] == "NOT-EXECUTABLE") {  // a file of the test's own, without execute bits
        command[0] = e2e::test_dir() + "/data.txt";
        std::ofstream(command[0]) << "not a program\n";
        ASSERT_EQ(chmod(command[0].c_str(), 0644), 0);
    }
    e2e::Run r = e2e::run(command, {.scenario = c.scenario, .launcher_args = c.launcher_args});
    EXPECT_EQ(r.status, c.status);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_EQ(r.out, "") << "the command did not run";
}

// clang-format off
const LauncherError kErrors[] = {
    {"BadScenarioLine", {"echo", "ran"}, "status 0 31\n\nbogus 1\n", {}, 125,
     "scenario.scn:3: unknown keyword 'bogus'"},
    {"MissingScenarioFile", {"echo", "ran"}, "", {"--scenario", "/nonexistent/x.scn"}, 125,
     "cannot read scenario /nonexistent/x.scn"},
    {"CommandNotFound", {"bbusim-no-such-command"}, "", {}, 127,
     "bbusim: bbusim-no-such-command: command not found"},
    {"NotExecutable", {"NOT-EXECUTABLE"}, "", {}, 126, "data.txt: Permission denied"},
    // Options are refused with untrusted bytes escaped; an empty value is no default.
    {"EmptyRoot", {"echo", "ran"}, "", {"--root="}, 125,
     "bbusim: option '--root' needs a value, not an empty"},
    {"AdapterNotADevice", {"echo", "ran"}, "", {"--adapter", "foo"}, 125,
     "bbusim: --adapter 'foo': not a device path"},
    {"EscapedOption", {"echo", "ran"}, "", {"--x\x1b[2J\xef\xbb\xbf"}, 125,
     "bbusim: unknown option '--x\\x1b[2J\\xef\\xbb\\xbf'"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Errors, BbusimLauncherErrorTest, ValuesIn(kErrors), bbutest::ByName());

TEST(BbusimLauncherTest, TraceLogDirectoryIsMappedIntoTheRootUnlessLeftOut)
{
    const std::vector<std::string> append = {"sh", "-c",
                                             "echo hello >> /opt/Logs/bbu/logs/BBU.log"};
    e2e::Run r = e2e::run(append);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.trace_log(), "hello\n");
    for (const e2e::Options &o : {e2e::Options{.launcher_args = {"--no-log-dir"}},
                                  e2e::Options{.scenario = "log-dir absent"}}) {
        r = e2e::run(append, o);
        EXPECT_NE(r.status, 0);
        EXPECT_FALSE(r.exists("/opt/Logs/bbu/logs"));
    }
}

// The interposer preloaded by the launcher, but no world named: /opt/. is a
// directory on any machine, so a read that reached it would say so.
TEST(BbusimLauncherTest, WithoutAWorldMachinePathsDoNotExist)
{
    e2e::Run r = e2e::run({"env", "BBUSIM_WORLD=", "cat", "/opt/."});
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("cat: /opt/.: No such file or directory"));
}

TEST(BbusimLauncherTest, HelpAndVersion)
{
    e2e::Run help = e2e::run_program({BBUSIM_PATH, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out,
                AllOf(StartsWith("Usage: bbusim "), HasSubstr("--scenario"),
                      HasSubstr("--transcript"), HasSubstr("--root"), HasSubstr("--adapter"),
                      HasSubstr("--real-time"), HasSubstr("--no-log-dir")));
    e2e::Run version = e2e::run_program({BBUSIM_PATH, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.out, StartsWith("bbusim "));
}

TEST(BbusimLauncherTest, ScenarioExamplesAreAccepted)
{
    for (const char *name :
         {"sim_default_world.scn", "sim_device_state.scn", "sim_faults.scn", "sim_clock.scn"}) {
        e2e::Run r = e2e::run(
            {"true"}, {.launcher_args = {"--scenario", std::string(BBU_TEST_DATA) + "/" + name}});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
    }
}

}  // namespace
