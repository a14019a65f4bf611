// Injected faults: each kind with count, skip and trigger.
#include <functional>

#include "sim_bus.h"

namespace {

using BbusimFaultTest = SimBusTest;

// Outcome of one transfer in a sequence: the errno, or 0 for success.
std::vector<int> outcomes(int n, const std::function<Xfer()> &op)
{
    std::vector<int> out;
    for (int i = 0; i < n; ++i)
        out.push_back(op().err);
    return out;
}

struct FailCase {
    const char *name;
    const char *scenario;
    std::vector<int> reads;   // errno of five reads at 0x40
    std::vector<int> writes;  // errno of two writes at 0x54
};

class BbusimFailFaultTest : public SimBusTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(BbusimFailFaultTest, FailsTheMatchingTransfers)
{
    const FailCase &c = GetParam();
    apply(c.scenario);
    EXPECT_EQ(outcomes(5, [this] { return read(0x40, 33); }), c.reads);
    EXPECT_EQ(outcomes(2, [this] { return write(0x54, {0x10}); }), c.writes);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BbusimFailFaultTest,
    ::testing::Values(
        FailCase{"Once", "fault fail 40", {EIO, 0, 0, 0, 0}, {0, 0}},
        FailCase{"CountTwoWithErrno",
                 "fault fail 0x40 read ETIMEDOUT count 2",
                 {ETIMEDOUT, ETIMEDOUT, 0, 0, 0},
                 {0, 0}},
        FailCase{"SkipOne", "fault fail 40 count 2 skip 1", {0, EIO, EIO, 0, 0}, {0, 0}},
        FailCase{"WritesOnly", "fault fail 40 write count 3", {0, 0, 0, 0, 0}, {0, 0}},
        FailCase{"OtherAddress", "fault fail 54 write EREMOTEIO", {0, 0, 0, 0, 0}, {EREMOTEIO, 0}},
        FailCase{"Always", "fault fail 40 read count always", {EIO, EIO, EIO, EIO, EIO}, {0, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimFaultTest, FailedTransferShowsItsErrnoInTheTranscript)
{
    apply("fault fail 40 EAGAIN");
    EXPECT_EQ(write(0x40, {0xc8, 0x00, 0xc8}).err, EAGAIN);
    EXPECT_EQ(bus_transfers(), std::vector<std::string>{"write 0x40 3 : c8 00 c8 -> EAGAIN"});
    EXPECT_EQ(status()[0] & 0x80, 0) << "the failed frame never reached the BBU";
}

TEST_F(BbusimFaultTest, ShortReadCarriesFewerBytesAndSaysSoInTheLength)
{
    apply("fault short 40 read 10");
    auto peek = bbusim::peek_status();
    Xfer x = read(0x40, 33);
    EXPECT_EQ(x.rc, 1);
    EXPECT_EQ(x.carried, 10);
    EXPECT_EQ(Bytes(x.data.begin(), x.data.begin() + 10), Bytes(peek.begin(), peek.begin() + 10));
    EXPECT_EQ(Bytes(x.data.begin() + 10, x.data.end()), Bytes(23, 0xa5))
        << "the rest is not written";
    EXPECT_EQ(read(0x40, 33).carried, 33);
    EXPECT_EQ(bus_transfers()[0].substr(0, 22), "read 0x40 33 -> 10 : 3");
}

TEST_F(BbusimFaultTest, ShortWriteDeliversOnlyTheCarriedBytes)
{
    apply("fault short 40 2 write");  // the length may also come first
    Xfer x = write(0x40, {0xc8, 0x00, 0xc8});
    EXPECT_EQ(x.carried, 2);
    // The BBU saw C8 00: its last byte is not the sum of the first.
    EXPECT_EQ(status()[5], 0x01);
}

TEST_F(BbusimFaultTest, OpenFailsWithTheGivenErrnoThenWorks)
{
    apply("fault open EACCES");
    errno = 0;
    EXPECT_EQ(::open("/dev/i2c-0b", O_RDWR), -1);
    EXPECT_EQ(errno, EACCES);
    int fd = ::open("/dev/i2c-0b", O_RDWR);
    EXPECT_GE(fd, 0);
    ::close(fd);
    auto ev = events();
    ASSERT_GE(ev.size(), 3u);
    EXPECT_EQ(ev[1], "open /dev/i2c-0b -> EACCES");
    EXPECT_EQ(ev[2], "open /dev/i2c-0b -> " + std::to_string(fd));
}

TEST_F(BbusimFaultTest, GeneralStatusCheckByteCorruptedForFullReadsOnly)
{
    apply("fault gss-check count 2");
    auto good = [this] {
        Bytes g = status();
        return g[32] == end_around_sum(g.data(), 32);
    };
    EXPECT_EQ(read(0x40, 32).carried, 32)
        << "a 32-byte read carries no check byte and takes no fault";
    EXPECT_FALSE(good());
    EXPECT_FALSE(good());
    EXPECT_TRUE(good());
}

TEST_F(BbusimFaultTest, BusyForTheNextCommand)
{
    apply("fault busy 4");
    EXPECT_EQ(run_command({0xc8, 0x00, 0xc8}), 4);
    EXPECT_EQ(run_command({0xc8, 0x00, 0xc8}), 1) << "back to the setting";
}

TEST_F(BbusimFaultTest, BusyTriggeredByCommandAndParameter)
{
    apply("fault busy 6 on c4 02");
    EXPECT_EQ(run_command({0xc8, 0x00, 0xc8}), 1);
    EXPECT_EQ(run_command({0xc4, 0x01, 0xc5}), 1);
    EXPECT_EQ(run_command({0xc4, 0x02, 0xc6}), 6);
    EXPECT_EQ(run_command({0xc4, 0x02, 0xc6}), 1);
}

struct ErrorBitsCase {
    const char *name;
    const char *scenario;
    int byte;
    std::uint8_t bits;
};

class BbusimErrorBitsFaultTest : public SimBusTest,
                                 public ::testing::WithParamInterface<ErrorBitsCase> {};

TEST_P(BbusimErrorBitsFaultTest, SetWhenTheCommandCompletesClearedByTheNext)
{
    const ErrorBitsCase &c = GetParam();
    apply(c.scenario);
    Bytes before = status();
    run_command({0xc8, 0x00, 0xc8});
    Bytes after = status();
    EXPECT_EQ(after[static_cast<std::size_t>(c.byte)],
              before[static_cast<std::size_t>(c.byte)] | c.bits);
    EXPECT_EQ(after[32], end_around_sum(after.data(), 32));
    run_command({0xc8, 0x00, 0xc8});
    EXPECT_EQ(status()[static_cast<std::size_t>(c.byte)], before[static_cast<std::size_t>(c.byte)]);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BbusimErrorBitsFaultTest,
    ::testing::Values(ErrorBitsCase{"Byte4", "fault error-bits 4 04", 4, 0x04},
                      ErrorBitsCase{"Byte5", "fault error-bits 5 0x42", 5, 0x42},
                      ErrorBitsCase{"Byte6", "fault error-bits 6 60", 6, 0x60}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimFaultTest, ErrorBitsOnTheTriggeringCommandOnly)
{
    apply("fault error-bits 4 04 on c4\nfault error-bits 5 01 on c4");
    run_command({0xc8, 0x00, 0xc8});
    EXPECT_EQ(status()[4], 0);
    run_command({0xc4, 0x03, 0xc7});
    Bytes g = status();
    EXPECT_EQ(g[4], 0x04);
    EXPECT_EQ(g[5], 0x01) << "both faults apply to the same completion";
}

TEST_F(BbusimFaultTest, ResponseBlockCheckByteCorruptedForNReads)
{
    apply("fault block-check count 2 skip 1");
    run_command({0xc8, 0x00, 0xc8});
    std::vector<bool> good;
    for (int i = 0; i < 4; ++i) {
        Bytes b = read(0x60, 86).data;
        good.push_back(b[85] == end_around_sum(b.data(), 85));
    }
    EXPECT_EQ(good, (std::vector<bool>{true, false, false, true}));
}

struct HeaderCase {
    const char *name;
    const char *scenario;
    std::size_t index;
    std::uint8_t value;
};

class BbusimHeaderFaultTest : public SimBusTest,
                              public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(BbusimHeaderFaultTest, NextBlockCarriesTheWrongHeaderByteWithAMatchingSum)
{
    const HeaderCase &c = GetParam();
    apply(c.scenario);
    run_command({0xc4, 0x01, 0xc5});
    Bytes b = read(0x60, 38).data;
    EXPECT_EQ(b[c.index], c.value);
    EXPECT_EQ(b[37], end_around_sum(b.data(), 37));
    run_command({0xc4, 0x01, 0xc5});
    Bytes next = read(0x60, 38).data;
    EXPECT_EQ(next[0], 0xc4);
    EXPECT_EQ(next[3], 0);
    EXPECT_EQ(next[4], 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BbusimHeaderFaultTest,
    ::testing::Values(HeaderCase{"Echo", "fault echo c8", 0, 0xc8},
                      HeaderCase{"BlockNumber", "fault block-number 1", 3, 0x01},
                      HeaderCase{"BlockCount", "fault block-count 0", 4, 0x00}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimFaultTest, TransferFaultWaitsForItsTrigger)
{
    apply("fault fail 60 read on c4 03");
    run_command({0xc4, 0x01, 0xc5});
    EXPECT_EQ(read(0x60, 38).err, 0);
    run_command({0xc4, 0x03, 0xc7});
    EXPECT_EQ(read(0x60, 38).err, EIO);
    EXPECT_EQ(read(0x60, 38).err, 0);
}

TEST_F(BbusimFaultTest, StringsSettingChangesTheCountByteAndTheValidParameters)
{
    apply("strings 1");
    EXPECT_EQ(status()[18] >> 4, 1);
    ASSERT_EQ(write(0x40, {0xc4, 0x02, 0xc6}).rc, 1);
    EXPECT_EQ(status()[5], 0x02);
}

}  // namespace

namespace {

TEST_F(BbusimFaultTest, DefaultWorldFileDescribesTheDefaultWorld)
{
    run_command({0xc8, 0x00, 0xc8});
    Bytes save_before = read(0x60, 86).data;
    auto status_before = bbusim::peek_status();
    apply(read_file(std::string(BBU_TEST_DATA) + "/sim_default_world.scn"));
    EXPECT_EQ(bbusim::peek_status(), status_before);
    run_command({0xc8, 0x00, 0xc8});
    Bytes save_after = read(0x60, 86).data;
    save_before[1] = save_after[1];  // the command counter
    save_before[85] = save_after[85];
    EXPECT_EQ(save_after, save_before);
    EXPECT_EQ(save_after[85], end_around_sum(save_after.data(), 85));
}

}  // namespace
