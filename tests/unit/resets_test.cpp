// The soft reset's power-up poll, the hard reset's four clock writes and
// their failures, and the opening status check that resets a BBU left in
// flash-program mode.
#include <bbu/bbu.h>

#include "load_fixture.h"

namespace {

using resets = LoadTest;

struct SoftCase {
    const char *name, *scenario, *story;  // the command, then each status poll
    int waits;                            // polls that found no power-up
};

const SoftCase kSoft[] = {
    {"PowerUpAtFirstPoll", "reset-polls 0", "X p", 0},
    {"PowerUpAfterThreePolls", "reset-polls 3", "X p p p p", 3},
    {"NeverPowersUp", "reset-polls never",
     "X p p p p p p p p p p p p p p p p p p p p p p p p p p p p p p", 30},
    // power_up and non_zero, but byte 1 is not byte 0's complement: noise.
    {"ComplementWrong", "reset-polls 0\nstatus 1 0x00",
     "X p p p p p p p p p p p p p p p p p p p p p p p p p p p p p p", 30},
};

class SoftResets : public LoadTest, public ::testing::WithParamInterface<SoftCase> {};

TEST_P(SoftResets, PollOncePerSecondUntilPowerUp)
{
    const SoftCase &c = GetParam();
    apply(c.scenario);
    reset_bbu(fd_, 0);
    EXPECT_EQ(bus_story(true), c.story);
    // One second after the command, and one after each poll that failed.
    EXPECT_EQ(bbusim::now_us(), (1u + c.waits) * 1000000u);
    const auto log = bbutest::lines(trace_messages());
    ASSERT_EQ(log.size(), 2u * c.waits);
    for (int i = 0; i < c.waits; ++i)
        EXPECT_EQ(log[2 * i], "reset waiting retries remaining = " + std::to_string(30 - i));
}

INSTANTIATE_TEST_SUITE_P(resets, SoftResets, ::testing::ValuesIn(kSoft),
                         [](const auto &info) { return std::string(info.param.name); });

// The clock writes in their order; a step that falls short ends the reset.
const std::vector<std::string> kClockWrites = {
    "write 0x68 5 : 07 80 80 80 80 -> ", "write 0x68 2 : 0e 05 -> ", "write 0x68 2 : 0e 04 -> ",
    "write 0x68 2 : 0f 00 -> "};

struct HardCase {
    const char *name, *fault;
    std::size_t writes;
    int rc, seconds;
    const char *returned, *last;  // trace lines: the step's result, the last one
};

const HardCase kHard[] = {
    {"AllFourSteps", "", 4, 0, 32, "Clear the alarm flags return 2",
     "Wait for 30 seconds for processor to reset"},
    {"SetAlarmShort", "fault short 68 write 3\n", 1, -1, 0, "Set Alarm 1 return 3",
     "Set Alarm 1 does not return 5"},
    {"EnableFails", "fault fail 68 write skip 1\n", 2, -1, 0, "Enable Alarm 1 return -6",
     "Enable Alarm 1 does not return 2"},
    {"DisableFails", "fault fail 68 write skip 2\n", 3, -1, 2, "Disable Alarm 1 return -6",
     "Disable Alarm 1 does not return 2"},
    {"ClearFails", "fault fail 68 write skip 3\n", 4, -1, 2, "Clear the alarm flags return -6",
     "Clear Alarm Flags does not return 2"},
};

class HardResets : public LoadTest, public ::testing::WithParamInterface<HardCase> {};

TEST_P(HardResets, ClockStepsInOrder)
{
    const HardCase &c = GetParam();
    apply(c.fault);
    const Run r = captured([&] { return processor_reset_bbu(fd_, 0); });
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.out, c.rc == 0 ? "" : c.last + std::string("\n")) << "shown whatever verbose";
    const auto bus = bus_transfers();
    ASSERT_EQ(bus.size(), c.writes);
    for (std::size_t i = 0; i < bus.size(); ++i)
        EXPECT_EQ(bus[i].substr(0, kClockWrites[i].size()), kClockWrites[i]);
    EXPECT_EQ(bbusim::now_us(), c.seconds * 1000000u);
    const auto log = bbutest::lines(trace_messages());
    EXPECT_EQ(log.front(), "*** Hard Reset Start ***");
    EXPECT_EQ(std::ranges::count(log, c.returned), 1);
    EXPECT_EQ(log.back(), c.last);
    // Start; each step's line, result and a blank; the 2-second wait; the end.
    EXPECT_EQ(log.size(), 3 * c.writes + 2 + (c.writes > 2) + (c.rc == 0));
}

INSTANTIATE_TEST_SUITE_P(resets, HardResets, ::testing::ValuesIn(kHard),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(resets, OpeningCheckResetsABbuLeftInFlashProgramMode)
{
    apply("status 4 0x02\nreset-polls 0\n");
    const Run r = captured([&] { return get_BBU_status(fd_, 0); });
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out.rfind("initial status length = 48\n", 0), 0u);
    EXPECT_NE(r.out.find("\nBBU was left in Flash_Program Mode\nPerform soft reset\n"),
              std::string::npos);
    EXPECT_EQ(bus_story(), "X");
    EXPECT_EQ(bbusim::now_us(), 6000000u);
    EXPECT_EQ(bbusim::peek_status()[4] & 0x02, 0) << "the reset ended flash-program mode";
}

}  // namespace
