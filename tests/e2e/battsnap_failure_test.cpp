// battsnap on a failing device: every failure ends the run with its messages
// in order on standard error, status 255, no report and no record file; the
// transcript shows the retries that came before. Faults one attempt short of
// the limit are ridden out.
#include <filesystem>

#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;
using namespace ::testing;
using bbutest::transfers;

const std::string kCannotGss =
    "battsnap: Failure reading BBU General Status;\n                  cannot proceed\n";

// A reader's own line, then the end of the run.
std::string saveFails(const std::string &what)
{
    return "readBBUstatesave: " + what +
           "battsnap: Failure reading BBU StateSave data;\n                  cannot proceed\n";
}
std::string stringFails(const std::string &what)
{
    return "readBBUbatterystringstatus: " + what +
           "battsnap: Failure reading BBU Batttery String Status;\n                  cannot "
           "proceed\n";
}

const std::string kSaveCommandFails =
    saveFails("Failure on 'read state save' command to prepare to read the state save data\n");
const std::string kStringCommandFails = stringFails(
    "Failure on 'read Battery String Sttaus' command to prepare to read the history log\n");
const std::string kNoGss = "verifyBBUopComplete: Failure to read GSS\n";
const std::string kTimedOut =
    "verifyBBUopComplete: Timed out waiting for BBU Operation to complete\n";
const std::string kNoSum = "CheckSum Error -- Actual:0x00 Expected:0x00\n";
const std::string kNoEcho = "Command was not echoed in Header. expected: ";
const std::string kBlockIndex = "Block index not as expected. expected: 0x00 Actual: ";

std::string detected(const std::string &gss4, const std::string &gss5)
{
    return "verifyBBUopComplete: BBU detected error\n                     GSS[4]: " + gss4 +
           "\n                     GSS[5]: " + gss5 + "\n";
}

struct DeviceFailure {
    const char *name;
    // Transfers before giving up: status reads and command writes at 0x40, block reads at 0x60.
    std::size_t statusReads, writes, blocks;
    std::string faults;  // scenario lines added to the distinctive BBU
    std::string err;
    const char *strings = nullptr;  // the -b value; battsnap's own default when none
    std::string out = "";           // only the library's report of a failed open goes here
};

