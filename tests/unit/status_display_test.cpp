// The hex dump, the decoded general status and the plain status reads: what
// reaches standard output, what reaches the trace log, and what the caller's
// status buffer holds afterwards.
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

// A dump line as a person reads it: 16 bytes in four groups of 8 digits.
std::string dump_line(const unsigned char *b, int n)
{
    std::string out;
    char two[3];
    for (int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", b[i]);
        out += two;
        if (i % 4 == 3 && i + 1 < n)
            out += ' ';
    }
    return out;
}

class DisplayTest : public SimWorldTest {
protected:
    struct Output {
        std::string out, err;
    };

    template <typename Fn>
    static Output capture(Fn fn)
    {
        CaptureStdout();
        CaptureStderr();
        fn();
        std::fflush(stdout);
        std::string out = GetCapturedStdout();
        return {out, GetCapturedStderr()};
    }
};
using statusDisplay = DisplayTest;

// ---------------------------------------------------------------- hex dump

struct DumpCase {
    const char *name;
    int len;
    unsigned char first;                    // bytes are first, first + 1, ...
    const char *out;                        // standard output after the header line
    std::vector<std::string> traced_lines;  // trace messages after the header
};

void PrintTo(const DumpCase &c, std::ostream *os)
{
    *os << c.name;
}

const DumpCase kDumpCases[] = {
    {"Empty", 0, 0x00, "\n", {}},
    {"ThreeBytes", 3, 0x00, "000102\n", {}},
    {"EightBytesEndInABlank", 8, 0x00, "00010203 04050607 \n", {}},
    {"OneFullLine",
     16,
     0x00,
     "00010203 04050607 08090a0b 0c0d0e0f\n\n",
     {"00010203 04050607 08090a0b 0c0d0e0f"}},
    {"FullLineAndFourBytes",
     20,
     0x00,
     "00010203 04050607 08090a0b 0c0d0e0f\n10111213 \n",
     {"00010203 04050607 08090a0b 0c0d0e0f"}},
    {"TwoLinesLowerCase",
     32,
     0xe0,
     "e0e1e2e3 e4e5e6e7 e8e9eaeb ecedeeef\nf0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff\n\n",
     {"e0e1e2e3 e4e5e6e7 e8e9eaeb ecedeeef", "f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff"}},
    {"TwoLinesAndSixBytes",
     38,
     0xf0,
     "f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff\n00010203 04050607 08090a0b 0c0d0e0f\n10111213 1415\n",
     {"f0f1f2f3 f4f5f6f7 f8f9fafb fcfdfeff", "00010203 04050607 08090a0b 0c0d0e0f"}},
};

class DumpCases : public DisplayTest, public ::testing::WithParamInterface<DumpCase> {};

TEST_P(DumpCases, ConsoleAndTraceLog)
{
    const DumpCase &c = GetParam();
    std::array<unsigned char, 64> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(c.first + i);

    auto o = capture([&] { print_buffer("image header", bytes.data(), c.len); });

    std::string header = "image header length = " + std::to_string(c.len);
    EXPECT_EQ(o.out, header + "\n" + c.out);
    EXPECT_EQ(o.err, "");
    // The header's newline leaves an empty line in the log; a short last line is not traced.
    std::vector<std::string> expected{header, ""};
    expected.insert(expected.end(), c.traced_lines.begin(), c.traced_lines.end());
    EXPECT_EQ(trace_messages(), expected);
}

