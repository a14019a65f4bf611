// Retried transfers on the simulated adapter: how many attempts reach the bus,
// the result handed back, the caller's buffer, and the trace lines in order.
#include <bbu/bbu.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <array>

#include "sim_world.h"

namespace {

using namespace ::testing;
using bbutest::Transfer;

constexpr int R = I2C_RETRY_READ, W = I2C_RETRY_WRITE;
const std::string kReadFailed = "The Ioctl read failed rc: -1 \n";
const std::string kReadOk = "the ioctl read command worked, rc: 1\n";
const std::string kNoRead = "I2C Read with retry failed to read\n";
const std::string kNoWrite = "I2C Write with retry failed to write\n";
const std::string kBadOption = "Invalid I2C retry option, rc = -2\n\n";

struct RetryCase {
    const char *name;
    int rw, addr, len;
    const char *faults;
    std::size_t attempts;  // transfers on the bus, one straight after the other
    int rc;
    std::string traced;  // between the opening line and the result line
    int verbose = 0;
    std::string out = "", err = "";
};

const RetryCase kRetryCases[] = {
    {"ReadAtFirstAttempt", R, 0x40, 33, "", 1, 33, ""},
    {"ReadAtThirdAttempt", R, 0x40, 33, "fault fail 0x40 read count 2\n", 3, 33, ""},
    {"ReadNeverSucceeds", R, 0x40, 33, "fault fail 0x40 read count 3\n", 3, -6, kNoRead},
    {"ReadFromNoDevice", R, 0x23, 4, "", 3, -6, kNoRead},
    {"WriteAtFirstAttempt", W, 0x40, 3, "", 1, 3, ""},
    {"WriteAtThirdAttempt", W, 0x40, 3, "fault fail 0x40 write count 2\n", 3, 3, ""},
    {"WriteNeverSucceeds", W, 0x40, 3, "fault fail 0x40 write count 5\n", 3, -6, kNoWrite},
    {"ZeroLengthReadNeverSucceeds", R, 0x40, 0, "", 3, 0, kNoRead},
    {"ZeroLengthWriteNeverSucceeds", W, 0x40, 0, "", 3, 0, kNoWrite},
    // Verbose reaches every attempt; their lines sit between the retry layer's own.
    {"VerboseReadAtThirdAttempt", R, 0x40, 33, "fault fail 0x40 read count 2\n", 3, 33,
     kReadFailed + "\n" + kReadFailed + "\n" + kReadOk + "\n", 1, kReadOk,
     kReadFailed + kReadFailed},
    // A direction that is neither is refused before any transfer, quietly even when verbose.
    {"DirectionZero", 0, 0x40, 8, "", 0, -2, kBadOption, 1},
    {"DirectionThree", 3, 0x40, 8, "", 0, -2, kBadOption, 1},
    {"DirectionMinusOne", -1, 0x40, 8, "", 0, -2, kBadOption, 1},
    {"DirectionTwelve", 12, 0x40, 8, "", 0, -2, kBadOption, 1},
};

class RetryCases : public SimAdapterTest, public WithParamInterface<RetryCase> {};

TEST_P(RetryCases, AttemptsResultBufferAndTrace)
{
    const RetryCase &c = GetParam();
    apply(c.faults);
    std::array<char, 64> buffer;
    buffer.fill('\x5a');
    std::copy_n("\xc8\x00\xc8", 3, buffer.begin());  // a command frame for the writes
    auto expected = buffer;
    int rc = 0;
    auto o = bbutest::capture(
        [&] { rc = I2C_command_with_retry(c.rw, fd_, c.addr, c.len, buffer.data(), c.verbose); });
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(
        trace_messages(),
        "Performing I2C commands with retry\n" + c.traced +
            (c.attempts > 0 ? "I2C command with retry, rc = " + std::to_string(rc) + "\n\n" : ""));

    const auto ts = transfers();
    EXPECT_EQ(ts.size(), c.attempts);
    EXPECT_THAT(ts, Each(AllOf(Field(&Transfer::read, c.rw == R),
                               Field(&Transfer::addr, static_cast<unsigned>(c.addr)),
                               Field(&Transfer::len, c.len))));
    EXPECT_THAT(events(), Each(Not(StartsWith("sleep "))));
    // The caller's buffer holds what the last read delivered, and nothing else changed.
    if (!ts.empty() && ts.back().read)
        std::copy(ts.back().bytes.begin(), ts.back().bytes.end(), expected.begin());
    EXPECT_EQ(buffer, expected);
}

INSTANTIATE_TEST_SUITE_P(retry, RetryCases, ValuesIn(kRetryCases), bbutest::ByName());

}  // namespace
