// The checked status read and its error-bit checks: results, the trace lines in
// order, the process-wide global_GSS and checksumError, and what the caller's
// buffer and the console get.
#include <bbu/bbu.h>
#include <gmock/gmock.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "sim_world.h"

namespace {

using namespace ::testing;
using bbutest::Transfer;

constexpr char kFill = '\x5a';
const std::string kReadOk = "the ioctl read command worked, rc: 1\n";

class StatusChecks : public SimAdapterTest {
protected:
    void SetUp() override
    {
        SimAdapterTest::SetUp();
        checksumError = 0;
        std::memset(sar_.buffer, kFill, sizeof sar_.buffer);
    }
    void TearDown() override
    {
        SimAdapterTest::TearDown();
        checksumError = 0;
    }

    // The checked read's result; what it wrote goes to o_.
    int checked_read(int verbose, sarbuf_t *outbuf)
    {
        int rc = 0;
        o_ = bbutest::capture(
            [&] { rc = read_and_print_status_with_checks(fd_, "TFB", outbuf, verbose); });
        return rc;
    }

    sarbuf_t sar_;
    bbutest::Output o_;
};

// Every value of each checked byte: its checked bits traced from the top down,
// the result telling whether one was set, and only byte 5's bit 0 raising
// checksumError. The other bytes are all ones: a check looks at its own byte.
TEST_F(StatusChecks, EveryValueOfEachCheckedByte)
{
    const struct {
        int byte;
        unsigned checked;
        int (*check)(const char *);
    } bytes[] = {{4, 0xfc, checkByte4}, {5, 0xff, checkByte5}, {6, 0x60, checkByte6}};
    for (const auto &b : bytes) {
        for (unsigned value = 0; value < 256; ++value) {
            SCOPED_TRACE(::testing::Message() << "byte " << b.byte << " value " << value);
            std::array<char, 33> gss;
            gss.fill('\xff');
            gss[static_cast<std::size_t>(b.byte)] = static_cast<char>(value);
            clear_records();
            checksumError = 0;
            std::string expected;
            for (int bit = 7; bit >= 0; --bit)
                if ((value & b.checked) & (1u << bit))
                    expected += "ERROR, Byte" + std::to_string(b.byte) + ", Bit" +
                                std::to_string(bit) + " is ON\n";
            EXPECT_EQ(b.check(gss.data()), expected.empty() ? 0 : 1);
            EXPECT_EQ(checksumError, b.byte == 5 && (value & 1) != 0 ? 1 : 0);
            EXPECT_EQ(trace_messages(), expected);
        }
    }
}

// Good reads one after the other: the result, the checks' lines, checksumError
// raised by byte 5's bit 0 and never cleared here, and the copies.
TEST_F(StatusChecks, GoodReadsOneAfterTheOther)
{
    const struct {
        const char *status;  // bytes 4 to 6
        int rc;
        std::string traced;  // after the retry layer's lines
        int checksum_error;
    } rows[] = {
        // Bits the checks leave alone: operation mode, valid image, the switch...
        {"status 4 0x03\nstatus 5 0x00\nstatus 6 0x9f\n", 0, "", 0},
        {"status 4 0x80\nstatus 5 0x00\nstatus 6 0x20\n", 1,
         "ERROR, Byte4, Bit7 is ON\nOne of the bit is ON for BYTE04\n"
         "ERROR, Byte6, Bit5 is ON\nOne of the bit is ON for BYTE06\n",
         0},
        {"status 4 0x04\nstatus 5 0x03\nstatus 6 0x40\n", 1,
         "ERROR, Byte4, Bit2 is ON\nOne of the bit is ON for BYTE04\n"
         "ERROR, Byte5, Bit1 is ON\nERROR, Byte5, Bit0 is ON\nOne of the bit is ON for BYTE05\n"
         "ERROR, Byte6, Bit6 is ON\nOne of the bit is ON for BYTE06\n",
         1},
        {"status 4 0x00\nstatus 5 0x00\nstatus 6 0x00\n", 0, "", 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.status);
        clear_records();
        apply(row.status);
        std::memset(sar_.buffer, kFill, sizeof sar_.buffer);
        const auto status = bbusim::peek_status();
        EXPECT_EQ(checked_read(0, &sar_), row.rc);
        EXPECT_EQ(o_.out + o_.err, "") << "the checks write to the trace log only";
        EXPECT_EQ(checksumError, row.checksum_error);
        EXPECT_EQ(trace_messages(), "Performing I2C commands with retry\n"
                                    "I2C command with retry, rc = 33\n\n" +
                                        row.traced);
        EXPECT_THAT(transfers(),
                    ElementsAre(AllOf(Field(&Transfer::read, true), Field(&Transfer::addr, 0x40u),
                                      Field(&Transfer::len, 33))));
        // global_GSS and the caller's buffer: the 33 bytes read, zeros to the work
        // length, and the rest of the caller's buffer as the caller left it.
        std::array<char, sizeof sar_.buffer> expected;
        expected.fill(kFill);
        std::fill_n(expected.begin(), BBU_STATUS_WORK_LEN, '\0');
        std::memcpy(expected.data(), status.data(), status.size());
        EXPECT_THAT(global_GSS, ElementsAreArray(expected.data(), BBU_STATUS_WORK_LEN));
        EXPECT_THAT(sar_.buffer, ElementsAreArray(expected));
    }
}

TEST_F(StatusChecks, VerboseShowsTheStatusAfterTheChecks)
{
    apply("status 5 0x01\n");
    for (int verbose : {1, 2}) {  // 2 reaches the transfer as 1
        clear_records();
        EXPECT_EQ(checked_read(verbose, verbose == 1 ? &sar_ : nullptr), 1);
        EXPECT_EQ(o_.err, "");
        EXPECT_THAT(o_.out, StartsWith(kReadOk + "TFB length = 48\n"));
        EXPECT_THAT(o_.out, HasSubstr("\ngeneral status======= TFB\n"));
        EXPECT_THAT(o_.out, HasSubstr("\nbyte5 01 bad chksum \n"));
        EXPECT_THAT(trace_messages(),
                    ContainsRegex("One of the bit is ON for BYTE05\n.*TFB length"));
    }
}

TEST_F(StatusChecks, CorruptCheckByteIsRejectedAndNothingShown)
{
    apply("status 5 0x01\nfault gss-check count 3\n");
    const auto good = bbusim::peek_status();
    EXPECT_EQ(checked_read(1, &sar_), -1);
    EXPECT_EQ(o_.out, kReadOk) << "no display although verbose";
    EXPECT_THAT(sar_.buffer, Each(kFill));
    EXPECT_EQ(checksumError, 0) << "the error bits of a corrupt status are not checked";

    const auto ts = transfers();
    ASSERT_EQ(ts.size(), 1u);
    ASSERT_EQ(ts[0].bytes.size(), 33u);
    ASSERT_NE(ts[0].bytes[32], good[32]);
    EXPECT_EQ(std::memcmp(global_GSS, ts[0].bytes.data(), 33), 0) << "global_GSS keeps them";
    char sums[64];
    std::snprintf(sums, sizeof sums, "Calculate checksum = %02x Actual chksum %02x\n", good[32],
                  ts[0].bytes[32]);
    EXPECT_EQ(trace_messages(), "Performing I2C commands with retry\n" + kReadOk +
                                    "\nI2C command with retry, rc = 33\n\n"
                                    "***GSS returned bad checksum***\n" +
                                    sums + "\n");
}

TEST_F(StatusChecks, AFailedReadReturnsItsValueAndTouchesNothing)
{
    const struct {
        const char *faults;
        int rc;
        std::size_t attempts;  // a short read is a success to the retry layer
    } rows[] = {{"fault fail 0x40 read count 3\n", -6, 3}, {"fault short 0x40 20 read\n", 20, 1}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.faults);
        TearDown();
        SetUp();
        apply(row.faults);
        checksumError = 1;
        std::memset(global_GSS, '\x77', sizeof global_GSS);
        EXPECT_EQ(checked_read(1, &sar_), row.rc);
        EXPECT_THAT(o_.out, Not(HasSubstr("general status")));
        EXPECT_THAT(sar_.buffer, Each(kFill));
        EXPECT_EQ(checksumError, 1);
        EXPECT_EQ(global_GSS[40], 0) << "zeroed before the read";
        EXPECT_EQ(transfers().size(), row.attempts);
        const std::string n = std::to_string(row.rc);
        const std::string log = trace_messages();
        EXPECT_THAT(log, EndsWith("I2C command with retry, rc = " + n +
                                  "\n\n***I2C Read GSS failed, rc = " + n + "***\n\n"));
        EXPECT_EQ(log.find("I2C Read with retry failed to read\n") != std::string::npos,
                  row.attempts == 3);
    }
}

}  // namespace
