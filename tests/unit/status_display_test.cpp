// The hex dump, the decoded general status and the plain status reads: what
// reaches standard output and the trace log, and what the caller's status
// buffer holds afterwards.
#include <bbu/bbu.h>
#include <gmock/gmock.h>

#include <array>
#include <cstring>

#include "sim_world.h"

namespace {

using bbutest::capture;
using bbutest::hex;
using ::testing::AllOf;
using ::testing::Each;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::Field;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kLine0 = "00010203 04050607 08090a0b 0c0d0e0f";

using StatusDisplay = SimWorldTest;

TEST_F(StatusDisplay, DumpOnTheConsoleAndFullLinesInTheTraceLog)
{
    const struct {
        int len;
        unsigned char first;  // bytes are first, first + 1, ...
        std::string out;      // after the header line
        std::string traced;   // after the header
    } rows[] = {
        {0, 0x00, "\n", ""},
        {3, 0x00, "000102\n", ""},
        {8, 0x00, "00010203 04050607 \n", ""},
        {16, 0x00, kLine0 + "\n\n", kLine0 + "\n"},
        {20, 0x00, kLine0 + "\n10111213 \n", kLine0 + "\n"},
        {32, 0xe0, "e0e1e2e3 e4e5e6e7 e8e9eaeb ecedeeef\nf0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff\n\n",
         "e0e1e2e3 e4e5e6e7 e8e9eaeb ecedeeef\nf0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff\n"},
        {38, 0xf0, "f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff\n" + kLine0 + "\n10111213 1415\n",
         "f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff\n" + kLine0 + "\n"},
    };
    for (const auto &row : rows) {
        start_world(true);
        std::array<unsigned char, 64> bytes{};
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<unsigned char>(row.first + i);
        auto o = capture([&] { print_buffer("image header", bytes.data(), row.len); });
        const std::string header = "image header length = " + std::to_string(row.len) + "\n";
        EXPECT_EQ(o.out, header + row.out);
        EXPECT_EQ(o.err, "");
        // The header's newline leaves an empty line in the log; a short last line is not traced.
        EXPECT_EQ(trace_messages(), header + "\n" + row.traced);
    }
}

TEST_F(StatusDisplay, AllZeroStatusShowsSixBareLines)
{
    std::array<char, 48> stat{};
    auto o = capture([&] { print_general_status("after reset", stat.data()); });
    const std::string zeros = "00000000 00000000 00000000 00000000\n";
    const char *bytes[] = {"byte0 00 ", "byte2 00 ", "byte3 00 ",
                           "byte4 00 ", "byte5 00 ", "byte6 00 "};
    std::string out = "after reset length = 48\n" + zeros + zeros + zeros +
                      "\ngeneral status======= after reset\n";
    // In the log each byte's value, then its newline: an empty message leaving an empty line.
    std::string traced = "after reset length = 48\n\n" + zeros + zeros + zeros +
                         "general status======= after reset\n\n";
    for (const char *b : bytes) {
        out += b + std::string("\n");
        traced += b + std::string("\n\n\n");
    }
    EXPECT_EQ(o.out, out);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(trace_messages(), traced);
}

TEST_F(StatusDisplay, SetBitsAreNamedInTableOrder)
{
    const struct {
        int byte;
        unsigned char value;
        std::vector<std::string> labels;  // in the order shown
    } rows[] = {
        {0, 0x84, {"command ", "charging "}},
        {0, 0xff, {"command ", "check ", "testing ", "charging "}},
        {0, 0x33, {}},  // connections, least capacity and non-zero are never named
        {2, 0xff, {"level ", "power_up ", "masked "}},
        {2, 0xf5, {"power_up "}},
        {3, 0xff, {"needtod ", "needvpd ", "statesave ", "delayed ", "disconnect "}},
        {3, 0x28, {"statesave ", "disconnect "}},
        {4, 0xff, {"i2c-cmd "}},
        {4, 0xf7, {}},
        {5,
         0xff,
         {"multi ", "sar over ", "sarx over ", "inv len ", "inv cmd ", "flash chksum ", "inv parm ",
          "bad chksum "}},
        {5, 0x41, {"sar over ", "bad chksum "}},
        {6, 0x80, {}},
        {6, 0xff, {"erase err ", "program err ", "valid err ", "reprogram "}},
        {6, 0x10, {"valid err "}},
    };
    for (const auto &row : rows) {
        start_world(true);
        std::array<char, 48> stat{};
        stat[static_cast<std::size_t>(row.byte)] = static_cast<char>(row.value);
        stat[1] = stat[7] = '\xff';  // bytes without a line of their own must not leak in
        auto o = capture([&] { print_general_status("m", stat.data()); });

        const std::string value =
            "byte" + std::to_string(row.byte) + " " + hex(&row.value, 1) + " ";
        std::string shown = "general status======= m\n", traced = value + "\n";
        for (int n : {0, 2, 3, 4, 5, 6}) {
            std::string line = "byte" + std::to_string(n) + " 00 ";
            if (n == row.byte) {
                line = value;
                for (const std::string &label : row.labels)
                    line += label;
            }
            shown += line + "\n";
        }
        // In the log each label is a message of its own.
        for (const std::string &label : row.labels)
            traced += label + "\n";
        EXPECT_THAT(o.out, EndsWith(shown)) << value;
        EXPECT_THAT(trace_messages(), HasSubstr("\n" + traced + "\n\n")) << value;
    }
}

class StatusReadTest : public SimAdapterTest {
protected:
    void SetUp() override
    {
        SimAdapterTest::SetUp();
        std::memset(sar_.buffer, kFill, sizeof sar_.buffer);
    }

