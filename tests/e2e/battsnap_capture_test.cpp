// A good capture: the conversation on the bus, the record file and the report
// byte for byte, the verbose output, and a record file that cannot be written.
#include <fstream>

#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;

// ---------------------------------------------------------------------------
// The conversation: read the status; for the state save and then each string
// write the command, poll the status until the BBU is done, read the block.
// Every transfer comes after a pause of the chosen length.

struct Conversation {
    int strings;
    unsigned sleepUs;
};

void PrintTo(const Conversation &c, std::ostream *os)
{
    *os << c.strings << " strings, " << c.sleepUs << " us";
}

std::vector<std::string> expectedTransfers(int strings, int busyPolls)
{
    const std::vector<std::string> commands = {"c8 00 c8", "c4 01 c5", "c4 02 c6", "c4 03 c7"};
    std::vector<std::string> t = {"read 0x40 33 -> 33"};
    for (int c = 0; c <= strings; ++c) {
        t.push_back("write 0x40 3 : " + commands[c] + " -> 3");
        for (int poll = 0; poll <= busyPolls; ++poll)
            t.push_back("read 0x40 33 -> 33");
        t.push_back(c == 0 ? "read 0x60 86 -> 86" : "read 0x60 38 -> 38");
    }
    return t;
}

class GoodConversation : public ::testing::TestWithParam<Conversation> {};

TEST_P(GoodConversation, FramesReadsAndPacingInOrder)
{
    const Conversation &c = GetParam();
    e2e::Run r = runBattsnap({"-t", std::to_string(c.sleepUs), "-b", std::to_string(c.strings)},
                             distinctScenario() + "busy-polls 1\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "New sleep Time: " + std::to_string(c.sleepUs) + "\n");

    const std::vector<Event> ev = events(r);
    ASSERT_FALSE(ev.empty());
    EXPECT_TRUE(startsWith(ev.front().text, "open /dev/i2c-0b -> ")) << ev.front().text;
    EXPECT_EQ(transferShapes(r), expectedTransfers(c.strings, 1));

    // Each transfer directly follows its own pause, and virtual time has
    // advanced by at least that pause since the transfer before.
    std::uint64_t lastTransfer = 0;
    bool paused = false;
    for (const Event &e : ev) {
        if (startsWith(e.text, "sleep ")) {
            EXPECT_FALSE(paused) << "two pauses before one transfer";
            EXPECT_EQ(e.text, "sleep " + std::to_string(c.sleepUs));
            paused = true;
        } else if (isTransfer(e.text)) {
            EXPECT_TRUE(paused) << "no pause before: " << e.text;
            EXPECT_GE(e.us - lastTransfer, c.sleepUs) << e.text;
            lastTransfer = e.us;
            paused = false;
        }
    }
    EXPECT_EQ(countEvents(r, "sleep "), static_cast<int>(expectedTransfers(c.strings, 1).size()));
    EXPECT_EQ(ev.back().text, "exit 0");
}

INSTANTIATE_TEST_SUITE_P(Capture, GoodConversation,
                         ::testing::Values(Conversation{1, 0}, Conversation{2, 0},
                                           Conversation{3, 0}, Conversation{1, 100000},
                                           Conversation{2, 100000}, Conversation{3, 100000}),
                         [](const auto &info) {
                             return std::to_string(info.param.strings) + "Strings" +
                                    std::to_string(info.param.sleepUs) + "us";
                         });

// A BBU that needs more polls: the wait polls until the command is done, up
// to five status reads.
class BusyPolls : public ::testing::TestWithParam<int> {};

TEST_P(BusyPolls, PollsUntilDoneThenReadsTheBlock)
{
    const int busy = GetParam();
    e2e::Run r =
        runBattsnap({"-b", "1"}, distinctScenario() + "busy-polls " + std::to_string(busy) + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(transferShapes(r), expectedTransfers(1, busy));
    EXPECT_EQ(r.out, goldenReport(1));
}

INSTANTIATE_TEST_SUITE_P(Capture, BusyPolls, ::testing::Values(0, 1, 2, 4));

// ---------------------------------------------------------------------------
// Record file and report against the golden files of the distinctive BBU.

class Golden : public ::testing::TestWithParam<int> {};

TEST_P(Golden, RecordFileHoldsTheBytesInOrder)
{
    const int strings = GetParam();
    const std::string file = scratchFile("state.bin");
    e2e::Run r = runBattsnapInTestDir({"-b", std::to_string(strings), "-f", "state.bin"},
                                      distinctScenario());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const std::size_t size = 80 + 33 + 32 * static_cast<std::size_t>(strings);
    EXPECT_EQ(e2e::read_file(file), goldenRecord().substr(0, size));
}

TEST_P(Golden, ReportMatchesAndNoFileIsWritten)
{
    const int strings = GetParam();
    e2e::Run r = runBattsnap({"-b", std::to_string(strings)}, distinctScenario());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, goldenReport(strings));
    // Nothing but the simulator's own files in the run's directory.
    for (const auto &entry : std::filesystem::directory_iterator(r.dir)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "root" || name == "transcript" || name == "stdout" ||
                    name == "stderr" || name == "scenario.scn")
            << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Capture, Golden, ::testing::Values(1, 2, 3));

TEST(RecordFile, ExistingFileIsReplacedNotAppended)
{
    const std::string file = scratchFile("old.bin");
    {
        std::ofstream old(file, std::ios::binary);
        old << std::string(1000, 'x');
    }
    e2e::Run r = runBattsnapInTestDir({"-b", "1", "-f", "old.bin"}, distinctScenario());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::read_file(file), goldenRecord().substr(0, 145));
}

