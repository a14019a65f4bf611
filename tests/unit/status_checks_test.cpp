// The checked status read and its error-bit checks: results, the trace lines in
// their order, the process-wide global_GSS and checksumError, and what the
// caller's buffer and the console get.
#include <bbu/bbu.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim_world_fixture.h"

using bbutest::CaptureStderr;
using bbutest::CaptureStdout;
using bbutest::GetCapturedStderr;
using bbutest::GetCapturedStdout;

namespace {

constexpr char kFill = '\x5a';

// The retry layer's lines around one successful 33-byte read.
const std::vector<std::string> kRetryLines{"Performing I2C commands with retry",
                                           "I2C command with retry, rc = 33", ""};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class CheckTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        SimWorldTest::SetUp();
        checksumError = 0;
        fd_ = open_I2C_device(0);
        ASSERT_GE(fd_, 0);
        std::memset(sar_.buffer, kFill, sizeof sar_.buffer);
    }
    void TearDown() override
    {
        close_I2C_device(fd_);
        checksumError = 0;
    }

    struct Result {
        int rc;
        std::string out, err;
    };

    Result checked_read(int verbose, sarbuf_t *outbuf)
    {
        CaptureStdout();
        CaptureStderr();
        int rc = read_and_print_status_with_checks(fd_, "TFB", outbuf, verbose);
        std::fflush(stdout);
        std::string out = GetCapturedStdout();
        return {rc, out, GetCapturedStderr()};
    }

    bool outbuf_untouched() const
    {
        return std::all_of(std::begin(sar_.buffer), std::end(sar_.buffer),
                           [](char b) { return b == kFill; });
    }

    int fd_ = -1;
    sarbuf_t sar_;
};
using statusChecks = CheckTest;

// ----------------------------------------------------------- bit checks

struct BitCase {
    int byte;
    unsigned char value;
    int rc;
    std::vector<std::string> messages;
    int checksum_error;
};

std::string bit_case_name(const BitCase &c)
{
    char name[16];
    std::snprintf(name, sizeof name, "Byte%dIs%02x", c.byte, c.value);
    return name;
}

void PrintTo(const BitCase &c, std::ostream *os)
{
    *os << bit_case_name(c);
}

const BitCase kBitCases[] = {
    {4, 0x00, 0, {}, 0},
    {4,
     0xfc,
     1,
     {"ERROR, Byte4, Bit7 is ON", "ERROR, Byte4, Bit6 is ON", "ERROR, Byte4, Bit5 is ON",
      "ERROR, Byte4, Bit4 is ON", "ERROR, Byte4, Bit3 is ON", "ERROR, Byte4, Bit2 is ON"},
     0},
    {4, 0x03, 0, {}, 0},
    {4, 0x84, 1, {"ERROR, Byte4, Bit7 is ON", "ERROR, Byte4, Bit2 is ON"}, 0},
    {5,
     0xff,
     1,
     {"ERROR, Byte5, Bit7 is ON", "ERROR, Byte5, Bit6 is ON", "ERROR, Byte5, Bit5 is ON",
      "ERROR, Byte5, Bit4 is ON", "ERROR, Byte5, Bit3 is ON", "ERROR, Byte5, Bit2 is ON",
      "ERROR, Byte5, Bit1 is ON", "ERROR, Byte5, Bit0 is ON"},
     1},
    {5, 0x01, 1, {"ERROR, Byte5, Bit0 is ON"}, 1},
    {5,
     0xfe,
     1,
     {"ERROR, Byte5, Bit7 is ON", "ERROR, Byte5, Bit6 is ON", "ERROR, Byte5, Bit5 is ON",
      "ERROR, Byte5, Bit4 is ON", "ERROR, Byte5, Bit3 is ON", "ERROR, Byte5, Bit2 is ON",
      "ERROR, Byte5, Bit1 is ON"},
     0},
    {6, 0x9f, 0, {}, 0},
    {6, 0x60, 1, {"ERROR, Byte6, Bit6 is ON", "ERROR, Byte6, Bit5 is ON"}, 0},
    {6, 0x20, 1, {"ERROR, Byte6, Bit5 is ON"}, 0},
};

class BitCases : public CheckTest, public ::testing::WithParamInterface<BitCase> {};

