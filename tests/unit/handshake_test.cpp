// The polls around each command of a flash load, the clear-status command,
// and the test that decides whether a Take_Flash_Block was taken.
#include <bbu/bbu.h>

#include "load_fixture.h"

namespace {

using handshake = LoadTest;

struct PollCase {
    const char *name, *scenario;
    bool accept;  // the acceptance poll, else the ready poll
    int rc;
    const char *story;  // reads and 100-microsecond pauses
    const char *line;   // traced for each incomplete read
    int lines;
    const char *after;  // bytes 12 and 13 after; "ZZ" as they were before
};

const PollCase kPolls[] = {
    // The first complete status decides; a command in progress does not matter.
    {"AcceptedWhileBusy", "status 0 0xb1\nstatus 12 0x11 0x22\n", true, 1, "p", "", 0, "\x11\x22"},
    {"RefusedOnByte5", "status 5 0x02\nstatus 12 0x11 0x22\n", true, -1, "p", "", 0, "\x11\x22"},
    // Incomplete reads leave the after-values alone.
    {"NeverComplete", "status 12 0x11 0x22\nfault short 40 read 13 count 15\n", true, -1,
     "p . p . p . p . p . p . p . p . p . p . p . p . p . p . p", "wait for ack read_len 13", 15,
     "ZZ"},
};

class PollCases : public LoadTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PollCases, ReadsLinesAndResult)
{
    const PollCase &c = GetParam();
    apply(c.scenario);
    byte12_afterTFB = byte13_afterTFB = 'Z';
    EXPECT_EQ(c.accept ? wait_for_cmd_accept(fd_, 0) : wait_for_cmd_ready(fd_, 0), c.rc);
    EXPECT_EQ(bus_story(true), c.story);
    EXPECT_EQ(std::ranges::count(bbutest::lines(trace_messages()), c.line), c.lines);
    EXPECT_EQ(std::string({byte12_afterTFB, byte13_afterTFB}), c.after);
}

INSTANTIATE_TEST_SUITE_P(handshake, PollCases, ::testing::ValuesIn(kPolls),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(handshake, ClearStatusAfterAPause)
{
    EXPECT_EQ(clear_status(fd_, 0), 2);
    EXPECT_EQ(bus_story(true), ". E");
}

// Taken only when bytes 12 and 13 both changed. A BBU in flash-program mode
// with no record takes nothing, so each re-send looks lost again.
TEST_F(handshake, TfbTakenOnlyWhenBothBytesChanged)
{
    const char tfb[] = {'\x8F', '\x8F'};
    for (const char *after : {"\x02\x02", "\x02\x01", "\x01\x02"}) {
        start_world(true);
        apply("status 4 0x02\nstatus 12 0x01 0x01\n");
        const int fd = open_I2C_device(0);
        byte12_beforeTFB = byte13_beforeTFB = 0x01;
        byte12_afterTFB = after[0];
        byte13_afterTFB = after[1];
        const int resent = after[0] != after[1];
        EXPECT_EQ(check_and_retryTFB(fd, tfb, 0), resent);
        EXPECT_EQ(bus_story(), resent ? "T T T" : "");
        close_I2C_device(fd);
    }
}

}  // namespace