TEST(RecordFile, FortyNineCharacterNameIsTaken)
{
    const std::string fileName = std::string(45, 'r') + ".bin";
    ASSERT_EQ(fileName.size(), 49u);
    e2e::Run r = runBattsnapInTestDir({"-b", "2", "-f", fileName}, distinctScenario());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::read_file(scratchFile(fileName)), goldenRecord().substr(0, 177));
}

// ---------------------------------------------------------------------------
// A record that cannot be written is never lost silently: the message names
// the part that failed, the status is 255, and what was written stays.

struct WriteFailure {
    const char *name;
    std::string target;  // "" for a file in the test directory
    long sizeLimit;      // bytes a file may grow to; 0 for no limit
    int strings;
    std::string err;
    std::size_t kept;  // bytes of the golden record left in the file
};

void PrintTo(const WriteFailure &c, std::ostream *os)
{
    *os << c.name;
}

// The size limit holds for standard error too: every limit leaves room for
// the message.
const WriteFailure kWriteFailures[] = {
    {"DeviceFull", "/dev/full", 0, 3, "battsnap: Error writing the BBU state save information\n",
     0},
    {"NoSuchDirectory", "no/such/dir/state.bin", 0, 3, "battsnap: Error opening output file\n", 0},
    {"FullInStateSave", "", 60, 3, "battsnap: Error writing the BBU state save information\n", 60},
    {"FullInGeneralStatus", "", 100, 3, "battsnap: Error writing the BBU GSS\n", 100},
    {"FullInFirstString", "", 120, 1, "battsnap: Error writing the BBU BSS\n", 120},
    {"FullInThirdString", "", 200, 3, "battsnap: Error writing the BBU BSS\n", 200},
};

class RecordWriteFailure : public ::testing::TestWithParam<WriteFailure> {};

TEST_P(RecordWriteFailure, ErrorMessageStatus255AndNoReport)
{
    const WriteFailure &c = GetParam();
    const std::string file = c.target.empty() ? "limited.bin" : c.target;
    e2e::Run r = runBattsnapInTestDir({"-b", std::to_string(c.strings), "-f", file},
                                      distinctScenario(), c.sizeLimit);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    if (c.target.empty()) {
        EXPECT_EQ(e2e::read_file(scratchFile(file)), goldenRecord().substr(0, c.kept));
    }
}

INSTANTIATE_TEST_SUITE_P(Capture, RecordWriteFailure, ::testing::ValuesIn(kWriteFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Verbose: each poll's status and each block header on standard error, the
// finished status on standard output between the library's transfer lines;
// the capture's own lines never reach the trace log.

TEST(Verbose, PollsHeadersAndStatusDumps)
{
    e2e::Run r = runBattsnap({"-v", "-b", "1"}, distinctScenario() + "busy-polls 1\n");
    ASSERT_EQ(r.status, 0) << r.err;

    // The first poll sees the command in progress (0x80 in byte 0; byte 1 is
    // pinned by the scenario); byte 5 was cleared by the command.
    const std::string busy = "verifyBBUopComplete: GSS: 0xb5ca0a20 0x8a0010e7\n";
    const std::string done = "verifyBBUopComplete: GSS: 0x35ca0a20 0x8a0010e7\n";
    EXPECT_EQ(
        r.err,
        busy + done + "readBBUstatesave: Cmd: 0xc8 00 c8  SARX Header data: 0xc8 01 50 00 01 \n" +
            busy + done +
            "readBBUbatterystringstatus: Cmd: 0xc4 01 c5  SARX Header data: 0xc4 02 20 00 01 \n");

    const std::string read = "the ioctl read command worked, rc: 1\n";
    const std::string wrote = "the ioctl write command worked, rc: 1\n";
    const std::string gssData = "GSS data:\n"
                                "    0x35ca0a20 8a0010e7 0012d687 beef2140\n"
                                "    0x12343000 019a0e10 02587f80 c33c0517\n";
    EXPECT_EQ(r.out, read + "time zs writing I2c addr 40 cmd c8\n" + wrote + read + read + gssData +
                         read + "time zs writing I2c addr 40 cmd c4\n" + wrote + read + read +
                         gssData + read + goldenReport(1));

    const std::string trace = r.trace_log();
    EXPECT_NE(trace.find("the ioctl read command worked"), std::string::npos)
        << "transfers are traced";
    for (const char *own : {"verifyBBUopComplete", "readBBU", "GSS data", "BBU Battery Number"})
        EXPECT_EQ(trace.find(own), std::string::npos) << own;
}

TEST(Verbose, QuietRunTracesNothing)
{
    e2e::Run r = runBattsnap({"-b", "1"}, distinctScenario());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.trace_log(), "");
}

}  // namespace