TEST_P(BitCases, EachSetBitIsTracedFromTheTopDown)
{
    const BitCase &c = GetParam();
    // Every other byte fully set: a check must look at its own byte only.
    std::array<char, 33> gss;
    gss.fill('\xff');
    gss[static_cast<size_t>(c.byte)] = static_cast<char>(c.value);

    int rc = c.byte == 4   ? checkByte4(gss.data())
             : c.byte == 5 ? checkByte5(gss.data())
                           : checkByte6(gss.data());
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(checksumError, c.checksum_error);
    EXPECT_EQ(trace_messages(), c.messages);
}

INSTANTIATE_TEST_SUITE_P(statusChecks, BitCases, ::testing::ValuesIn(kBitCases),
                         [](const auto &info) { return bit_case_name(info.param); });

// ------------------------------------------------------- checked reads

struct CheckedCase {
    const char *name;
    const char *status;  // scenario lines setting bytes 4 to 6
    int rc;
    std::vector<std::string> messages;  // after the retry layer's lines
    int checksum_error;
};

void PrintTo(const CheckedCase &c, std::ostream *os)
{
    *os << c.name;
}

const CheckedCase kCheckedCases[] = {
    // Bits the checks leave alone: operation mode, valid image, the switch...
    {"NoCheckedBitSet", "status 4 0x03\nstatus 5 0x00\nstatus 6 0x9f\n", 0, {}, 0},
    {"BadChecksumReportedByTheBbu",
     "status 5 0x01\n",
     1,
     {"ERROR, Byte5, Bit0 is ON", "One of the bit is ON for BYTE05"},
     1},
    {"Bytes4And6",
     "status 4 0x80\nstatus 6 0x20\n",
     1,
     {"ERROR, Byte4, Bit7 is ON", "One of the bit is ON for BYTE04", "ERROR, Byte6, Bit5 is ON",
      "One of the bit is ON for BYTE06"},
     0},
    {"AllThreeBytes",
     "status 4 0x04\nstatus 5 0x03\nstatus 6 0x40\n",
     1,
     {"ERROR, Byte4, Bit2 is ON", "One of the bit is ON for BYTE04", "ERROR, Byte5, Bit1 is ON",
      "ERROR, Byte5, Bit0 is ON", "One of the bit is ON for BYTE05", "ERROR, Byte6, Bit6 is ON",
      "One of the bit is ON for BYTE06"},
     1},
};

class CheckedCases : public CheckTest, public ::testing::WithParamInterface<CheckedCase> {};

TEST_P(CheckedCases, ResultTraceAndCopy)
{
    const CheckedCase &c = GetParam();
    apply(c.status);
    auto status = bbusim::peek_status();

    auto r = checked_read(0, &sar_);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.out + r.err, "") << "the checks write to the trace log only";
    EXPECT_EQ(checksumError, c.checksum_error);
    EXPECT_EQ(trace_messages(), concat(kRetryLines, c.messages));

    ASSERT_EQ(bus_transfers().size(), 1u);
    EXPECT_EQ(bus_transfers()[0].rfind("read 0x40 33 -> 33 : ", 0), 0u);

    // global_GSS and the caller's buffer: the 33 bytes read, zeros to byte 255,
    // and the rest of the caller's buffer as the caller left it.
    EXPECT_EQ(std::memcmp(global_GSS, status.data(), status.size()), 0);
    EXPECT_EQ(std::memcmp(sar_.buffer, status.data(), status.size()), 0);
    for (size_t i = status.size(); i < BBU_STATUS_WORK_LEN; ++i) {
        ASSERT_EQ(global_GSS[i], 0) << "global_GSS byte " << i;
        ASSERT_EQ(sar_.buffer[i], 0) << "outbuf byte " << i;
    }
    for (size_t i = BBU_STATUS_WORK_LEN; i < sizeof sar_.buffer; ++i)
        ASSERT_EQ(sar_.buffer[i], kFill) << "outbuf byte " << i;
}

