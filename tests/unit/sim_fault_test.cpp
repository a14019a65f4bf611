// Injected faults as the bus shows them. How the library and battsnap report
// or ride out each kind, with counts, skips and triggers, is asserted transfer
// by transfer in their own tests; here what only the bus shows.
#include "sim_bus.h"

namespace {

using namespace ::testing;
using BbusimFaultTest = SimBusTest;

// Five status reads, then two address writes at 0x54: the errno name each
// transfer failed with, "-" for one that carried its bytes.
TEST_F(BbusimFaultTest, FailTakesTheMatchingTransfersWithItsErrno)
{
    const std::pair<const char *, const char *> rows[] = {
        {"fault fail 40", "EIO - - - - - -"},
        {"fault fail 0x40 read ETIMEDOUT count 2", "ETIMEDOUT ETIMEDOUT - - - - -"},
        {"fault fail 40 count 2 skip 1", "- EIO EIO - - - -"},
        {"fault fail 40 write count 3", "- - - - - - -"},
        {"fault fail 54 write EREMOTEIO", "- - - - - EREMOTEIO -"},
        {"fault fail 40 read count always", "EIO EIO EIO EIO EIO - -"},
    };
    for (const auto &[scenario, errors] : rows) {
        start_world(true);
        apply(scenario);
        for (int i = 0; i < 5; ++i)
            read(0x40, 33);
        write(0x54, {0x10});
        write(0x54, {0x10});
        std::string seen;
        for (const bbutest::Transfer &t : transfers())
            seen += (seen.empty() ? "" : " ") + (t.error.empty() ? "-" : t.error);
        EXPECT_EQ(seen, errors) << scenario;
    }
}

TEST_F(BbusimFaultTest, FailedFrameNeverReachesTheBbu)
{
    apply("fault fail 40 EAGAIN");
    EXPECT_EQ(write(0x40, {0xc8, 0x00, 0xc8}).err, EAGAIN);
    EXPECT_THAT(bus_transfers(), ElementsAre("write 0x40 3 : c8 00 c8 -> EAGAIN"));
    EXPECT_EQ(status()[0] & 0x80, 0);
}

TEST_F(BbusimFaultTest, ShortTransferCarriesFewerBytesAndSaysSoInItsLength)
{
    apply("fault short 40 read 10\nfault short 40 2 write");
    const auto peek = bbusim::peek_status();
    const Xfer x = read(0x40, 33);
    EXPECT_EQ(x.carried, 10);
    Bytes expected(peek.begin(), peek.begin() + 10);
    expected.resize(33, 0xa5);  // the rest of the buffer is not written
    EXPECT_EQ(x.data, expected);
    EXPECT_EQ(bus_transfers()[0], "read 0x40 33 -> 10 : " + hex(peek.data(), 10));
    EXPECT_EQ(read(0x40, 33).carried, 33);

    EXPECT_EQ(write(0x40, {0xc8, 0x00, 0xc8}).carried, 2);
    EXPECT_EQ(status()[5], 0x01) << "the BBU saw C8 00, whose last byte is not the sum";
}

TEST_F(BbusimFaultTest, StatusCheckByteCorruptedForFullReadsOnly)
{
    apply("fault gss-check count 2");
    auto good = [this] {
        const Bytes g = status();
        return g[32] == end_around_sum(g.data(), 32);
    };
    EXPECT_EQ(read(0x40, 32).carried, 32) << "a read without the check byte takes no fault";
    EXPECT_FALSE(good());
    EXPECT_FALSE(good());
    EXPECT_TRUE(good());
}

TEST_F(BbusimFaultTest, ErrorBitsOfEveryFaultOnTheTriggeringCommandUntilTheNext)
{
    apply("fault error-bits 4 04 on c4\nfault error-bits 6 60 on c4\nfault error-bits 5 01 on c4");
    run_command({0xc8, 0x00, 0xc8});
    EXPECT_EQ(hex(status().data() + 4, 3), "00 00 10");
    run_command({0xc4, 0x03, 0xc7});
    const Bytes g = status();
    EXPECT_EQ(hex(g.data() + 4, 3), "04 01 70");
    EXPECT_EQ(g[32], end_around_sum(g.data(), 32));
    run_command({0xc8, 0x00, 0xc8});
    EXPECT_EQ(hex(status().data() + 4, 3), "00 00 10");
}

}  // namespace