// In the distinctive BBU status byte 4 is 0x8a and a command clears byte 5.
// Its state-save block sums to 0x2b and string 2's (third command) to 0xee;
// a corrupted check byte arrives inverted.
const DeviceFailure kFailures[] = {
    // Opening the adapter.
    {"OpenNoSuchFile", 0, 0, 0, "fault open ENOENT\n",
     "i2c open failed: No such file or directory\nbattsnap: Error opening i2c device -1\n", nullptr,
     "I2C open failed, rc = -1 \n"},
    {"OpenDenied", 0, 0, 0, "fault open EACCES\n",
     "i2c open failed: Permission denied\nbattsnap: Error opening i2c device -1\n", nullptr,
     "I2C open failed, rc = -1 \n"},
    // The general status.
    {"GssCheckByteWrongFiveTimes", 5, 0, 0, "fault gss-check count 5\n", kCannotGss},
    {"GssReadFailsFiveTimes", 5, 0, 0, "fault fail 40 read count 5\n", kCannotGss},
    {"GssReadShortFiveTimes", 5, 0, 0, "fault short 40 32 read count 5\n", kCannotGss},
    // The state save: command, wait, block, header.
    {"SaveWriteFailsFiveTimes", 1, 5, 0, "fault fail 40 write count 5\n", kSaveCommandFails},
    {"SaveWriteShortFiveTimes", 1, 5, 0, "fault short 40 2 write count 5\n", kSaveCommandFails},
    {"SaveNoValidStatus", 6, 1, 0, "fault gss-check count 5 on c8\n", kNoGss + kSaveCommandFails},
    {"SaveStillBusyAtFifthPoll", 6, 1, 0, "fault busy 5 on c8\n", kTimedOut + kSaveCommandFails},
    {"SaveErrorInByte4", 3, 1, 0, "fault error-bits 4 04 on c8\n",
     detected("0x8e", "0x00") + kSaveCommandFails},
    {"SaveCheckByteWrongFiveTimes", 3, 1, 5, "fault block-check count 5 on c8\n",
     saveFails("CheckSum Error -- Actual:0xd4 Expected:0x2b\n")},
    {"SaveBlockReadFailsFiveTimes", 3, 1, 5, "fault fail 60 read count 5\n", saveFails(kNoSum)},
    {"SaveBlockShortFiveTimes", 3, 1, 5, "fault short 60 85 read count 5\n", saveFails(kNoSum)},
    {"SaveExpectedFromLastWholeBlock", 3, 1, 5,
     "fault block-check count 1 on c8\nfault fail 60 read count 4 skip 1\n",
     saveFails("CheckSum Error -- Actual:0x00 Expected:0x2b\n")},
    {"SaveWrongEcho", 3, 1, 1, "fault echo c4 on c8\n", saveFails(kNoEcho + "0xc8 Actual: 0xc4\n")},
    {"SaveBlockNumberOne", 3, 1, 1, "fault block-number 01 on c8\n",
     saveFails(kBlockIndex + "0x01\n")},
    {"SaveBlockCountZero", 3, 1, 1, "fault block-count 00 on c8\n",
     saveFails("Block index exceeded maximum allowed. expected: 0x00 Actual: 0x00\n")},
    {"SaveEchoCheckedFirst", 3, 1, 1,
     "fault echo 00 on c8\nfault block-number 05 on c8\nfault block-count 00 on c8\n",
     saveFails(kNoEcho + "0xc8 Actual: 0x00\n")},
    {"SaveBlockNumberBeforeCount", 3, 1, 1,
     "fault block-number ff on c8\nfault block-count 00 on c8\n",
     saveFails(kBlockIndex + "0xff\n")},
    // Battery string 2 of 3: string 1 has been read, string 3 is never asked for.
    {"String2WriteFailsFiveTimes", 5, 7, 2, "fault fail 40 write count 5 skip 2\n",
     kStringCommandFails},
    {"String2StillBusyAtFifthPoll", 10, 3, 2, "fault busy 5 on c4 02\n",
     kTimedOut + kStringCommandFails},
    {"String2ErrorInByte5", 7, 3, 2, "fault error-bits 5 08 on c4 02\n",
     detected("0x8a", "0x08") + kStringCommandFails},
    {"String2CheckByteWrongFiveTimes", 7, 3, 7, "fault block-check count 5 on c4 02\n",
     stringFails("CheckSum Error -- Actual:0x11 Expected:0xee\n")},
    {"String2EchoesStateSave", 7, 3, 3, "fault echo c8 on c4 02\n",
     stringFails(kNoEcho + "0xc4 Actual: 0xc8\n")},
    // The first and the last string.
    {"OnlyStringFails", 5, 2, 1, "fault error-bits 4 40 on c4 01\n",
     detected("0xca", "0x00") + kStringCommandFails, "1"},
    {"LastStringFails", 9, 4, 4, "fault echo c3 on c4 03\n",
     stringFails(kNoEcho + "0xc4 Actual: 0xc3\n"), "3"},
};

class DeviceFailureRun : public TestWithParam<DeviceFailure> {};

