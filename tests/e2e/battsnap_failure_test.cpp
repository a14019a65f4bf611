// battsnap on a failing device: every failure ends the run with its messages
// in order on standard error, status 255, no report and no record file; the
// transcript shows the retries that came before.
#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;

const std::string kCannotGss =
    "battsnap: Failure reading BBU General Status;\n                  cannot proceed\n";
const std::string kCannotStateSave =
    "battsnap: Failure reading BBU StateSave data;\n                  cannot proceed\n";
const std::string kCannotString =
    "battsnap: Failure reading BBU Batttery String Status;\n                  cannot proceed\n";
const std::string kStateSaveCommand = "readBBUstatesave: Failure on 'read state save' command to "
                                      "prepare to read the state save data\n";
const std::string kStringCommand =
    "readBBUbatterystringstatus: Failure on 'read Battery String Sttaus' command to "
    "prepare to read the history log\n";
const std::string kNoGss = "verifyBBUopComplete: Failure to read GSS\n";
const std::string kTimedOut =
    "verifyBBUopComplete: Timed out waiting for BBU Operation to complete\n";

std::string detected(const char *gss4, const char *gss5)
{
    return std::string("verifyBBUopComplete: BBU detected error\n                     GSS[4]: ") +
           gss4 + "\n                     GSS[5]: " + gss5 + "\n";
}

struct DeviceFailure {
    const char *name;
    std::string faults;  // scenario lines added to the distinctive BBU
    std::vector<std::string> args;
    std::string err;
    std::string out;  // only the library's report of a failed open goes here
    // Transfers made before giving up.
    int statusReads;    // 33 bytes at 0x40
    int commandWrites;  // 3 bytes at 0x40
    int blockReads;     // at 0x60
};

void PrintTo(const DeviceFailure &c, std::ostream *os)
{
    *os << c.name;
}