    // The caller's buffer after a read that handed over the 32 `status` bytes, or
    // none: then zeros up to the work length, and past it what the caller left.
    void expect_handed_over(const std::uint8_t *status)
    {
        std::array<char, sizeof sar_.buffer> expected;
        expected.fill(kFill);
        std::fill_n(expected.begin(), BBU_STATUS_WORK_LEN, '\0');
        if (status != nullptr)
            std::memcpy(expected.data(), status, 32);
        EXPECT_THAT(sar_.buffer, ElementsAreArray(expected));
    }

    static constexpr char kFill = '\x5a';
    sarbuf_t sar_;
};

TEST_F(StatusReadTest, VerboseShowsTheStatusReadFromTheBus)
{
    apply("status 5 0x41\n");
    const auto status = bbusim::peek_status();
    const std::array<std::uint8_t, 16> zeros{};
    // Verbose 2 reaches the transfer as 1; the buffer may be left out.
    for (int verbose : {2, 1}) {
        auto o = capture(
            [&] { read_and_print_status(fd_, "light", verbose == 1 ? &sar_ : nullptr, verbose); });
        // A 32-byte read has no check byte: bytes 32 to 47 of the working buffer are zeros.
        EXPECT_THAT(o.out,
                    StartsWith("the ioctl read command worked, rc: 1\nlight length = 48\n" +
                               hex(status.data(), 16, 4) + "\n" + hex(status.data() + 16, 16, 4) +
                               "\n" + hex(zeros.data(), 16, 4) +
                               "\n\ngeneral status======= light\n"));
        EXPECT_THAT(o.out, HasSubstr("\nbyte5 41 sar over bad chksum \n"));
    }
    EXPECT_EQ(transfers().size(), 2u);
    expect_handed_over(status.data());
}

TEST_F(StatusReadTest, QuietReadsWithAndWithoutRetry)
{
    const struct {
        int retry;  // -1: the plain read
        const char *faults;
        std::size_t transfers;
        bool handed_over;  // otherwise the zeros of the working buffer
    } rows[] = {
        {-1, "", 1, true},
        {0, "", 1, true},
        {0, "fault fail 0x40 read count 1\n", 1, false},
        {1, "fault fail 0x40 read count 2\n", 3, true},
        {7, "fault fail 0x40 read count 1\n", 2, true},
        {1, "fault fail 0x40 read count 3\n", 3, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << "retry " << row.retry << ", " << row.faults);
        TearDown();
        SetUp();
        apply(row.faults);
        const auto status = bbusim::peek_status();
        auto o = capture([&] {
            if (row.retry < 0)
                read_and_print_status(fd_, "light", &sar_, 0);
            else
                read_and_print_status_with_retry(row.retry, fd_, "soft reset", &sar_, 0);
        });
        EXPECT_EQ(o.out + o.err, "");
        EXPECT_EQ(transfers().size(), row.transfers);
        EXPECT_THAT(transfers(), Each(AllOf(Field(&bbutest::Transfer::read, true),
                                            Field(&bbutest::Transfer::addr, 0x40u),
                                            Field(&bbutest::Transfer::len, 32))));
        expect_handed_over(row.handed_over ? status.data() : nullptr);
        // Only the retried read speaks, and only to the trace log.
        if (row.retry > 0)
            EXPECT_THAT(trace_messages(), StartsWith("Performing I2C commands with retry\n"));
        else
            EXPECT_EQ(trace_messages(), "");
    }
}

}  // namespace
