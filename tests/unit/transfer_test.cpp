// Transfers on the simulated adapter: the result, the message on the bus, and
// the verbose-only messages on their streams and in the trace log; and opening
// the adapter.
#include <bbu/bbu.h>
#include <gmock/gmock.h>

#include <array>

#include "sim_world.h"

namespace {

using namespace ::testing;
using bbutest::Transfer;

const std::string kReadOk = "the ioctl read command worked, rc: 1\n";
const std::string kWriting = "time zs writing I2c addr 40 cmd c8\n";
const std::string kWriteOk = "the ioctl write command worked, rc: 1\n";
const std::string kReadFailed = "The Ioctl read failed rc: -1 \n";
const std::string kWriteFailed = " The Ioctl write failed rc: -1 \n";

struct TransferCase {
    const char *name;
    const char *faults;
    bool read;
    int addr, len, rc;
    std::string out, err;  // when verbose; quiet, nothing is said
};

const TransferCase kTransfers[] = {
    {"Read", "", true, 0x40, 33, 33, kReadOk, ""},
    {"Write", "", false, 0x40, 3, 3, kWriting + kWriteOk, ""},
    {"ReadFails", "fault fail 0x40 count 2\n", true, 0x40, 33, -6, "", kReadFailed},
    {"WriteFails", "fault fail 0x40 count 2\n", false, 0x40, 3, -6, kWriting, kWriteFailed},
    {"ReadFromNoDevice", "", true, 0x23, 4, -6, "", kReadFailed},
    {"WriteToNoDevice", "", false, 0x23, 1, -6, "time zs writing I2c addr 23 cmd c8\n",
     kWriteFailed},
    {"ReadShort", "fault short 0x60 read 20 count 2\n", true, 0x60, 86, 20, kReadOk,
     "Message truncated -- Length transferred:20\n"},
    {"WriteShort", "fault short 0x40 write 1 count 2\n", false, 0x40, 3, 1, kWriting + kWriteOk,
     " Message truncated -- Length transferred:1\n"},
};

class Transfers : public SimAdapterTest, public WithParamInterface<TransferCase> {};

TEST_P(Transfers, ResultBusStreamsAndTrace)
{
    const TransferCase &c = GetParam();
    apply(c.faults);
    for (int verbose : {0, 1}) {
        clear_records();
        std::array<char, 86> buf{'\xc8', '\x00', '\xc8'};
        int rc = 0;
        auto o = bbutest::capture([&] {
            rc = c.read ? do_i2c_read(fd_, c.addr, c.len, buf.data(), verbose)
                        : do_i2c_write(fd_, c.addr, c.len, buf.data(), verbose);
        });
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(o.out, verbose ? c.out : "");
        EXPECT_EQ(o.err, verbose ? c.err : "");
        // Each message traced on a line of its own, then its own newline: stdout's first.
        std::string traced;
        for (const std::string &line : bbutest::lines(o.out + o.err))
            traced += line + "\n\n";
        EXPECT_EQ(trace_messages(), traced);

        // One message: a write offers the caller's bytes, a read delivers into the caller's buffer.
        const auto ts = transfers();
        ASSERT_THAT(ts, ElementsAre(AllOf(Field(&Transfer::read, c.read),
                                          Field(&Transfer::addr, static_cast<unsigned>(c.addr)),
                                          Field(&Transfer::len, c.len))));
        const auto used = static_cast<std::size_t>(c.read ? std::max(rc, 0) : c.len);
        EXPECT_EQ(ts[0].bytes, bbutest::Bytes(buf.begin(), buf.begin() + used));
    }
}

INSTANTIATE_TEST_SUITE_P(transfer, Transfers, ValuesIn(kTransfers), bbutest::ByName());

using OpenTest = SimWorldTest;

TEST_F(OpenTest, TheDefaultAdapterOpensQuietly)
{
    EXPECT_STREQ(I2C_Adapter, "/dev/i2c-0b");
    int fd = -1;
    auto o = bbutest::capture([&] { fd = open_I2C_device(0); });
    EXPECT_EQ(o.out + o.err, "");
    ASSERT_GE(fd, 0);
    close_I2C_device(fd);
    const std::string n = std::to_string(fd);
    EXPECT_THAT(events(), ElementsAre("open /dev/i2c-0b -> " + n, "close " + n));
}

// A failed open is reported on all three sinks whatever the verbose setting;
// the adapter opened is the one I2C_Adapter names.
TEST_F(OpenTest, AFailedOpenIsAlwaysReported)
{
    struct Row {
        const char *faults;
        bool elsewhere;  // I2C_Adapter set to a path that does not exist
        const char *error;
    };
    char *const default_adapter = I2C_Adapter;
    std::string missing = root_ + "/no-such-adapter";
    for (const Row &row : {Row{"fault open ENOENT\n", false, "No such file or directory"},
                           Row{"fault open EACCES\n", false, "Permission denied"},
                           Row{"", true, "No such file or directory"}}) {
        for (int verbose : {0, 1}) {
            start_world(true);
            apply(row.faults);
            I2C_Adapter = row.elsewhere ? missing.data() : default_adapter;
            int fd = 0;
            auto o = bbutest::capture([&] { fd = open_I2C_device(verbose); });
            I2C_Adapter = default_adapter;
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(o.out, "I2C open failed, rc = -1 \n");
            EXPECT_EQ(o.err, std::string("i2c open failed: ") + row.error + "\n");
            EXPECT_EQ(trace_messages(), "I2C open failed, rc = -1 \n\n");
        }
    }
}

}  // namespace