// In the distinctive BBU status byte 4 is 0x8a and a command clears byte 5.
// Its state-save block sums to 0x2b and string 2's (third command) to 0xee;
// a corrupted check byte arrives inverted.
const DeviceFailure kFailures[] = {
    // Opening the adapter.
    {"OpenNoSuchFile",
     "fault open ENOENT\n",
     {},
     "i2c open failed: No such file or directory\nbattsnap: Error opening i2c device -1\n",
     "I2C open failed, rc = -1 \n",
     0,
     0,
     0},
    {"OpenDenied",
     "fault open EACCES\n",
     {},
     "i2c open failed: Permission denied\nbattsnap: Error opening i2c device -1\n",
     "I2C open failed, rc = -1 \n",
     0,
     0,
     0},

    // The general status.
    {"GssCheckByteWrongFiveTimes", "fault gss-check count 5\n", {}, kCannotGss, "", 5, 0, 0},
    {"GssReadFailsFiveTimes", "fault fail 40 read count 5\n", {}, kCannotGss, "", 5, 0, 0},
    {"GssReadShortFiveTimes", "fault short 40 32 read count 5\n", {}, kCannotGss, "", 5, 0, 0},
    {"BbuAbsent", "device 40 absent\n", {}, kCannotGss, "", 5, 0, 0},

    // The state save: command, wait, block, header.
    {"StateSaveWriteFailsFiveTimes",
     "fault fail 40 write count 5\n",
     {},
     kStateSaveCommand + kCannotStateSave,
     "",
     1,
     5,
     0},
    {"StateSaveWriteShortFiveTimes",
     "fault short 40 2 write count 5\n",
     {},
     kStateSaveCommand + kCannotStateSave,
     "",
     1,
     5,
     0},
    {"StateSaveNoValidStatus",
     "fault gss-check count 5 on c8\n",
     {},
     kNoGss + kStateSaveCommand + kCannotStateSave,
     "",
     6,
     1,
     0},
    {"StateSaveStillBusyAtFifthPoll",
     "fault busy 5 on c8\n",
     {},
     kTimedOut + kStateSaveCommand + kCannotStateSave,
     "",
     6,
     1,
     0},
    {"StateSaveErrorInByte4",
     "fault error-bits 4 04 on c8\n",
     {},
     detected("0x8e", "0x00") + kStateSaveCommand + kCannotStateSave,
     "",
     3,
     1,
     0},
    {"StateSaveErrorInByte5",
     "fault error-bits 5 01 on c8\n",
     {},
     detected("0x8a", "0x01") + kStateSaveCommand + kCannotStateSave,
     "",
     3,
     1,
     0},
    {"StateSaveCheckByteWrongFiveTimes",
     "fault block-check count 5 on c8\n",
     {},
     "readBBUstatesave: CheckSum Error -- Actual:0xd4 Expected:0x2b\n" + kCannotStateSave,
     "",
     3,
     1,
     5},
    {"StateSaveBlockReadFailsFiveTimes",
     "fault fail 60 read count 5\n",
     {},
     "readBBUstatesave: CheckSum Error -- Actual:0x00 Expected:0x00\n" + kCannotStateSave,
     "",
     3,
     1,
     5},
    {"StateSaveBlockShortFiveTimes",
     "fault short 60 85 read count 5\n",
     {},
     "readBBUstatesave: CheckSum Error -- Actual:0x00 Expected:0x00\n" + kCannotStateSave,
     "",
     3,
     1,
     5},
    {"StateSaveExpectedFromLastWholeBlock",
     "fault block-check count 1 on c8\nfault fail 60 read count 4 skip 1\n",
     {},
     "readBBUstatesave: CheckSum Error -- Actual:0x00 Expected:0x2b\n" + kCannotStateSave,
     "",
     3,
     1,
     5},
    {"StateSaveWindowAbsent",
     "device 60 absent\n",
     {},
     "readBBUstatesave: CheckSum Error -- Actual:0x00 Expected:0x00\n" + kCannotStateSave,
     "",
     3,
     1,
     5},
    {"StateSaveWrongEcho",
     "fault echo c4 on c8\n",
     {},
     "readBBUstatesave: Command was not echoed in Header. expected: 0xc8 Actual: 0xc4\n" +
         kCannotStateSave,
     "",
     3,
     1,
     1},
    {"StateSaveBlockNumberOne",
     "fault block-number 01 on c8\n",
     {},
     "readBBUstatesave: Block index not as expected. expected: 0x00 Actual: 0x01\n" +
         kCannotStateSave,
     "",
     3,
     1,
     1},
    {"StateSaveBlockCountZero",
     "fault block-count 00 on c8\n",
     {},
     "readBBUstatesave: Block index exceeded maximum allowed. expected: 0x00 Actual: 0x00\n" +
         kCannotStateSave,
     "",
     3,
     1,
     1},
    {"StateSaveEchoCheckedFirst",
     "fault echo 00 on c8\nfault block-number 05 on c8\nfault block-count 00 on c8\n",
     {},
     "readBBUstatesave: Command was not echoed in Header. expected: 0xc8 Actual: 0x00\n" +
         kCannotStateSave,
     "",
     3,
     1,
     1},
    {"StateSaveBlockNumberBeforeCount",
     "fault block-number ff on c8\nfault block-count 00 on c8\n",
     {},
     "readBBUstatesave: Block index not as expected. expected: 0x00 Actual: 0xff\n" +
         kCannotStateSave,
     "",
     3,
     1,
     1},

    // Battery string 2 of 3: string 1 has been read, string 3 is never asked for.
    {"String2WriteFailsFiveTimes",
     "fault fail 40 write count 5 skip 2\n",
     {},
     kStringCommand + kCannotString,
     "",
     5,
     7,
     2},
    {"String2NoValidStatus",
     "fault gss-check count 5 on c4 02\n",
     {},
     kNoGss + kStringCommand + kCannotString,
     "",
     10,
     3,
     2},
    {"String2StillBusyAtFifthPoll",
     "fault busy 5 on c4 02\n",
     {},
     kTimedOut + kStringCommand + kCannotString,
     "",
     10,
     3,
     2},
    {"String2ErrorInByte5",
     "fault error-bits 5 08 on c4 02\n",
     {},
     detected("0x8a", "0x08") + kStringCommand + kCannotString,
     "",
     7,
     3,
     2},
    {"String2CheckByteWrongFiveTimes",
     "fault block-check count 5 on c4 02\n",
     {},
     "readBBUbatterystringstatus: CheckSum Error -- Actual:0x11 Expected:0xee\n" + kCannotString,
     "",
     7,
     3,
     7},
    {"String2EchoesStateSave",
     "fault echo c8 on c4 02\n",
     {},
     "readBBUbatterystringstatus: Command was not echoed in Header. expected: 0xc4 Actual: 0xc8\n" +
         kCannotString,
     "",
     7,
     3,
     3},
    {"String2BlockNumberTwo",
     "fault block-number 02 on c4 02\n",
     {},
     "readBBUbatterystringstatus: Block index not as expected. expected: 0x00 Actual: 0x02\n" +
         kCannotString,
     "",
     7,
     3,
     3},
    {"String2BlockCountZero",
     "fault block-count 00 on c4 02\n",
     {},
     "readBBUbatterystringstatus: Block index exceeded maximum allowed. expected: 0x00 Actual: "
     "0x00\n" +
         kCannotString,
     "",
     7,
     3,
     3},

    // The first and the last string.
    {"OnlyStringFails",
     "fault error-bits 4 40 on c4 01\n",
     {"-b", "1"},
     detected("0xca", "0x00") + kStringCommand + kCannotString,
     "",
     5,
     2,
     1},
    {"LastStringFails",
     "fault echo c3 on c4 03\n",
     {"-b", "3"},
     "readBBUbatterystringstatus: Command was not echoed in Header. expected: 0xc4 Actual: 0xc3\n" +
         kCannotString,
     "",
     9,
     4,
     4},
};

