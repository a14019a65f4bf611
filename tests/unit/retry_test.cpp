// Retried transfers on the simulated adapter: how many transfers reach the bus,
// the result handed back, and the trace lines in their order.
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

const std::string kOpening = "Performing I2C commands with retry";

std::string result_line(int rc)
{
    return "I2C command with retry, rc = " + std::to_string(rc);
}

// The result a transcript line reports for a transfer: the bytes carried, or -6
// when the request failed (the transfer's own failure value).
int transfer_result(const std::string &line)
{
    auto arrow = line.find("-> ");
    if (arrow == std::string::npos)
        return 0;
    const char *value = line.c_str() + arrow + 3;
    if (*value == 'E')
        return I2C_TRANSFER_FAILED;
    return std::atoi(value);
}

class RetryTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        SimWorldTest::SetUp();
        fd_ = open_I2C_device(0);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override
    {
        close_I2C_device(fd_);
    }

    int fd_ = -1;
};
using retry = RetryTest;

struct RetryCase {
    const char *name;
    int rw;
    int addr;
    int length;
    const char *faults;   // scenario text applied before the call
    int attempts;         // transfers expected on the bus
    bool succeeds;        // the last attempt carried the whole message
    const char *give_up;  // failure line after three attempts, or nullptr
};

void PrintTo(const RetryCase &c, std::ostream *os)
{
    *os << c.name;
}

const RetryCase kRetryCases[] = {
    {"ReadAtFirstAttempt", I2C_RETRY_READ, 0x40, 33, "", 1, true, nullptr},
    {"ReadAtThirdAttempt", I2C_RETRY_READ, 0x40, 33, "fault fail 0x40 read count 2\n", 3, true,
     nullptr},
    {"ReadNeverSucceeds", I2C_RETRY_READ, 0x40, 33, "fault fail 0x40 read count 3\n", 3, false,
     "I2C Read with retry failed to read"},
    {"ReadFromNoDevice", I2C_RETRY_READ, 0x23, 4, "", 3, false,
     "I2C Read with retry failed to read"},
    {"WriteAtFirstAttempt", I2C_RETRY_WRITE, 0x40, 3, "", 1, true, nullptr},
    {"WriteAtThirdAttempt", I2C_RETRY_WRITE, 0x40, 3, "fault fail 0x40 write count 2\n", 3, true,
     nullptr},
    {"WriteNeverSucceeds", I2C_RETRY_WRITE, 0x40, 3, "fault fail 0x40 write count 5\n", 3, false,
     "I2C Write with retry failed to write"},
    {"ZeroLengthReadNeverSucceeds", I2C_RETRY_READ, 0x40, 0, "", 3, false,
     "I2C Read with retry failed to read"},
    {"ZeroLengthWriteNeverSucceeds", I2C_RETRY_WRITE, 0x40, 0, "", 3, false,
     "I2C Write with retry failed to write"},
};

class RetryCases : public RetryTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(RetryCases, TransfersResultAndTraceLines)
{
    const RetryCase &c = GetParam();
    apply(c.faults);

    // A read-state-save frame, so a write carries real bytes.
    std::array<char, 64> buffer{'\xc8', '\x00', '\xc8'};
    CaptureStdout();
    CaptureStderr();
    int rc = I2C_command_with_retry(c.rw, fd_, c.addr, c.length, buffer.data(), 0);
    std::fflush(stdout);
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();

    // The retry layer speaks to the trace log only; quiet transfers say nothing.
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");

    auto transfers = bus_transfers();
    ASSERT_EQ(transfers.size(), static_cast<size_t>(c.attempts));
    char head[32];
    std::snprintf(head, sizeof head, "%s 0x%02x %d ", c.rw == I2C_RETRY_READ ? "read" : "write",
                  c.addr, c.length);
    for (const auto &t : transfers)
        EXPECT_EQ(t.rfind(head, 0), 0u) << t;
    // Every attempt but the last failed; the result is the last attempt's.
    for (size_t i = 0; i + 1 < transfers.size(); ++i)
        EXPECT_LE(transfer_result(transfers[i]), 0) << transfers[i];
    EXPECT_EQ(rc, transfer_result(transfers.back()));
    if (c.succeeds)
        EXPECT_EQ(rc, c.length);
    else
        EXPECT_LE(rc, 0);

    // A read that went through leaves the device's bytes in the caller's buffer.
    if (c.succeeds && c.rw == I2C_RETRY_READ) {
        auto got = delivered(transfers.back());
        ASSERT_EQ(got.size(), static_cast<size_t>(c.length));
        EXPECT_EQ(std::memcmp(buffer.data(), got.data(), got.size()), 0);
    }

    std::vector<std::string> expected{kOpening};
    if (c.give_up != nullptr)
        expected.push_back(c.give_up);
    expected.push_back(result_line(rc));
    expected.push_back("");
    EXPECT_EQ(trace_messages(), expected);
}

INSTANTIATE_TEST_SUITE_P(retry, RetryCases, ::testing::ValuesIn(kRetryCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(retry, AttemptsFollowEachOtherWithoutAPause)
{
    apply("fault fail 0x40 read count 3\n");
    std::array<char, 33> buffer{};
    I2C_command_with_retry(I2C_RETRY_READ, fd_, 0x40, 33, buffer.data(), 0);
    for (const auto &line : bbusim::transcript())
        EXPECT_EQ(line.find(" sleep "), std::string::npos) << line;
}

class InvalidDirection : public RetryTest, public ::testing::WithParamInterface<int> {};

TEST_P(InvalidDirection, IsRejectedBeforeAnyTransfer)
{
    std::array<char, 8> buffer;
    buffer.fill('\x5a');
    CaptureStdout();
    CaptureStderr();
    int rc = I2C_command_with_retry(GetParam(), fd_, 0x40, 8, buffer.data(), 1);
    std::fflush(stdout);
    EXPECT_EQ(GetCapturedStdout() + GetCapturedStderr(), "");

    EXPECT_EQ(rc, -2);
    EXPECT_TRUE(bus_transfers().empty());
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](char b) { return b == '\x5a'; }));
    EXPECT_EQ(trace_messages(),
              (std::vector<std::string>{kOpening, "Invalid I2C retry option, rc = -2", ""}));
}

INSTANTIATE_TEST_SUITE_P(retry, InvalidDirection, ::testing::Values(0, 3, -1, 12));

TEST_F(retry, VerboseIsHandedToEveryAttempt)
{
    apply("fault fail 0x40 read count 2\n");
    std::array<char, 33> buffer{};
    CaptureStdout();
    CaptureStderr();
    int rc = I2C_command_with_retry(I2C_RETRY_READ, fd_, 0x40, 33, buffer.data(), 1);
    std::fflush(stdout);
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();

    EXPECT_EQ(rc, 33);
    EXPECT_EQ(err, "The Ioctl read failed rc: -1 \nThe Ioctl read failed rc: -1 \n");
    EXPECT_EQ(out, "the ioctl read command worked, rc: 1\n");
    // The transfers' lines sit between the retry layer's opening and result lines.
    EXPECT_EQ(trace_messages(), (std::vector<std::string>{kOpening, "The Ioctl read failed rc: -1 ",
                                                          "", "The Ioctl read failed rc: -1 ", "",
                                                          "the ioctl read command worked, rc: 1",
                                                          "", result_line(33), ""}));
}

}  // namespace
