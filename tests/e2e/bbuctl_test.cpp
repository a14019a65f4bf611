// bbuctl and battsnap under bbusim as golden sessions: each file of
// tests/data/golden/{bbuctl,battsnap}/ that names shell lines (e2e::Script)
// is a test. Each line runs in a fresh simulated world with the file's
// scenario, in an emptied directory; its exit status, both streams, the
// trace log, the whole bus transcript and then the files the header names
// are compared with the rest of the file. What a session cannot show stays
// a plain test below.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "e2e_harness.h"

namespace {

e2e::Run shell(const std::string &script, const std::string &scenario = "")
{
    e2e::Options o;
    o.scenario = scenario;
    const char *path = std::getenv("PATH");
    o.env.push_back(std::string("PATH=") + BBU_TOOLS_DIR + ":" + (path ? path : "/usr/bin:/bin"));
    return e2e::run({"sh", "-c", "cd \"$0\" && " + script, e2e::test_dir()}, o);
}

// A command on a terminal made by script(1), which itself leaks under the
// sanitizer runtime that a sanitized build preloads.
const std::string kScript = "ASAN_OPTIONS=detect_leaks=0 script -qec ";

class Session : public ::testing::TestWithParam<e2e::Script> {
protected:
    void check(const std::string &family)
    {
        const e2e::Script &s = GetParam();
        const std::string dir = e2e::test_dir() + "/";
        std::vector<std::string> lines = s.header;
        lines.emplace_back("---");
        for (const std::string &run : s.runs) {
            for (const auto &e : std::filesystem::directory_iterator(dir))
                if (!e.path().filename().string().starts_with("run"))
                    std::filesystem::remove_all(e.path());
            if (s.runs.size() > 1)
                lines.push_back("run| " + run);
            const std::vector<std::string> session = e2e::session(shell(run, s.scenario));
            lines.insert(lines.end(), session.begin(), session.end());
            for (const std::string &name : s.files) {
                if (!std::filesystem::is_regular_file(dir + name)) {
                    lines.push_back("file| " + name + ": none");
                    continue;
                }
                const std::string bytes = e2e::read_file(dir + name);
                lines.push_back("file| " + name + " (" + std::to_string(bytes.size()) + " bytes)");
                for (const std::string &line : golden::hex_lines(
                         "file", reinterpret_cast<const unsigned char *>(bytes.data()),
                         bytes.size()))
                    lines.push_back(line);
            }
        }
        e2e::check_golden(family, s.name, lines);
    }
};

class Bbuctl : public Session {};
class Battsnap : public Session {};

TEST_P(Bbuctl, Session)
{
    check("bbuctl");
}

TEST_P(Battsnap, Session)
{
    check("battsnap");
}

const auto kName = [](const auto &info) {
    return std::string(info.param.name);
};
INSTANTIATE_TEST_SUITE_P(golden, Bbuctl,
                         ::testing::ValuesIn(e2e::scripts("bbuctl", {"device_choices"})), kName);
INSTANTIATE_TEST_SUITE_P(golden, Battsnap, ::testing::ValuesIn(e2e::scripts("battsnap")), kName);

// Every change and read under every BBU the documents allow: the default,
// each other choice alone, and all the least helpful at once. A change
// exits 0 only with what it reports then read back (the header, the
// validation, the VPD, the light); a reset that cannot see the restart exits
// 3; nothing fails without a fault. One line a command: its exit status and
// its last lines.
TEST(Bbuctl, EveryDeviceChoice)
{
    const std::string choices =
        "# the default device\ndevice response-header random\ndevice response-check random\n"
        "device response-padding random\ndevice idle-response random\ndevice status-tail zeros\n"
        "device status-tail random\ndevice clear-status keeps power-up\n"
        "device clear-status keeps errors\ndevice power-up start set\n"
        "device power-up restart keeps\ndevice command-byte zero\ndevice command-byte random\n"
        "device i2c-busy-bit during-command\ndevice validate-time 10\ndevice program-time 10\n"
        "device version-byte keeps\ndevice valid-image-bit never\ndevice valid-image-bit always\n"
        "device blank-memory zeros\ndevice blank-memory random\ndevice block-counter random\n"
        "device nack EREMOTEIO\nvpd-write-cycle 10000\nreset-polls 29\ndevice strict\n";
    const std::string script =
        "bbusim-mkimage -v 6 -s 640 a.img >/dev/null; for c in '-y flash a.img' "
        "'dump 0x1000 8' validate '-y vpd set-codelevel Z9' 'vpd check' '-y light set 3' light "
        "'-y reset soft' '-y reset hard'; do bbuctl $c >o 2>e; echo \"$c: exit $? | $(tail -n1 "
        "o) | $(tail -n1 e)\"; done";
    std::vector<std::string> lines;
    for (const std::string &choice : e2e::lines(choices)) {
        lines.push_back("scenario| " + choice);
        for (const std::string &line : e2e::lines(shell(script, choice + "\n").out))
            lines.push_back("out| " + line);
    }
    e2e::check_golden("bbuctl", "device_choices", lines);
}

// With -v, the library's console output on both streams and bbuctl's own
// result reach one file a whole line at a time: a failing read's message
// never lands inside a line of a hex dump. The retries absorb the faults.
TEST(Bbuctl, VerboseLinesStayWholeInOneFile)
{
    std::string faults;
    for (int i = 0; i < 40; ++i)
        faults += "fault fail 60 read skip " + std::to_string(2 * i) + "\n";
    EXPECT_EQ(shell("bbuctl -v dump 0 0x4000 >all 2>&1", faults).status, 0);
    const std::regex whole("the ioctl (read|write) command worked, rc: 1|"
                           "time zs writing I2c addr 40 cmd e0|The Ioctl read failed rc: -1 |"
                           "[0-9a-f]{8}:( [0-9a-f]{2}){16}");
    int failures = 0, dumped = 0;
    for (const std::string &line : e2e::lines(e2e::read_file(e2e::test_dir() + "/all"))) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
        failures += line == "The Ioctl read failed rc: -1 " ? 1 : 0;
        dumped += line.size() == 57 ? 1 : 0;
    }
    EXPECT_EQ(failures, 40);
    EXPECT_EQ(dumped, 0x4000 / 16);
}