int countShapes(const e2e::Run &r, const std::string &shape)
{
    int n = 0;
    for (const std::string &t : transferShapes(r))
        n += t == shape ? 1 : 0;
    return n;
}

class DeviceFailureRun : public ::testing::TestWithParam<DeviceFailure> {
protected:
    std::string scenario() const
    {
        return distinctScenario() + "busy-polls 1\n" + GetParam().faults;
    }
};

TEST_P(DeviceFailureRun, MessagesInOrderStatus255NoReport)
{
    const DeviceFailure &c = GetParam();
    e2e::Run r = runBattsnap(c.args, scenario());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);

    int statusReads = countShapes(r, "read 0x40 33 -> 33");
    for (const char *failed :
         {"read 0x40 33 -> EIO", "read 0x40 33 -> ENXIO", "read 0x40 33 -> 32"})
        statusReads += countShapes(r, failed);
    int blockReads = 0, writes = 0;
    for (const std::string &t : transferShapes(r)) {
        blockReads += startsWith(t, "read 0x60 ") ? 1 : 0;
        writes += startsWith(t, "write 0x40 3 :") ? 1 : 0;
    }
    EXPECT_EQ(statusReads, c.statusReads);
    EXPECT_EQ(writes, c.commandWrites);
    EXPECT_EQ(blockReads, c.blockReads);
    EXPECT_EQ(transferShapes(r).size(), static_cast<std::size_t>(statusReads + writes + blockReads))
        << "unexpected transfers";
}

TEST_P(DeviceFailureRun, NoRecordFileIsCreated)
{
    const DeviceFailure &c = GetParam();
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-f", "record.bin"});
    e2e::Run r = runBattsnapInTestDir(args, scenario());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, c.out);
    EXPECT_FALSE(std::filesystem::exists(scratchFile("record.bin")));
}

