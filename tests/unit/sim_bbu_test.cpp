// The device models: the BBU's general status and command-response
// conversation, the VPD EEPROM and the real-time clock.
#include <ctime>

#include "sim_bus.h"

namespace {

using BbusimBbuTest = SimBusTest;

TEST_F(BbusimBbuTest, GeneralStatusCarriesComplementAndSumcheck)
{
    Bytes gss = status();
    EXPECT_EQ(gss[0] ^ gss[1], 0xff);
    EXPECT_EQ(gss[32], end_around_sum(gss.data(), 32));
    EXPECT_EQ(gss[0] & 0x31, 0x31) << "proper and actual connection, non_zero";
    EXPECT_EQ(gss[3] & 0x20, 0x20) << "state save available";
    EXPECT_EQ(gss[18] >> 4, 3) << "three strings";
    auto peeked = bbusim::peek_status();
    EXPECT_EQ(Bytes(peeked.begin(), peeked.end()), gss);
}

TEST_F(BbusimBbuTest, StatusReadsOfOtherLengthsGiveTheBlockStartThenIdleBytes)
{
    Bytes full = status();
    for (std::size_t len : {1u, 2u, 32u, 33u, 40u}) {
        Xfer x = read(0x40, len);
        ASSERT_EQ(x.rc, 1);
        EXPECT_EQ(x.carried, static_cast<int>(len));
        for (std::size_t i = 0; i < len; ++i)
            EXPECT_EQ(x.data[i], i < 33 ? full[i] : 0xff) << "length " << len << " byte " << i;
    }
}

TEST_F(BbusimBbuTest, ElapsedTimeAndStatusSumFollowVirtualTime)
{
    auto seconds = [](const Bytes &g) {
        return (std::uint32_t{g[8]} << 24) | (std::uint32_t{g[9]} << 16) |
               (std::uint32_t{g[10]} << 8) | g[11];
    };
    Bytes before = status();
    sleep(300);
    usleep(999999);
    Bytes after = status();
    EXPECT_EQ(seconds(after) - seconds(before), 300u);
    EXPECT_EQ(after[32], end_around_sum(after.data(), 32));
}

struct CommandCase {
    const char *name;
    Bytes frame;
    std::size_t data_len;
    int string;  // 0: the state save; else the battery string read
};

class BbusimBbuCommandTest : public SimBusTest,
                             public ::testing::WithParamInterface<CommandCase> {};

Bytes counting(std::size_t n, std::uint8_t from)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(from + i);
    return b;
}

std::string hex_run(const Bytes &b)
{
    std::string s;
    char two[4];
    for (auto v : b) {
        std::snprintf(two, sizeof two, " %02x", v);
        s += two;
    }
    return s;
}

TEST_P(BbusimBbuCommandTest, FrameBusyPollThenCheckedResponseBlock)
{
    const CommandCase &c = GetParam();
    Bytes data = counting(c.data_len, static_cast<std::uint8_t>(0x30 + c.string));
    if (c.string == 0)
        apply("state-save 0" + hex_run(data));
    else
        apply("string " + std::to_string(c.string) + " 0" + hex_run(data));
    ASSERT_EQ(write(0x40, c.frame).rc, 1);
    EXPECT_EQ(read(0x60, 5 + c.data_len + 1).data, Bytes(5 + c.data_len + 1, 0xff))
        << "nothing offered while busy";

    // By default the first poll still shows the command in progress.
    Bytes busy = status();
    EXPECT_EQ(busy[0] & 0x80, 0x80);
    EXPECT_EQ(busy[1], static_cast<std::uint8_t>(~busy[0]));
    EXPECT_EQ(busy[19], c.frame[0]) << "byte 19 names the command in progress";
    EXPECT_EQ(busy[32], end_around_sum(busy.data(), 32));

    Bytes done = status();
    EXPECT_EQ(done[0] & 0x80, 0);
    EXPECT_EQ(done[5], 0);
    EXPECT_EQ(done[19], 0);

    Xfer block = read(0x60, 5 + c.data_len + 1);
    ASSERT_EQ(block.rc, 1);
    const Bytes &b = block.data;
    EXPECT_EQ(b[0], c.frame[0]) << "echo";
    EXPECT_EQ(b[1], 1) << "first command";
    EXPECT_EQ(b[2], c.data_len);
    EXPECT_EQ(b[3], 0) << "block number";
    EXPECT_EQ(b[4], 1) << "block count";
    EXPECT_EQ(Bytes(b.begin() + 5, b.end() - 1), data);
    EXPECT_EQ(b.back(), end_around_sum(b.data(), b.size() - 1));
    // The block stays offered for another read.
    EXPECT_EQ(read(0x60, b.size()).data, b);
}