// On a terminal a change asks first: declined, nothing reaches the bus; the
// answer's wait shows in the bus transcript as the terminal program's pauses,
// so the sessions here are not golden.
TEST(Bbuctl, ChangesAskOnATerminal)
{
    for (const char *answer : {"y", "n"}) {
        const e2e::Run r = shell(std::string("echo ") + answer + " | " + kScript +
                                 "'bbuctl light set 3' /dev/null");
        std::vector<std::string> writes;
        for (const std::string &e : r.events())
            if (e.starts_with("write"))
                writes.push_back(e);
        EXPECT_EQ(r.status, *answer == 'y' ? 0 : 1) << r.out;
        EXPECT_EQ(writes, *answer == 'y' ? std::vector<std::string>{"write 0x40 3 : c2 23 e5 -> 3"}
                                         : std::vector<std::string>{});
        EXPECT_NE(r.out.find("Continue? [y/N] "), std::string::npos);
    }
}

// On a terminal, while another program holds the adapter's lock: who holds
// it and the time left, then the give-up message, each in place.
TEST(Bbuctl, NamesTheLockHolderOnATerminal)
{
    const e2e::Run r = shell("flock /dev/i2c-0b env " + kScript + "'bbuctl -w 1 status' /dev/null");
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("\rbbuctl: status: waiting for the adapter's lock, held by pid [0-9]+ "
                          "\\(flock\\): 1 s left\x1b\\[K\r(.*\r)*\x1b\\[Kbbuctl: status: the "
                          "adapter /dev/i2c-0b is in use by pid [0-9]+ \\(flock\\): gave up "
                          "waiting after 1 s \\(-w, --lock-wait\\)\r\n")))
        << r.out;
}

}  // namespace
