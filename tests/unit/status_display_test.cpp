// The hex dump, the decoded general status and the plain status reads: what
// reaches standard output and the trace log, and what the caller's status
// buffer holds afterwards.
#include <bbu/bbu.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "sim_world.h"

namespace {

using namespace ::testing;
using bbutest::capture;
using bbutest::hex;

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
        clear_records();
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

// A status block with one byte set: its 48-byte dump, then a line for each
// byte shown, its set bits named in table order; in the log the value, each
// label and the line's end are messages of their own.
TEST_F(StatusDisplay, SetBitsAreNamedInTableOrder)
{
    const struct {
        int byte;
        unsigned char value;
        std::string labels;  // as shown, '|' where the log starts a new message
    } rows[] = {
        {0, 0x00, ""},
        {0, 0x84, "command |charging "},
        {0, 0xff, "command |check |testing |charging "},
        {0, 0x33, ""},  // connections, least capacity and non-zero are never named
        {2, 0xff, "level |power_up |masked "},
        {2, 0xf5, "power_up "},
        {3, 0xff, "needtod |needvpd |statesave |delayed |disconnect "},
        {3, 0x28, "statesave |disconnect "},
        {4, 0xff, "i2c-cmd "},
        {4, 0xf7, ""},
        {5, 0xff,
         "multi |sar over |sarx over |inv len |inv cmd |flash chksum |inv parm |bad chksum "},
        {5, 0x41, "sar over |bad chksum "},
        {6, 0x80, ""},
        {6, 0xff, "erase err |program err |valid err |reprogram "},
        {6, 0x10, "valid err "},
    };
    for (const auto &row : rows) {
        clear_records();
        std::array<char, 48> stat{};
        stat[static_cast<std::size_t>(row.byte)] = static_cast<char>(row.value);
        stat[1] = stat[7] = '\xff';  // bytes without a line of their own must not leak in
        auto o = capture([&] { print_general_status("m", stat.data()); });

        const std::string dump = hex(&stat[0], 16, 4) + "\n" + hex(&stat[16], 16, 4) + "\n" +
                                 hex(&stat[32], 16, 4) + "\n";
        std::string out = "m length = 48\n" + dump + "\ngeneral status======= m\n";
        std::string traced = "m length = 48\n\n" + dump + "general status======= m\n\n";
        for (int n : {0, 2, 3, 4, 5, 6}) {
            std::string value = "byte" + std::to_string(n) + " " + hex(&stat[n], 1) + " ";
            std::string labels = n == row.byte ? row.labels : "", logged = labels;
            std::erase(labels, '|');
            std::ranges::replace(logged, '|', '\n');
            out += value + labels + "\n";
            traced += value + "\n" + logged + (logged.empty() ? "" : "\n") + "\n\n";
        }
        EXPECT_EQ(o.out, out);
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(trace_messages(), traced);
    }
}

class StatusReadTest : public SimAdapterTest {
protected:
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
    std::memset(sar_.buffer, kFill, sizeof sar_.buffer);
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
    const auto status = bbusim::peek_status();
    for (const auto &row : rows) {
        SCOPED_TRACE(Message() << "retry " << row.retry << ", " << row.faults);
        clear_records();
        apply(row.faults);
        std::memset(sar_.buffer, kFill, sizeof sar_.buffer);
        auto o = capture([&] {
            if (row.retry < 0)
                read_and_print_status(fd_, "light", &sar_, 0);
            else
                read_and_print_status_with_retry(row.retry, fd_, "soft reset", &sar_, 0);
        });
        EXPECT_EQ(o.out + o.err, "");
        EXPECT_THAT(transfers(),
                    AllOf(SizeIs(row.transfers), Each(AllOf(Field(&bbutest::Transfer::read, true),
                                                            Field(&bbutest::Transfer::addr, 0x40u),
                                                            Field(&bbutest::Transfer::len, 32)))));
        expect_handed_over(row.handed_over ? status.data() : nullptr);
        // Only the retried read speaks, and only to the trace log.
        const std::string log = trace_messages();
        EXPECT_EQ(log.starts_with("Performing I2C commands with retry\n"), row.retry > 0) << log;
        EXPECT_EQ(log.empty(), row.retry <= 0) << log;
    }
}

}  // namespace