INSTANTIATE_TEST_SUITE_P(Commands, BbusimBbuCommandTest,
                         ::testing::Values(CommandCase{"StateSave", {0xc8, 0x00, 0xc8}, 80, 0},
                                           CommandCase{"String1", {0xc4, 0x01, 0xc5}, 32, 1},
                                           CommandCase{"String2", {0xc4, 0x02, 0xc6}, 32, 2},
                                           CommandCase{"String3", {0xc4, 0x03, 0xc7}, 32, 3}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimBbuTest, StateSaveBlockCarriesTheScenarioData)
{
    Bytes data = counting(80, 0x10);
    apply("state-save 0" + hex_run(Bytes(data.begin(), data.begin() + 40)) + "\nstate-save 40" +
          hex_run(Bytes(data.begin() + 40, data.end())));
    run_command({0xc8, 0x00, 0xc8});
    Xfer block = read(0x60, 86);
    EXPECT_EQ(Bytes(block.data.begin() + 5, block.data.begin() + 85), data);
    EXPECT_EQ(block.data[85], end_around_sum(block.data.data(), 85));
}

TEST_F(BbusimBbuTest, BatteryStringBlocksCarryTheirOwnStringAndLiveSeconds)
{
    for (int n = 1; n <= 3; ++n)
        apply("string " + std::to_string(n) + " 0" +
              hex_run(counting(32, static_cast<std::uint8_t>(n * 0x20))));
    sleep(7);
    for (int n = 1; n <= 3; ++n) {
        SCOPED_TRACE("string " + std::to_string(n));
        auto p = static_cast<std::uint8_t>(n);
        run_command({0xc4, p, static_cast<std::uint8_t>(0xc4 + p)});
        Bytes b = read(0x60, 38).data;
        Bytes expected = counting(32, static_cast<std::uint8_t>(n * 0x20));
        // Bytes 6-9 count seconds: 7 more than when the scenario set them.
        std::uint32_t secs = (std::uint32_t{expected[6]} << 24 | std::uint32_t{expected[7]} << 16 |
                              std::uint32_t{expected[8]} << 8 | expected[9]) +
                             7;
        expected[6] = static_cast<std::uint8_t>(secs >> 24);
        expected[7] = static_cast<std::uint8_t>(secs >> 16);
        expected[8] = static_cast<std::uint8_t>(secs >> 8);
        expected[9] = static_cast<std::uint8_t>(secs);
        EXPECT_EQ(Bytes(b.begin() + 5, b.begin() + 37), expected);
        EXPECT_EQ(b[1], n) << "the counter counts commands";
        EXPECT_EQ(b[37], end_around_sum(b.data(), 37));
    }
}

TEST_F(BbusimBbuTest, DefaultStringsLookLiveAndDiffer)
{
    Bytes first, second;
    run_command({0xc4, 0x01, 0xc5});
    first = read(0x60, 38).data;
    run_command({0xc4, 0x02, 0xc6});
    second = read(0x60, 38).data;
    EXPECT_NE(Bytes(first.begin() + 5, first.begin() + 37),
              Bytes(second.begin() + 5, second.begin() + 37));
    EXPECT_NE(first[5 + 14] | first[5 + 15], 0) << "a battery voltage";
}

struct BadFrame {
    const char *name;
    const char *scenario;
    Bytes frame;
    std::uint8_t byte5;
};

class BbusimBbuBadFrameTest : public SimBusTest, public ::testing::WithParamInterface<BadFrame> {};

TEST_P(BbusimBbuBadFrameTest, SetsItsErrorBitAndRunsNothing)
{
    const BadFrame &c = GetParam();
    apply(c.scenario);
    ASSERT_EQ(write(0x40, c.frame).rc, 1);
    Bytes g = status();
    EXPECT_EQ(g[5], c.byte5);
    EXPECT_EQ(g[0] & 0x80, 0) << "not executed";
    EXPECT_EQ(read(0x60, 38).data, Bytes(38, 0xff)) << "no block offered";

    // The next good command clears the error bits.
    EXPECT_EQ(run_command({0xc8, 0x00, 0xc8}), 1);
    EXPECT_EQ(status()[5], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BbusimBbuBadFrameTest,
    ::testing::Values(BadFrame{"WrongCheckByte", "", {0xc8, 0x00, 0xc9}, 0x01},
                      BadFrame{"UnknownCommand", "", {0xc7, 0x00, 0xc7}, 0x08},
                      BadFrame{"KnownCommandWrongLength", "", {0xc8, 0xc8}, 0x10},
                      BadFrame{"StringZero", "", {0xc4, 0x00, 0xc4}, 0x02},
                      BadFrame{"StringBeyondThree", "", {0xc4, 0x04, 0xc8}, 0x02},
                      BadFrame{"StringBeyondConfiguredTwo", "strings 2", {0xc4, 0x03, 0xc7}, 0x02}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimBbuTest, CommandWhileBusyIsAMultipleCommand)
{
    ASSERT_EQ(write(0x40, {0xc8, 0x00, 0xc8}).rc, 1);
    ASSERT_EQ(write(0x40, {0xc4, 0x01, 0xc5}).rc, 1);
    Bytes g = status();
    EXPECT_EQ(g[5], 0x80);
    EXPECT_EQ(g[19], 0xc8) << "the first command goes on";
    status();
    EXPECT_EQ(read(0x60, 86).data[0], 0xc8);
}

TEST_F(BbusimBbuTest, BusyPollsSettingCountsStatusReads)
{
    for (int polls : {0, 1, 3, 7}) {
        SCOPED_TRACE(polls);
        apply("busy-polls " + std::to_string(polls));
        EXPECT_EQ(run_command({0xc8, 0x00, 0xc8}), polls);
    }
}

TEST_F(BbusimBbuTest, ScenarioStatusBytesAndPinnedComplement)
{
    apply("status 14 21 40\nstatus 30 07 03");
    Bytes g = status();
    EXPECT_EQ(g[14], 0x21);
    EXPECT_EQ(g[15], 0x40);
    EXPECT_EQ(g[30], 0x07);
    EXPECT_EQ(g[31], 0x03);
    apply("status 0 35");
    EXPECT_EQ(status()[1], 0xca) << "byte 1 follows byte 0";
    apply("status 1 00");
    g = status();
    EXPECT_EQ(g[1], 0x00) << "set explicitly, byte 1 keeps its value";
    EXPECT_EQ(g[32], end_around_sum(g.data(), 32));
}

TEST_F(BbusimBbuTest, WritesToTheExtendedWindowAreAccepted)
{
    Xfer x = write(0x60, counting(134, 0));
    EXPECT_EQ(x.rc, 1);
    EXPECT_EQ(x.carried, 134);
}

TEST_F(BbusimBbuTest, VpdImageIsWellFormedByDefault)
{
    auto vpd = bbusim::peek_vpd();
    std::uint8_t x = 0;
    for (int i = 0; i < 255; ++i)
        x ^= vpd[static_cast<std::size_t>(i)];
    EXPECT_EQ(vpd[255], x);
    EXPECT_EQ(vpd[0], 0x00);
    for (auto [offset, head] : std::vector<std::pair<int, std::string>>{{2, "PN="},
                                                                        {13, "FN="},
                                                                        {24, "SN="},
                                                                        {39, "EC="},
                                                                        {52, "MFR="},
                                                                        {62, "CL="},
                                                                        {73, "name="},
                                                                        {88, "DFL="},
                                                                        {97, "PC="},
                                                                        {108, "BAT="}})
        EXPECT_EQ(
            std::string(vpd.begin() + offset, vpd.begin() + offset + static_cast<int>(head.size())),
            head);
}

TEST_F(BbusimBbuTest, VpdEepromAddressingLikeA24c02)
{
    // Byte writes, then a read from a set address.
    ASSERT_EQ(write(0x54, {0x47, 'Z'}).rc, 1);
    ASSERT_EQ(write(0x54, {0x48, 'Y'}).rc, 1);
    ASSERT_EQ(write(0x54, {0x47}).rc, 1);
    EXPECT_EQ(read(0x54, 2).data, (Bytes{'Z', 'Y'}));
    // A plain read continues from where the last one stopped.
    auto vpd = bbusim::peek_vpd();
    EXPECT_EQ(read(0x54, 1).data[0], vpd[0x49]);
    // A write wraps within its 8-byte page.
    auto before = bbusim::peek_vpd();
    ASSERT_EQ(write(0x54, {0x06, 1, 2, 3}).rc, 1);
    vpd = bbusim::peek_vpd();
    EXPECT_EQ(vpd[6], 1);
    EXPECT_EQ(vpd[7], 2);
    EXPECT_EQ(vpd[0], 3);
    EXPECT_EQ(vpd[8], before[8]) << "the next page is untouched";
    EXPECT_EQ(vpd[1], before[1]);
    // A read wraps at the end of the memory.
    ASSERT_EQ(write(0x54, {0xff}).rc, 1);
    EXPECT_EQ(read(0x54, 2).data, (Bytes{vpd[255], vpd[0]}));
}

TEST_F(BbusimBbuTest, VpdScenarioTextAndBytes)
{
    apply("vpd 65 \"0105B2\" 30 31");
    auto vpd = bbusim::peek_vpd();
    EXPECT_EQ(std::string(vpd.begin() + 65, vpd.begin() + 73), "0105B201");
}

TEST_F(BbusimBbuTest, RealTimeClockRunsWithTheVirtualWallClock)
{
    // 2024-02-29 23:59:58, a Thursday.
    ASSERT_EQ(write(0x68, {0x00, 0x58, 0x59, 0x23, 0x05, 0x29, 0x02, 0x24}).rc, 1);
    sleep(3);
    ASSERT_EQ(write(0x68, {0x00}).rc, 1);
    EXPECT_EQ(read(0x68, 7).data, (Bytes{0x01, 0x00, 0x00, 0x06, 0x01, 0x03, 0x24}));
    // Alarm and control registers keep what is written.
    ASSERT_EQ(write(0x68, {0x07, 0x80, 0x80, 0x80, 0x80}).rc, 1);
    ASSERT_EQ(write(0x68, {0x0e, 0x05}).rc, 1);
    ASSERT_EQ(write(0x68, {0x07}).rc, 1);
    Bytes regs = read(0x68, 9).data;
    EXPECT_EQ(regs, (Bytes{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0x05, 0x00}));
}

TEST_F(BbusimBbuTest, AbsentDeviceDoesNotAnswer)
{
    apply("device 54 absent");
    Xfer x = read(0x54, 1);
    EXPECT_EQ(x.rc, -1);
    EXPECT_EQ(x.err, ENXIO);
    apply("device 0x54 present");
    EXPECT_EQ(read(0x54, 1).rc, 1);
}

TEST_F(BbusimBbuTest, PeekDoesNotCountAsAPoll)
{
    ASSERT_EQ(write(0x40, {0xc8, 0x00, 0xc8}).rc, 1);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bbusim::peek_status()[0] & 0x80, 0x80);
    EXPECT_EQ(status()[0] & 0x80, 0x80) << "the one busy poll";
    EXPECT_EQ(status()[0] & 0x80, 0);
}

}  // namespace
