// Transfers on the simulated adapter: results, what goes on the bus, and the
// verbose-only messages on their streams and in the trace log.
#include <bbu/bbu.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "sim_world_fixture.h"

using bbutest::CaptureStderr;
using bbutest::CaptureStdout;
using bbutest::GetCapturedStderr;
using bbutest::GetCapturedStdout;

namespace {

std::string hex_bytes(const unsigned char *b, int n)
{
    std::string out;
    char two[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, i ? " %02x" : "%02x", b[i]);
        out += two;
    }
    return out;
}

class TransferTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        SimWorldTest::SetUp();
        I2C_Adapter = default_adapter_;
        fd_ = open_I2C_device(0);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override
    {
        close_I2C_device(fd_);
    }

    struct Output {
        int rc;
        std::string out, err;
    };

    Output read(int addr, int len, char *buf, int verbose)
    {
        CaptureStdout();
        CaptureStderr();
        int rc = do_i2c_read(fd_, addr, len, buf, verbose);
        std::fflush(stdout);
        return {rc, GetCapturedStdout(), GetCapturedStderr()};
    }

    Output write(int addr, int len, const char *buf, int verbose)
    {
        CaptureStdout();
        CaptureStderr();
        int rc = do_i2c_write(fd_, addr, len, buf, verbose);
        std::fflush(stdout);
        return {rc, GetCapturedStdout(), GetCapturedStderr()};
    }

    char *default_adapter_ = I2C_Adapter;
    int fd_ = -1;
};

TEST_F(TransferTest, ReadOfTheStatusCarriesAllBytesInOneMessage)
{
    auto expected = bbusim::peek_status();
    char buf[33] = {};
    auto r = read(0x40, 33, buf, 0);
    EXPECT_EQ(r.rc, 33);
    EXPECT_EQ(std::memcmp(buf, expected.data(), 33), 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(trace_log_text(), "") << "a quiet transfer traces nothing";
    EXPECT_EQ(bus_transfers(),
              std::vector<std::string>{"read 0x40 33 -> 33 : " + hex_bytes(expected.data(), 33)});
}

TEST_F(TransferTest, WriteSendsTheCallersBytesUnchanged)
{
    const char frame[] = {'\xc8', '\x00', '\xc8'};
    auto r = write(0x40, 3, frame, 0);
    EXPECT_EQ(r.rc, 3);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(bus_transfers(), std::vector<std::string>{"write 0x40 3 : c8 00 c8 -> 3"});
}

TEST_F(TransferTest, VerboseSuccessMessagesGoToStdoutAndTheTraceLog)
{
    char buf[33];
    auto r = read(0x40, 33, buf, 1);
    EXPECT_EQ(r.rc, 33);
    EXPECT_EQ(r.out, "the ioctl read command worked, rc: 1\n");
    EXPECT_EQ(r.err, "");

    const char frame[] = {'\xc4', '\x02', '\xc6'};
    auto w = write(0x40, 3, frame, 1);
    EXPECT_EQ(w.rc, 3);
    EXPECT_EQ(w.out, "time zs writing I2c addr 40 cmd c4\nthe ioctl write command worked, rc: 1\n");
    EXPECT_EQ(w.err, "");

    // Each traced template ends in a newline, so an empty line follows each entry.
    EXPECT_EQ(trace_messages(),
              (std::vector<std::string>{"the ioctl read command worked, rc: 1", "",
                                        "time zs writing I2c addr 40 cmd c4", "",
                                        "the ioctl write command worked, rc: 1", ""}));
}

TEST_F(TransferTest, FailedTransfersReturnMinusSixAndSpeakOnlyWhenVerbose)
{
    apply("fault fail 0x40 count 4\n");
    char buf[33];
    const char frame[] = {'\xc8', '\x00', '\xc8'};

    auto quiet_read = read(0x40, 33, buf, 0);
    EXPECT_EQ(quiet_read.rc, -6);
    EXPECT_EQ(quiet_read.out + quiet_read.err, "");
    auto quiet_write = write(0x40, 3, frame, 0);
    EXPECT_EQ(quiet_write.rc, -6);
    EXPECT_EQ(quiet_write.out + quiet_write.err, "");
    EXPECT_EQ(trace_log_text(), "");

    auto loud_read = read(0x40, 33, buf, 1);
    EXPECT_EQ(loud_read.rc, -6);
    EXPECT_EQ(loud_read.out, "");
    EXPECT_EQ(loud_read.err, "The Ioctl read failed rc: -1 \n");
    auto loud_write = write(0x40, 3, frame, 1);
    EXPECT_EQ(loud_write.rc, -6);
    EXPECT_EQ(loud_write.out, "time zs writing I2c addr 40 cmd c8\n");
    EXPECT_EQ(loud_write.err, " The Ioctl write failed rc: -1 \n");

    EXPECT_EQ(trace_messages(), (std::vector<std::string>{"The Ioctl read failed rc: -1 ", "",
                                                          "time zs writing I2c addr 40 cmd c8", "",
                                                          " The Ioctl write failed rc: -1 ", ""}));
}

TEST_F(TransferTest, TwoFailedReadsThenTheStatus)
{
    apply("fault fail 0x40 read count 2\n");
    char buf[33];
    std::vector<int> results;
    for (int i = 0; i < 3; ++i)
        results.push_back(do_i2c_read(fd_, 0x40, 33, buf, 0));
    EXPECT_EQ(results, (std::vector<int>{-6, -6, 33}));
    EXPECT_EQ(static_cast<unsigned char>(buf[32]),
              sumcheck(reinterpret_cast<unsigned char *>(buf), 32));
}

TEST_F(TransferTest, NoDeviceAtTheAddressIsAFailedTransfer)
{
    char buf[4];
    EXPECT_EQ(do_i2c_read(fd_, 0x23, 4, buf, 0), -6);
    EXPECT_EQ(do_i2c_write(fd_, 0x23, 1, buf, 0), -6);
}

TEST_F(TransferTest, ShortTransfersReturnTheLengthCarriedAndWarnWhenVerbose)
{
    apply("fault short 0x60 read 20\nfault short 0x40 write 1\n");
    char buf[86];
    auto r = read(0x60, 86, buf, 1);
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.out, "the ioctl read command worked, rc: 1\n");
    EXPECT_EQ(r.err, "Message truncated -- Length transferred:20\n");

    const char frame[] = {'\xc8', '\x00', '\xc8'};
    auto w = write(0x40, 3, frame, 1);
    EXPECT_EQ(w.rc, 1);
    EXPECT_EQ(w.err, " Message truncated -- Length transferred:1\n");

    auto log = trace_messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "Message truncated -- Length transferred:20"),
              log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), " Message truncated -- Length transferred:1"),
              log.end());
}