INSTANTIATE_TEST_SUITE_P(statusDisplay, DumpCases, ::testing::ValuesIn(kDumpCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------- status display

// The display of one status block, split into what a person sees per line.
struct StatusDisplay {
    std::vector<std::string> console;  // standard output lines
    std::vector<std::string> trace;    // trace messages
};

StatusDisplay split(const std::string &out, std::vector<std::string> trace)
{
    StatusDisplay d;
    std::string line;
    for (char ch : out) {
        if (ch == '\n') {
            d.console.push_back(line);
            line.clear();
        } else {
            line += ch;
        }
    }
    EXPECT_EQ(line, "") << "output ends without a newline";
    d.trace = std::move(trace);
    return d;
}

TEST_F(statusDisplay, AllZeroStatusShowsSixBareLines)
{
    std::array<char, 48> stat{};
    auto o = capture([&] { print_general_status("after reset", stat.data()); });
    EXPECT_EQ(o.err, "");

    const std::string zeros = "00000000 00000000 00000000 00000000";
    EXPECT_EQ(o.out, "after reset length = 48\n" + zeros + "\n" + zeros + "\n" + zeros + "\n\n" +
                         "general status======= after reset\n"
                         "byte0 00 \nbyte2 00 \nbyte3 00 \nbyte4 00 \nbyte5 00 \nbyte6 00 \n");

    // One trace message per item: each byte's value, then its newline (an empty
    // message, which leaves an empty line of its own in the log).
    std::vector<std::string> expected{"after reset length = 48",           "", zeros, zeros, zeros,
                                      "general status======= after reset", ""};
    for (const char *b :
         {"byte0 00 ", "byte2 00 ", "byte3 00 ", "byte4 00 ", "byte5 00 ", "byte6 00 "}) {
        expected.push_back(b);
        expected.push_back("");
        expected.push_back("");
    }
    EXPECT_EQ(trace_messages(), expected);
}

struct LabelCase {
    int byte;
    unsigned char value;
    std::vector<std::string> labels;  // in the order shown
};

std::string label_case_name(const LabelCase &c)
{
    char name[16];
    std::snprintf(name, sizeof name, "Byte%dIs%02x", c.byte, c.value);
    return name;
}

void PrintTo(const LabelCase &c, std::ostream *os)
{
    *os << label_case_name(c);
}

const LabelCase kLabelCases[] = {
    {0, 0x84, {"command ", "charging "}},
    {0, 0xff, {"command ", "check ", "testing ", "charging "}},
    {0, 0x33, {}},  // connections, least capacity and non-zero are never named
    {2, 0xff, {"level ", "power_up ", "masked "}},
    {2, 0xf1, {}},
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

class LabelCases : public DisplayTest, public ::testing::WithParamInterface<LabelCase> {};

TEST_P(LabelCases, SetBitsAreNamedInTableOrder)
{
    const LabelCase &c = GetParam();
    std::array<char, 48> stat{};
    stat[static_cast<size_t>(c.byte)] = static_cast<char>(c.value);
    // Bytes that have no line of their own must not leak into the labels.
    stat[1] = '\xff';
    stat[7] = '\xff';

    auto o = capture([&] { print_general_status("m", stat.data()); });
    auto d = split(o.out, trace_messages());
    ASSERT_EQ(d.console.size(), 1u + 3 + 1 + 1 + 6);

    char value[16];
    std::snprintf(value, sizeof value, "byte%d %02x ", c.byte, c.value);
    std::string shown = value;
    for (const auto &label : c.labels)
        shown += label;

    const int displayed[] = {0, 2, 3, 4, 5, 6};
    for (int i = 0; i < 6; ++i) {
        int n = displayed[i];
        std::string line = d.console[6 + static_cast<size_t>(i)];
        if (n == c.byte)
            EXPECT_EQ(line, shown);
        else
            EXPECT_EQ(line, "byte" + std::to_string(n) + " 00 ");
    }

    // In the log: the value, each label as a message of its own, then the newline.
    std::vector<std::string> expected{value};
    expected.insert(expected.end(), c.labels.begin(), c.labels.end());
    expected.push_back("");
    expected.push_back("");
    auto start = std::find(d.trace.begin(), d.trace.end(), std::string(value));
    ASSERT_NE(start, d.trace.end());
    ASSERT_GE(static_cast<size_t>(d.trace.end() - start), expected.size());
    EXPECT_EQ(std::vector<std::string>(start, start + static_cast<long>(expected.size())),
              expected);
}

INSTANTIATE_TEST_SUITE_P(statusDisplay, LabelCases, ::testing::ValuesIn(kLabelCases),
                         [](const auto &info) { return label_case_name(info.param); });

// ------------------------------------------------------------- status reads

class StatusReadTest : public DisplayTest {
protected:
    void SetUp() override
    {
        DisplayTest::SetUp();
        fd_ = open_I2C_device(0);
        ASSERT_GE(fd_, 0);
        std::memset(sar_.buffer, kFill, sizeof sar_.buffer);
    }
    void TearDown() override
    {
        close_I2C_device(fd_);
    }

    // The caller's buffer after a read that delivered `status` (32 bytes).
    void expect_copied(const unsigned char *status)
    {
        EXPECT_EQ(std::memcmp(sar_.buffer, status, 32), 0);
        for (size_t i = 32; i < BBU_STATUS_WORK_LEN; ++i)
            ASSERT_EQ(sar_.buffer[i], 0) << "byte " << i;
        for (size_t i = BBU_STATUS_WORK_LEN; i < sizeof sar_.buffer; ++i)
            ASSERT_EQ(sar_.buffer[i], kFill)
                << "byte " << i << " past the read's buffer was changed";
    }

    int fd_ = -1;
    sarbuf_t sar_;
};
using statusRead = StatusReadTest;

TEST_F(statusRead, QuietReadCopiesTheStatusAndPrintsNothing)
{
    auto status = bbusim::peek_status();
    auto o = capture([&] { read_and_print_status(fd_, "light", &sar_, 0); });
    EXPECT_EQ(o.out + o.err, "");
    EXPECT_EQ(trace_log_text(), "");
    ASSERT_EQ(bus_transfers().size(), 1u);
    EXPECT_EQ(bus_transfers()[0].rfind("read 0x40 32 -> 32 : ", 0), 0u) << bus_transfers()[0];
    expect_copied(status.data());
}

TEST_F(statusRead, VerboseShowsTheStatusReadFromTheBus)
{
    apply("status 5 0x41\n");
    auto status = bbusim::peek_status();
    auto o = capture([&] { read_and_print_status(fd_, "light", &sar_, 1); });
    auto d = split(o.out, trace_messages());

    // The transfer's own message first (verbose reaches the transfer), then the display.
    ASSERT_EQ(d.console.size(), 1u + 1 + 3 + 1 + 1 + 6);
    EXPECT_EQ(d.console[0], "the ioctl read command worked, rc: 1");
    EXPECT_EQ(d.console[1], "light length = 48");
    EXPECT_EQ(d.console[2], dump_line(status.data(), 16));
    EXPECT_EQ(d.console[3], dump_line(status.data() + 16, 16));
    // Bytes 32 to 47 of the working buffer are zeros: a 32-byte read has no check byte.
    const std::array<unsigned char, 16> zeros{};
    EXPECT_EQ(d.console[4], dump_line(zeros.data(), 16));
    EXPECT_EQ(d.console[6], "general status======= light");
    EXPECT_EQ(d.console[11], "byte5 41 sar over bad chksum ");
    expect_copied(status.data());
}

TEST_F(statusRead, VerboseTwoReachesTheTransferAsOneAndNullBufferIsFine)
{
    auto o = capture([&] { read_and_print_status(fd_, "reset", nullptr, 2); });
    EXPECT_EQ(o.out.rfind("the ioctl read command worked, rc: 1\nreset length = 48\n", 0), 0u)
        << o.out;
    EXPECT_NE(o.out.find("general status======= reset\n"), std::string::npos);
    EXPECT_EQ(bus_transfers().size(), 1u);
}

struct RetryReadCase {
    const char *name;
    int retry;
    const char *faults;
    size_t transfers;
    bool status_copied;  // otherwise the zeros of the working buffer
    bool retry_traced;
};

void PrintTo(const RetryReadCase &c, std::ostream *os)
{
    *os << c.name;
}

const RetryReadCase kRetryReadCases[] = {
    {"NoRetryOneTransfer", 0, "", 1, true, false},
    {"NoRetryFailureIsFinal", 0, "fault fail 0x40 read count 1\n", 1, false, false},
    {"RetryRecovers", 1, "fault fail 0x40 read count 2\n", 3, true, true},
    {"AnyNonZeroRetries", 7, "fault fail 0x40 read count 1\n", 2, true, true},
    {"RetryGivesUpAfterThree", 1, "fault fail 0x40 read count 3\n", 3, false, true},
};

class RetryReadCases : public StatusReadTest,
                       public ::testing::WithParamInterface<RetryReadCase> {};

TEST_P(RetryReadCases, AttemptsAndWhatIsCopied)
{
    const RetryReadCase &c = GetParam();
    apply(c.faults);
    auto status = bbusim::peek_status();
    auto o =
        capture([&] { read_and_print_status_with_retry(c.retry, fd_, "soft reset", &sar_, 0); });
    EXPECT_EQ(o.out + o.err, "");

    auto transfers = bus_transfers();
    EXPECT_EQ(transfers.size(), c.transfers);
    for (const auto &t : transfers)
        EXPECT_EQ(t.rfind("read 0x40 32 ", 0), 0u) << t;

    const std::array<unsigned char, 32> zeros{};
    expect_copied(c.status_copied ? status.data() : zeros.data());

    auto log = trace_messages();
    bool traced =
        std::find(log.begin(), log.end(), "Performing I2C commands with retry") != log.end();
    EXPECT_EQ(traced, c.retry_traced);
}

INSTANTIATE_TEST_SUITE_P(statusRead, RetryReadCases, ::testing::ValuesIn(kRetryReadCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
