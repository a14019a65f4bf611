// The record file of a good capture against the golden record, a record that
// cannot be written, and the verbose output.
#include <fstream>

#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;
using namespace ::testing;

// A record that cannot be written is never lost silently: the message names
// the part that failed, the status is 255, and what was written stays. The
// size limit holds for standard error too: every limit leaves room for the
// message.
const std::string kStateSaveNotWritten = "battsnap: Error writing the BBU state save information\n";
const std::string kStringNotWritten = "battsnap: Error writing the BBU BSS\n";

struct RecordCase {
    const char *name;
    std::string file;
    int strings;
    std::string err;     // none for a good capture
    std::size_t kept;    // bytes of the golden record in the file
    long sizeLimit = 0;  // bytes a file may grow to; 0 for no limit
};

const RecordCase kRecords[] = {
    {"OneString", "state.bin", 1, "", 145},
    {"TwoStringsFortyNineCharacterName", std::string(45, 'r') + ".bin", 2, "", 177},
    {"ThreeStrings", "state.bin", 3, "", 209},
    {"DeviceFull", "/dev/full", 3, kStateSaveNotWritten, 0},
    {"NoSuchDirectory", "no/such/dir/state.bin", 3, "battsnap: Error opening output file\n", 0},
    {"FullInStateSave", "limited.bin", 3, kStateSaveNotWritten, 60, 60},
    {"FullInGeneralStatus", "limited.bin", 3, "battsnap: Error writing the BBU GSS\n", 100, 100},
    {"FullInFirstString", "limited.bin", 1, kStringNotWritten, 120, 120},
    {"FullInThirdString", "limited.bin", 3, kStringNotWritten, 200, 200},
};

class RecordFile : public TestWithParam<RecordCase> {};

TEST_P(RecordFile, BytesInOrderOrAMessageAndStatus255)
{
    const RecordCase &c = GetParam();
    // An older, longer file of the same name is replaced, not appended to.
    const bool inTestDir = c.file.find('/') == std::string::npos;
    if (inTestDir)
        std::ofstream(scratchFile(c.file)) << std::string(1000, 'x');
    e2e::Run r =
        runBattsnap({"-b", std::to_string(c.strings), "-f", c.file}, kDistinct, c.sizeLimit);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 255);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    if (inTestDir) {
        EXPECT_EQ(e2e::read_file(scratchFile(c.file)), goldenRecord(c.kept));
    }
}

INSTANTIATE_TEST_SUITE_P(Capture, RecordFile, ValuesIn(kRecords), bbutest::ByName());

// Verbose: each poll's status and each block header on standard error, the
// finished status on standard output between the library's transfer lines;
// the capture's own lines never reach the trace log.
TEST(Verbose, PollsHeadersAndStatusDumps)
{
    e2e::Run r = runBattsnap({"-v", "-b", "1"}, kDistinct);
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
    EXPECT_THAT(r.trace_log(),
                AllOf(HasSubstr("the ioctl read command worked"), Not(HasSubstr("verifyBBUop")),
                      Not(HasSubstr("readBBU")), Not(HasSubstr("GSS data")),
                      Not(HasSubstr("BBU Battery Number"))));
}

}  // namespace