TEST_P(DeviceFailureRun, MessagesInOrderStatus255NoReportNoFile)
{
    const DeviceFailure &c = GetParam();
    // Once as for a report, once with a record file that must not appear.
    for (bool toFile : {false, true}) {
        std::vector<std::string> args;
        if (c.strings != nullptr)
            args.insert(args.end(), {"-b", c.strings});
        if (toFile)
            args.insert(args.end(), {"-f", "record.bin"});
        e2e::Run r = runBattsnap(args, kDistinct + c.faults);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, c.out);
        using bbutest::Dir;
        const std::size_t seen[] = {transfers(r.transcript, 0x40, Dir::read).size(),
                                    transfers(r.transcript, 0x40, Dir::write).size(),
                                    transfers(r.transcript, 0x60, Dir::read).size()};
        EXPECT_THAT(seen, ElementsAre(c.statusReads, c.writes, c.blocks));
        EXPECT_EQ(transfers(r.transcript).size(), seen[0] + seen[1] + seen[2]) << "other transfers";
    }
    EXPECT_FALSE(std::filesystem::exists(scratchFile("record.bin")));
}

INSTANTIATE_TEST_SUITE_P(Device, DeviceFailureRun, ValuesIn(kFailures), bbutest::ByName());

TEST(DeviceRecovery, FaultsShortOfTheLimitAreRiddenOut)
{
    const struct {
        std::string faults;
        std::size_t transfers;  // all transfers of the capture of 1 string, retries included
    } rows[] = {
        {"fault gss-check count 4\n", 9 + 4},
        {"fault fail 40 write count 4\n", 9 + 4},
        // Every status read is a poll: the command finishes behind the bad ones.
        {"fault gss-check count 4 on c8\n", 9 + 3},
        {"fault busy 4 on c8\n", 9 + 3},
        {"fault block-check count 4 on c4 01\n", 9 + 4},
        {"fault short 60 10 read count 4\n", 9 + 4},
        // Not errors of a finished command: byte 4's 0x80, 0x08 and 0x02 (set in
        // the distinctive BBU) and 0x01, byte 5's flash checksum 0x04, byte 6.
        {"fault error-bits 4 01 on c8\n", 9},
        {"fault error-bits 5 04 on c8\n", 9},
        {"fault error-bits 6 ff on c8\n", 9},
    };
    for (const auto &row : rows) {
        e2e::Run r = runBattsnap({"-b", "1"}, kDistinct + row.faults);
        EXPECT_EQ(r.status, 0) << row.faults << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(transfers(r.transcript).size(), row.transfers) << row.faults;
        EXPECT_EQ(r.out, goldenReport(1)) << row.faults;
    }
}

// Every error bit of a finished command, on its own, with both bytes shown.
TEST(DeviceFailure, EveryErrorBitIsDetected)
{
    const std::pair<int, unsigned> bits[] = {{4, 0x40}, {4, 0x20}, {4, 0x10}, {4, 0x04},
                                             {5, 0x80}, {5, 0x40}, {5, 0x20}, {5, 0x10},
                                             {5, 0x08}, {5, 0x02}, {5, 0x01}};
    for (const auto &[byte, mask] : bits) {
        const std::uint8_t gss[2] = {static_cast<std::uint8_t>(byte == 4 ? mask : 0),
                                     static_cast<std::uint8_t>(byte == 5 ? mask : 0)};
        e2e::Run r = runBattsnap({}, "status 4 00 00\nfault error-bits " + std::to_string(byte) +
                                         " " + bbutest::hex(&gss[byte - 4], 1) + " on c8\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, detected("0x" + bbutest::hex(gss, 1), "0x" + bbutest::hex(gss + 1, 1)) +
                             kSaveCommandFails);
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(transfers(r.transcript, 0x60), IsEmpty()) << "a block was read";
    }
}

// Descriptor 0 is no device: with standard input closed the adapter gets it,
// and the run stops.
TEST(DeviceOpen, DescriptorZeroCountsAsFailure)
{
    e2e::Run r = e2e::run({"sh", "-c", "exec \"$0\" <&-", "battsnap"}, battsnapOptions(kDistinct));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "battsnap: Error opening i2c device 0\n");
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.events(), ElementsAre("open /dev/i2c-0b -> 0", "exit 255"));
}

}  // namespace
