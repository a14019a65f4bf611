// The launcher with real, unmodified programs: i2c-tools as a peer client,
// the shell and coreutils, exit statuses and the transcript.
#include <gtest/gtest.h>
#include <link.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "e2e_harness.h"

namespace {

// "0x31 0xce ..." as printed by i2ctransfer, one line of bytes.
std::vector<std::uint8_t> parse_hex_line(const std::string &line)
{
    std::vector<std::uint8_t> out;
    std::istringstream in(line);
    std::string word;
    while (in >> word)
        out.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

// End-around-carry sum, computed here from its definition.
std::uint8_t end_around_sum(const std::vector<std::uint8_t> &b, std::size_t n)
{
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        s += b[i];
        s = (s & 0xff) + (s >> 8);
    }
    return static_cast<std::uint8_t>(s);
}

bool has_i2ctransfer()
{
    return std::string(I2CTRANSFER_PATH).find("NOTFOUND") == std::string::npos;
}

TEST(BbusimLauncherTest, I2ctransferReadsTheGeneralStatusWithItsSumcheck)
{
    if (!has_i2ctransfer())
        GTEST_SKIP() << "i2ctransfer is not installed";
    e2e::Run r =
        e2e::run({I2CTRANSFER_PATH, "-y", "11", "r33@0x40"}, {.adapters = {"/dev/i2c-11"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto lines = e2e::lines(r.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 5), "0x31 ");
    auto bytes = parse_hex_line(lines[0]);
    ASSERT_EQ(bytes.size(), 33u);
    EXPECT_EQ(bytes[0] ^ bytes[1], 0xff);
    EXPECT_EQ(bytes[32], end_around_sum(bytes, 32));

    auto ev = r.events();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[0].rfind("open /dev/i2c-11 -> ", 0), 0u);
    EXPECT_EQ(ev[1].rfind("read 0x40 33 -> 33 : 31 ce ", 0), 0u);
    EXPECT_EQ(ev[2].rfind("close ", 0), 0u);
    EXPECT_EQ(ev[3], "exit 0");
}

TEST(BbusimLauncherTest, ConversationAcrossProcessesSharesOneBbuAndOneClock)
{
    if (!has_i2ctransfer())
        GTEST_SKIP() << "i2ctransfer is not installed";
    const std::string t = I2CTRANSFER_PATH;
    e2e::Run r =
        e2e::run({"sh", "-c",
                  t + " -y 11 w3@0x40 0xc8 0x00 0xc8 && sleep 1 && " + t + " -y 11 r33@0x40 && " +
                      t + " -y 11 r33@0x40 && " + t + " -y 11 r86@0x60"},
                 {.scenario = "state-save 0 de ad be ef\n", .adapters = {"/dev/i2c-11"}});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = e2e::lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    auto busy = parse_hex_line(lines[0]), done = parse_hex_line(lines[1]),
         block = parse_hex_line(lines[2]);
    EXPECT_EQ(busy[0] & 0x80, 0x80) << "the command written by the first process is in progress";
    EXPECT_EQ(done[0] & 0x80, 0);
    ASSERT_EQ(block.size(), 86u);
    EXPECT_EQ(block[0], 0xc8);
    EXPECT_EQ(block[2], 80);
    EXPECT_EQ(std::vector<std::uint8_t>(block.begin() + 5, block.begin() + 9),
              (std::vector<std::uint8_t>{0xde, 0xad, 0xbe, 0xef}));
    EXPECT_EQ(block[85], end_around_sum(block, 85));

    // The clock carried on from the shell's sleep into the next process.
    bool stamped = false;
    for (const auto &line : r.transcript)
        stamped = stamped || line.rfind("1.000000 read 0x40 33 -> 33", 0) == 0;
    EXPECT_TRUE(stamped) << ::testing::PrintToString(r.transcript);
}

TEST(BbusimLauncherTest, SleepTakesVirtualTimeOnly)
{
    auto start = std::chrono::steady_clock::now();
    e2e::Run r = e2e::run({"sleep", "30"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.transcript,
              (std::vector<std::string>{"0.000000 sleep 30000000", "30.000000 exit 0"}));
}

TEST(BbusimLauncherTest, ExitStatusAndSignalArePassedOn)
{
    e2e::Run exited = e2e::run({"sh", "-c", "exit 3"});
    EXPECT_EQ(exited.status, 3);
    EXPECT_EQ(exited.events(), std::vector<std::string>{"exit 3"});
    e2e::Run killed = e2e::run({"sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(killed.status, 128 + 15);
    EXPECT_EQ(killed.events(), std::vector<std::string>{"exit signal 15"});
}

struct LauncherError {
    const char *name;
    std::vector<std::string> command;
    std::string scenario;
    std::vector<std::string> launcher_args;
    int status;
    std::string message;  // expected in standard error
};

class BbusimLauncherErrorTest : public ::testing::TestWithParam<LauncherError> {};

TEST_P(BbusimLauncherErrorTest, ExitsWithItsStatusAndSaysWhy)
{
    const LauncherError &c = GetParam();
    std::vector<std::string> command = c.command;
    if (command[0] == "NOT-EXECUTABLE") {  // a file of the test's own, without execute bits
        command[0] = e2e::test_dir() + "/data.txt";
        std::FILE *f = std::fopen(command[0].c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("not a program\n", f);
        std::fclose(f);
        ASSERT_EQ(chmod(command[0].c_str(), 0644), 0);
    }
    e2e::Run r = e2e::run(command, {.scenario = c.scenario, .launcher_args = c.launcher_args});
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "the command did not run";
}

INSTANTIATE_TEST_SUITE_P(
    Errors, BbusimLauncherErrorTest,
    ::testing::Values(
        LauncherError{"BadScenarioLine",
                      {"echo", "ran"},
                      "status 0 31\n\nbogus 1\n",
                      {},
                      125,
                      "scenario.scn:3: unknown keyword 'bogus'"},
        LauncherError{"BadFaultLine",
                      {"echo", "ran"},
                      "fault fail 40 EWHAT\n",
                      {},
                      125,
                      "scenario.scn:1: fault fail: unknown errno 'EWHAT'"},
        LauncherError{"UnknownOption",
                      {"echo", "ran"},
                      "",
                      {"--frobnicate"},
                      125,
                      "unknown option '--frobnicate'"},
        LauncherError{"CommandNotFound",
                      {"bbusim-no-such-command"},
                      "",
                      {},
                      127,
                      "bbusim: bbusim-no-such-command: command not found"},
        LauncherError{
            "NotExecutable", {"NOT-EXECUTABLE"}, "", {}, 126, "data.txt: Permission denied"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BbusimLauncherTest, MissingScenarioFileIsALauncherError)
{
    e2e::Run r = e2e::run({"echo", "ran"}, {.launcher_args = {"--scenario", "/nonexistent/x.scn"}});
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("cannot read scenario /nonexistent/x.scn"), std::string::npos) << r.err;
}

TEST(BbusimLauncherTest, TraceLogDirectoryIsMappedIntoTheRoot)
{
    e2e::Run r = e2e::run({"sh", "-c", "echo hello >> /opt/Logs/bbu/logs/BBU.log"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.trace_log(), "hello\n");
}

TEST(BbusimLauncherTest, TraceLogDirectoryCanBeLeftOut)
{
    for (const e2e::Options &o : {e2e::Options{.launcher_args = {"--no-log-dir"}},
                                  e2e::Options{.scenario = "log-dir absent"}}) {
        e2e::Run r = e2e::run({"sh", "-c", "echo hello >> /opt/Logs/bbu/logs/BBU.log"}, o);
        EXPECT_NE(r.status, 0);
        EXPECT_FALSE(r.exists("/opt/Logs/bbu/logs"));
    }
}

// The sanitizer runtime this test program runs with ("" in a plain build): a
// preload of the (then equally sanitized) interposer must name it first.
std::string sanitizer_runtime_preload()
{
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *out) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("/libasan.so") != std::string::npos ||
                name.find("/libubsan.so") != std::string::npos) {
                *static_cast<std::string *>(out) += name + ":";
            }
            return 0;
        },
        &found);
    return found;
}

TEST(BbusimLauncherTest, WithoutAWorldMachinePathsDoNotExist)
{
    // /opt/. is a directory on any machine: a read that reached it would say so.
    e2e::Run r =
        e2e::run_program({"/bin/cat", "/opt/."},
                         {.env = {"LD_PRELOAD=" + sanitizer_runtime_preload() + BBUSIM_LIBRARY_PATH,
                                  "BBUSIM_WORLD="}});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
}

TEST(BbusimLauncherTest, HelpAndVersion)
{
    e2e::Run help = e2e::run_program({BBUSIM_PATH, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: bbusim ", 0), 0u);
    for (const char *option :
         {"--scenario", "--transcript", "--root", "--adapter", "--real-time", "--no-log-dir"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    e2e::Run version = e2e::run_program({BBUSIM_PATH, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("bbusim ", 0), 0u);
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