INSTANTIATE_TEST_SUITE_P(statusChecks, CheckedCases, ::testing::ValuesIn(kCheckedCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(statusChecks, VerboseShowsTheStatusAfterTheChecks)
{
    apply("status 5 0x01\n");
    auto r = checked_read(1, &sar_);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("the ioctl read command worked, rc: 1\nTFB length = 48\n", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("general status======= TFB\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nbyte5 01 bad chksum \n"), std::string::npos);

    // The error lines come before the display in the log.
    auto log = trace_messages();
    auto summary = std::find(log.begin(), log.end(), "One of the bit is ON for BYTE05");
    auto display = std::find(log.begin(), log.end(), "TFB length = 48");
    ASSERT_NE(summary, log.end());
    ASSERT_NE(display, log.end());
    EXPECT_LT(summary - log.begin(), display - log.begin());
}

TEST_F(statusChecks, VerboseTwoReachesTheTransfersAsOne)
{
    auto r = checked_read(2, nullptr);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out.rfind("the ioctl read command worked, rc: 1\nTFB length = 48\n", 0), 0u)
        << r.out;
}

TEST_F(statusChecks, CorruptCheckByteIsRejectedAndNothingShown)
{
    apply("status 5 0x01\nfault gss-check count 3\n");
    auto good = bbusim::peek_status();

    auto r = checked_read(1, &sar_);
    EXPECT_EQ(r.rc, -1);
    // Only the transfer's own line: no display although verbose.
    EXPECT_EQ(r.out, "the ioctl read command worked, rc: 1\n");
    EXPECT_TRUE(outbuf_untouched());
    EXPECT_EQ(checksumError, 0) << "the error bits of a corrupt status are not checked";

    ASSERT_EQ(bus_transfers().size(), 1u);
    auto got = delivered(bus_transfers()[0]);
    ASSERT_EQ(got.size(), 33u);
    ASSERT_NE(got[32], good[32]);
    EXPECT_EQ(std::memcmp(global_GSS, got.data(), got.size()), 0)
        << "global_GSS keeps the corrupt bytes";

    char sums[64];
    std::snprintf(sums, sizeof sums, "Calculate checksum = %02x Actual chksum %02x", good[32],
                  got[32]);
    EXPECT_EQ(trace_messages(),
              (std::vector<std::string>{"Performing I2C commands with retry",
                                        "the ioctl read command worked, rc: 1", "",
                                        "I2C command with retry, rc = 33", "",
                                        "***GSS returned bad checksum***", sums, ""}));
}

struct FailedReadCase {
    const char *name;
    const char *faults;
    int rc;
    const char *transfer_result;  // as the transcript shows it
    size_t attempts;              // a short read is a success to the retry layer
};

void PrintTo(const FailedReadCase &c, std::ostream *os)
{
    *os << c.name;
}

const FailedReadCase kFailedReads[] = {
    {"TransferFails", "fault fail 0x40 read count 3\n", -6, "EIO", 3},
    {"TransferIsShort", "fault short 0x40 20 read\n", 20, "20", 1},
};

class FailedReads : public CheckTest, public ::testing::WithParamInterface<FailedReadCase> {};

TEST_P(FailedReads, ReturnTheReadsValueAndTouchNothing)
{
    const FailedReadCase &c = GetParam();
    apply(c.faults);
    checksumError = 1;
    std::memset(global_GSS, '\x77', sizeof global_GSS);

    auto r = checked_read(1, &sar_);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.out.find("general status"), std::string::npos)
        << "nothing is shown after a failed read";
    EXPECT_TRUE(outbuf_untouched());
    EXPECT_EQ(checksumError, 1);
    // Zeroed before the read; the failed attempts left what they left.
    EXPECT_EQ(global_GSS[40], 0);

    auto transfers = bus_transfers();
    ASSERT_EQ(transfers.size(), c.attempts);
    for (const auto &t : transfers)
        EXPECT_NE(t.find(std::string("-> ") + c.transfer_result), std::string::npos) << t;

    auto log = trace_messages();
    ASSERT_GE(log.size(), 4u);
    std::vector<std::string> tail(log.end() - 4, log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "I2C command with retry, rc = " + std::to_string(c.rc), "",
                        "***I2C Read GSS failed, rc = " + std::to_string(c.rc) + "***", ""}));
    EXPECT_EQ(std::count(log.begin(), log.end(), "I2C Read with retry failed to read"),
              c.attempts == 3 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(statusChecks, FailedReads, ::testing::ValuesIn(kFailedReads),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(statusChecks, ChecksumErrorIsNeverClearedHere)
{
    apply("status 5 0x01\n");
    EXPECT_EQ(checked_read(0, nullptr).rc, 1);
    EXPECT_EQ(checksumError, 1);

    apply("status 5 0x00\n");
    EXPECT_EQ(checked_read(0, nullptr).rc, 0);
    EXPECT_EQ(checksumError, 1) << "a clean read left the flag standing";

    checksumError = 0;  // as a re-send of a block does
    EXPECT_EQ(checked_read(0, nullptr).rc, 0);
    EXPECT_EQ(checksumError, 0);
}

}  // namespace