TEST_F(TransferTest, ShortTransferIsSilentWhenQuiet)
{
    apply("fault short 0x60 read 20\n");
    char buf[86];
    auto r = read(0x60, 86, buf, 0);
    EXPECT_EQ(r.rc, 20);
    EXPECT_EQ(r.out + r.err, "");
}

class OpenTest : public SimWorldTest {
protected:
    void TearDown() override
    {
        I2C_Adapter = default_adapter_;
    }
    char *default_adapter_ = I2C_Adapter;
};

TEST_F(OpenTest, TheDefaultAdapterOpensReadWrite)
{
    EXPECT_STREQ(I2C_Adapter, "/dev/i2c-0b");
    CaptureStdout();
    CaptureStderr();
    int fd = open_I2C_device(0);
    EXPECT_EQ(GetCapturedStdout() + GetCapturedStderr(), "");
    ASSERT_GE(fd, 0);
    close_I2C_device(fd);
    auto lines = bbusim::transcript();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" open /dev/i2c-0b -> " + std::to_string(fd)), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(" close " + std::to_string(fd)), std::string::npos) << lines[1];
}

// A failed open is reported on all three sinks whatever the verbose setting.
TEST_F(OpenTest, AFailedOpenIsAlwaysReported)
{
    struct Case {
        const char *scenario;
        const char *system_error;
    };
    const Case cases[] = {
        {"fault open ENOENT\n", "No such file or directory"},
        {"fault open EACCES\n", "Permission denied"},
    };
    for (const auto &c : cases) {
        for (int verbose : {0, 1}) {
            start_world(true);
            apply(c.scenario);
            CaptureStdout();
            CaptureStderr();
            int fd = open_I2C_device(verbose);
            std::fflush(stdout);
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(GetCapturedStdout(), "I2C open failed, rc = -1 \n");
            EXPECT_EQ(GetCapturedStderr(),
                      std::string("i2c open failed: ") + c.system_error + "\n");
            EXPECT_EQ(trace_messages(),
                      (std::vector<std::string>{"I2C open failed, rc = -1 ", ""}));
        }
    }
}

TEST_F(OpenTest, TheAdapterSettingIsWhatGetsOpened)
{
    std::string missing = root_ + "/no-such-adapter";
    I2C_Adapter = missing.data();
    CaptureStdout();
    CaptureStderr();
    int fd = open_I2C_device(0);
    std::fflush(stdout);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(GetCapturedStderr(), "i2c open failed: No such file or directory\n");
    EXPECT_EQ(GetCapturedStdout(), "I2C open failed, rc = -1 \n");
}

}  // namespace