INSTANTIATE_TEST_SUITE_P(Device, DeviceFailureRun, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Faults that stop one attempt short of the limit are ridden out: the capture
// succeeds with the full report.

struct Recovered {
    const char *name;
    std::string faults;
    int transfers;  // all transfers of the capture of 1 string, retries included
};

void PrintTo(const Recovered &c, std::ostream *os)
{
    *os << c.name;
}

const Recovered kRecovered[] = {
    {"GssFourBadReads", "fault gss-check count 4\n", 9 + 4},
    {"CommandFourFailedWrites", "fault fail 40 write count 4\n", 9 + 4},
    // Every status read is a poll: the command finishes behind the bad ones.
    {"WaitFourBadReads", "fault gss-check count 4 on c8\n", 9 + 3},
    {"BusyForFourPolls", "fault busy 4 on c8\n", 9 + 3},
    {"BlockFourBadCheckBytes", "fault block-check count 4 on c4 01\n", 9 + 4},
    {"BlockFourShortReads", "fault short 60 10 read count 4\n", 9 + 4},
    // Not errors of a finished command: byte 4's 0x80, 0x08 and 0x02 (set in
    // the distinctive BBU) and 0x01, byte 5's flash checksum 0x04, byte 6.
    {"Byte4BitsThatAreNoError", "fault error-bits 4 01 on c8\n", 9},
    {"Byte5FlashChecksum", "fault error-bits 5 04 on c8\n", 9},
    {"Byte6Ignored", "fault error-bits 6 ff on c8\n", 9},
};

class RecoveredRun : public ::testing::TestWithParam<Recovered> {};

TEST_P(RecoveredRun, FullReportAfterRetries)
{
    const Recovered &c = GetParam();
    e2e::Run r = runBattsnap({"-b", "1"}, distinctScenario() + "busy-polls 1\n" + c.faults);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(transferShapes(r).size(), static_cast<std::size_t>(c.transfers));
    EXPECT_EQ(r.out, goldenReport(1));
}

INSTANTIATE_TEST_SUITE_P(Device, RecoveredRun, ::testing::ValuesIn(kRecovered),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Every error bit of a finished command, on its own.

struct ErrorBit {
    int byte;
    unsigned mask;
};

void PrintTo(const ErrorBit &c, std::ostream *os)
{
    *os << "byte " << c.byte << " mask " << c.mask;
}

class ErrorBitRun : public ::testing::TestWithParam<ErrorBit> {};

TEST_P(ErrorBitRun, DetectedWithBothBytesShown)
{
    const ErrorBit &c = GetParam();
    char mask[8];
    std::snprintf(mask, sizeof mask, "%02x", c.mask);
    e2e::Run r = runBattsnap({}, "status 4 00 00\nfault error-bits " + std::to_string(c.byte) +
                                     " " + mask + " on c8\n");
    char gss4[8], gss5[8];
    std::snprintf(gss4, sizeof gss4, "0x%02x", c.byte == 4 ? c.mask : 0u);
    std::snprintf(gss5, sizeof gss5, "0x%02x", c.byte == 5 ? c.mask : 0u);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, detected(gss4, gss5) + kStateSaveCommand + kCannotStateSave);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(Device, ErrorBitRun,
                         ::testing::Values(ErrorBit{4, 0x40}, ErrorBit{4, 0x20}, ErrorBit{4, 0x10},
                                           ErrorBit{4, 0x04}, ErrorBit{5, 0x80}, ErrorBit{5, 0x40},
                                           ErrorBit{5, 0x20}, ErrorBit{5, 0x10}, ErrorBit{5, 0x08},
                                           ErrorBit{5, 0x02}, ErrorBit{5, 0x01}),
                         [](const auto &info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Byte%dMask%02x", info.param.byte,
                                           info.param.mask);
                             return std::string(name);
                         });

// ---------------------------------------------------------------------------
// Descriptor 0 is no device: with standard input closed the adapter gets it,
// and the run stops.

TEST(DeviceOpen, DescriptorZeroCountsAsFailure)
{
    e2e::Run r =
        e2e::run({"sh", "-c", "exec \"$0\" <&-", "battsnap"}, battsnapOptions(distinctScenario()));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "battsnap: Error opening i2c device 0\n");
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.events().empty());
    EXPECT_EQ(r.events()[0], "open /dev/i2c-0b -> 0");
    EXPECT_EQ(transferShapes(r).size(), 0u);
}

}  // namespace
