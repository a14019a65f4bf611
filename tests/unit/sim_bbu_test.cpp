// The device models: the BBU's general status and command-response
// conversation, the VPD EEPROM and the real-time clock. The default world's
// bytes and a whole capture are in the golden files of the end-to-end tests.
#include <numeric>

#include "sim_bus.h"

namespace {

using namespace ::testing;
using BbusimBbuTest = SimBusTest;

TEST_F(BbusimBbuTest, StatusReadOfAnyLengthIsTheBlocksStartThenIdleBytes)
{
    const auto peeked = bbusim::peek_status();
    const Bytes full(peeked.begin(), peeked.end());
    EXPECT_EQ(full[0] ^ full[1], 0xff);
    EXPECT_EQ(full[32], end_around_sum(full.data(), 32));
    for (std::size_t len : {1u, 32u, 33u, 40u}) {
        Bytes expected(full.begin(),
                       full.begin() + static_cast<long>(std::min<std::size_t>(len, 33)));
        expected.resize(len, 0xff);
        const Xfer x = read(0x40, len);
        EXPECT_EQ(x.carried, static_cast<int>(len));
        EXPECT_EQ(x.data, expected) << len;
    }
}

TEST_F(BbusimBbuTest, ScenarioStatusBytesElapsedSecondsAndPinnedComplement)
{
    apply("status 8 00 00 01 00\nstatus 14 21 40");
    sleep(300);
    usleep(999999);
    EXPECT_EQ(hex(status().data() + 8, 8), "00 00 02 2c 00 00 21 40") << "256 + 300 seconds";
    apply("status 0 35");
    EXPECT_EQ(status()[1], 0xca) << "byte 1 follows byte 0";
    apply("status 1 00");
    const Bytes g = status();
    EXPECT_EQ(g[1], 0x00) << "set explicitly, byte 1 keeps its value";
    EXPECT_EQ(g[32], end_around_sum(g.data(), 32));
}

TEST_F(BbusimBbuTest, FrameBusyPollThenCheckedResponseBlock)
{
    // The frame and the statement that sets its data, up to the data's offset.
    const std::pair<Bytes, std::string> rows[] = {{{0xc8, 0x00, 0xc8}, "state-save"},
                                                  {{0xc4, 0x01, 0xc5}, "string 1"},
                                                  {{0xc4, 0x03, 0xc7}, "string 3"}};
    for (const auto &[frame, statement] : rows) {
        SCOPED_TRACE(statement);
        start_world(true);
        Bytes data(frame[0] == 0xc8 ? 80 : 32);
        std::iota(data.begin(), data.end(), std::uint8_t{0x30});
        apply(statement + " 0 " + hex(data.data(), data.size()));
        sleep(7);
        if (frame[0] == 0xc4)
            data[9] += 7;  // a string's bytes 6-9 count seconds on from the value set
        ASSERT_EQ(write(0x40, frame).rc, 1);
        const std::size_t block_len = 5 + data.size() + 1;
        EXPECT_EQ(read(0x60, block_len).data, Bytes(block_len, 0xff)) << "nothing offered yet";

        // By default the first poll still shows the command in progress, named in byte 19.
        const Bytes busy = status();
        EXPECT_EQ(busy[0] & 0x80, 0x80);
        EXPECT_EQ(busy[19], frame[0]);
        EXPECT_EQ(busy[32], end_around_sum(busy.data(), 32));
        const Bytes done = status();
        EXPECT_EQ(done[0] & 0x80, 0);
        EXPECT_EQ(done[19], 0);

        // Echo, counter, length, block number and count, the data, the check byte;
        // offered to every read until the next command.
        Bytes block{frame[0], 1, static_cast<std::uint8_t>(data.size()), 0, 1};
        for (const std::uint8_t b : data)
            block.push_back(b);
        block.push_back(end_around_sum(block.data(), block.size()));
        EXPECT_EQ(read(0x60, block_len).data, block);
        EXPECT_EQ(read(0x60, block_len).data, block);
    }
}

TEST_F(BbusimBbuTest, DefaultStringsAreTheFirstAndItsOffsets)
{
    run_command({0xc4, 0x01, 0xc5});
    EXPECT_EQ(hex(read(0x60, 38).data.data() + 5, 32),
              "41 00 00 02 00 0c 00 12 d6 40 00 00 1c 20 33 90 "
              "00 96 00 64 02 1c 00 01 5f 90 40 03 01 f4 32 c8");
    run_command({0xc4, 0x03, 0xc7});
    EXPECT_EQ(hex(read(0x60, 38).data.data() + 5, 32),
              "41 00 00 02 00 0e 00 12 d6 1e 00 00 1c 10 33 9a "
              "00 9c 00 64 02 20 00 01 5f 92 40 05 01 f2 32 d0");
}

TEST_F(BbusimBbuTest, BadFrameSetsItsErrorBitAndRunsNothing)
{
    const std::tuple<const char *, Bytes, std::uint8_t> rows[] = {
        {"", {0xc8, 0x00, 0xc9}, 0x01},  // wrong check byte
        {"", {0xc7, 0x00, 0xc7}, 0x08},  // unknown command
        {"", {0xc8, 0xc8}, 0x10},        // a known command of the wrong length
        {"", {0xc4, 0x00, 0xc4}, 0x02},  // no string 0
        {"", {0xc4, 0x04, 0xc8}, 0x02},  // three strings by default
        {"strings 1", {0xc4, 0x02, 0xc6}, 0x02},
    };
    for (const auto &[scenario, frame, byte5] : rows) {
        SCOPED_TRACE(hex(frame.data(), frame.size()));
        start_world(true);
        apply(scenario);
        ASSERT_EQ(write(0x40, frame).rc, 1);
        const Bytes g = status();
        EXPECT_EQ(g[5], byte5);
        EXPECT_EQ(g[0] & 0x80, 0) << "not executed";
        EXPECT_EQ(read(0x60, 38).data, Bytes(38, 0xff)) << "no block offered";
        EXPECT_EQ(run_command({0xc8, 0x00, 0xc8}), 1);
        EXPECT_EQ(status()[5], 0) << "the next good command clears the error bits";
    }
}

TEST_F(BbusimBbuTest, CommandWhileBusyIsAMultipleCommand)
{
    ASSERT_EQ(write(0x40, {0xc8, 0x00, 0xc8}).rc, 1);
    ASSERT_EQ(write(0x40, {0xc4, 0x01, 0xc5}).rc, 1);
    const Bytes g = status();
    EXPECT_EQ(g[5], 0x80);
    EXPECT_EQ(g[19], 0xc8) << "the first command goes on";
    status();
    EXPECT_EQ(read(0x60, 86).data[0], 0xc8);
    EXPECT_EQ(write(0x60, Bytes(134)).carried, 134) << "writes at 0x60 are accepted";
}

TEST_F(BbusimBbuTest, PeekDoesNotCountAsAPoll)
{
    ASSERT_EQ(write(0x40, {0xc8, 0x00, 0xc8}).rc, 1);
    EXPECT_EQ(bbusim::peek_status()[0] & 0x80, 0x80);
    EXPECT_EQ(bbusim::peek_status()[0] & 0x80, 0x80);
    EXPECT_EQ(status()[0] & 0x80, 0x80) << "the one busy poll";
    EXPECT_EQ(status()[0] & 0x80, 0);
}

TEST_F(BbusimBbuTest, VpdEepromAddressingLikeA24c02)
{
    const auto before = bbusim::peek_vpd();
    // Byte writes, then a read from a set address; a plain read goes on from there.
    ASSERT_EQ(write(0x54, {0x47, 'Z'}).rc, 1);
    ASSERT_EQ(write(0x54, {0x48, 'Y'}).rc, 1);
    ASSERT_EQ(write(0x54, {0x47}).rc, 1);
    EXPECT_EQ(read(0x54, 2).data, (Bytes{'Z', 'Y'}));
    EXPECT_EQ(read(0x54, 1).data[0], before[0x49]);
    // A write wraps within its 8-byte page; a read wraps at the end of the memory.
    ASSERT_EQ(write(0x54, {0x06, 1, 2, 3}).rc, 1);
    const auto vpd = bbusim::peek_vpd();
    EXPECT_EQ(hex(vpd.data(), 9),
              "03 " + hex(before.data() + 1, 5) + " 01 02 " + hex(&before[8], 1));
    ASSERT_EQ(write(0x54, {0xff}).rc, 1);
    EXPECT_EQ(read(0x54, 2).data, (Bytes{vpd[255], vpd[0]}));
}

TEST_F(BbusimBbuTest, RealTimeClockRunsWithTheVirtualWallClock)
{
    // 2024-02-29 23:59:58, a Thursday; three seconds later, Friday March 1st.
    ASSERT_EQ(write(0x68, {0x00, 0x58, 0x59, 0x23, 0x05, 0x29, 0x02, 0x24}).rc, 1);
    sleep(3);
    ASSERT_EQ(write(0x68, {0x00}).rc, 1);
    EXPECT_EQ(read(0x68, 7).data, (Bytes{0x01, 0x00, 0x00, 0x06, 0x01, 0x03, 0x24}));
    // Alarm and control registers keep what is written.
    ASSERT_EQ(write(0x68, {0x07, 0x80, 0x80, 0x80, 0x80}).rc, 1);
    ASSERT_EQ(write(0x68, {0x0e, 0x05}).rc, 1);
    ASSERT_EQ(write(0x68, {0x07}).rc, 1);
    EXPECT_EQ(read(0x68, 9).data, (Bytes{0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0x05, 0x00}));
}

TEST_F(BbusimBbuTest, AbsentDeviceDoesNotAnswer)
{
    apply("device 54 absent");
    EXPECT_EQ(read(0x54, 1).err, ENXIO);
    apply("device 0x54 present");
    EXPECT_EQ(read(0x54, 1).rc, 1);
}

}  // namespace
