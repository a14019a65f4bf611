// The interposer as a program sees it: claimed and unclaimed paths,
// descriptor bookkeeping, the kernel's i2c-dev answers and errors, and the
// machine paths mapped into the run's root.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "sim_bus.h"

namespace {

using BbusimI2cDevTest = SimBusTest;

TEST_F(BbusimI2cDevTest, UnclaimedPathPassesThroughUntouched)
{
    std::string path = root_ + "/plain.txt";
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "hello", 5), 5);
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    char buf[8] = {};
    EXPECT_EQ(::read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    // An i2c-dev request on a regular file gets the kernel's own answer.
    unsigned long funcs = 0;
    EXPECT_EQ(ioctl(fd, I2C_FUNCS, &funcs), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(fd);

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5);
    // Only the fixture's own adapter open is in the transcript.
    EXPECT_EQ(events(), std::vector<std::string>{"open /dev/i2c-0b -> " + std::to_string(fd_)});
}

TEST_F(BbusimI2cDevTest, ExtraAdapterIsClaimedOnlyOnceAsked)
{
    // Before the claim no adapter node exists in either of i2c-dev's naming forms.
    for (const char *path : {"/dev/i2c-11", "/dev/i2c/11"}) {
        errno = 0;
        EXPECT_EQ(::open(path, O_RDWR), -1) << path;
        EXPECT_EQ(errno, ENOENT) << path;
        EXPECT_EQ(std::fopen(path, "r+"), nullptr) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
    bbusim::claim_adapter("/dev/i2c-11");
    int fd = ::open("/dev/i2c-11", O_RDWR);
    ASSERT_GE(fd, 0);
    Xfer x = rdwr(fd, 0x40, true, Bytes(33));
    EXPECT_EQ(x.rc, 1);
    EXPECT_EQ(x.data[0] ^ x.data[1], 0xff);
    ::close(fd);
    EXPECT_EQ(events().back(), "close " + std::to_string(fd));
}

TEST_F(BbusimI2cDevTest, AdapterDescriptorIsTheLowestFreeNumber)
{
    std::string path = root_ + "/placeholder";
    int probe = ::open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(probe, 0);
    ::close(probe);
    int fd = ::open("/dev/i2c-0b", O_RDWR);
    EXPECT_EQ(fd, probe);
    ::close(fd);
}

TEST_F(BbusimI2cDevTest, DupedDescriptorsShareTheOpenAdapter)
{
    int d = dup(fd_);
    ASSERT_GE(d, 0);
    EXPECT_EQ(rdwr(d, 0x40, true, Bytes(33)).rc, 1);

    // The slave address belongs to the open file, like the kernel's client.
    ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x54), 0);
    ASSERT_EQ(::write(d, "\x02", 1), 1);
    char pn[3];
    ASSERT_EQ(::read(d, pn, 3), 3);
    EXPECT_EQ(std::string(pn, 3), "PN=");

    const int target = 63;  // far above what the test program has open
    ASSERT_EQ(dup2(d, target), target);
    int cloexec = fcntl(fd_, F_DUPFD_CLOEXEC, 40);
    ASSERT_GE(cloexec, 40);
    ::close(fd_);
    fd_ = -1;
    ::close(d);
    EXPECT_EQ(rdwr(target, 0x40, true, Bytes(33)).rc, 1);
    EXPECT_EQ(rdwr(cloexec, 0x40, true, Bytes(33)).rc, 1);
    ::close(cloexec);

    // dup2 onto the last claimed number with a plain file frees the claim.
    std::string path = root_ + "/plain";
    int plain = ::open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_EQ(dup2(plain, target), target);
    ::close(plain);
    unsigned long funcs = 0;
    EXPECT_EQ(ioctl(target, I2C_FUNCS, &funcs), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(target);

    auto ev = events();
    EXPECT_EQ(std::count(ev.begin(), ev.end(), "close " + std::to_string(target)), 0)
        << "a plain file's close is not an adapter close";
    EXPECT_EQ(std::count_if(ev.begin(), ev.end(),
                            [](const std::string &e) { return e.rfind("close ", 0) == 0; }),
              3);
}

struct RefusedRequest {
    const char *name;
    unsigned long request;
    int nmsgs;          // for I2C_RDWR: messages of 1 byte at 0x40
    int len;            // length of the first message
    unsigned long arg;  // for other requests
    int err;
    const char *event;
};

class BbusimKernelErrorTest : public SimBusTest,
                              public ::testing::WithParamInterface<RefusedRequest> {};

TEST_P(BbusimKernelErrorTest, RefusedAsAWhole)
{
    const RefusedRequest &c = GetParam();
    errno = 0;
    int rc;
    if (c.request == I2C_RDWR) {
        std::vector<Bytes> bufs(static_cast<std::size_t>(c.nmsgs), Bytes(1));
        std::vector<i2c_msg> msgs;
        for (auto &b : bufs)
            msgs.push_back({0x40, I2C_M_RD, 1, b.data()});
        Bytes big(static_cast<std::size_t>(c.len));
        if (!msgs.empty())
            msgs[0] = {0x40, I2C_M_RD, static_cast<__u16>(c.len), big.data()};
        i2c_rdwr_ioctl_data d{msgs.data(), static_cast<__u32>(msgs.size())};
        rc = ioctl(fd_, I2C_RDWR, &d);
    } else {
        rc = ioctl(fd_, c.request, c.arg);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(errno, c.err);
    EXPECT_EQ(events().back(), c.event);
    EXPECT_EQ(bus_transfers().size(), 0u) << "nothing reached the bus";
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BbusimKernelErrorTest,
    ::testing::Values(
        RefusedRequest{"NoMessages", I2C_RDWR, 0, 0, 0, EINVAL, "ioctl I2C_RDWR -> EINVAL"},
        RefusedRequest{"TooManyMessages", I2C_RDWR, 43, 1, 0, EINVAL, "ioctl I2C_RDWR -> EINVAL"},
        RefusedRequest{"MessageTooLong", I2C_RDWR, 1, 8193, 0, EINVAL, "ioctl I2C_RDWR -> EINVAL"},
        RefusedRequest{"SlaveBeyondSevenBits", I2C_SLAVE, 0, 0, 0x80, EINVAL,
                       "ioctl I2C_SLAVE -> EINVAL"},
        RefusedRequest{"ForcedSlaveBeyondSevenBits", I2C_SLAVE_FORCE, 0, 0, 0x100, EINVAL,
                       "ioctl I2C_SLAVE_FORCE -> EINVAL"},
        RefusedRequest{"UnknownRequest", 0x0799, 0, 0, 0, ENOTTY, "ioctl 0x799 -> ENOTTY"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimI2cDevTest, LimitsThemselvesAreAccepted)
{
    std::vector<Bytes> bufs(42, Bytes(1));
    std::vector<i2c_msg> msgs;
    for (auto &b : bufs)
        msgs.push_back({0x54, I2C_M_RD, 1, b.data()});
    i2c_rdwr_ioctl_data d{msgs.data(), 42};
    EXPECT_EQ(ioctl(fd_, I2C_RDWR, &d), 42);
    EXPECT_EQ(read(0x54, 8192).carried, 8192);
}

TEST_F(BbusimI2cDevTest, NoDeviceFailsTheWholeCombinedTransferWithEnxio)
{
    Bytes status(33, 0xa5), nobody(2, 0xa5);
    i2c_msg msgs[2] = {{0x40, I2C_M_RD, 33, status.data()}, {0x50, I2C_M_RD, 2, nobody.data()}};
    i2c_rdwr_ioctl_data d{msgs, 2};
    EXPECT_EQ(ioctl(fd_, I2C_RDWR, &d), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(status, Bytes(33, 0xa5))
        << "read data is copied back only after a successful transfer";
    EXPECT_EQ(bus_transfers(),
              (std::vector<std::string>{"read 0x40 33 -> ENXIO", "read 0x50 2 -> ENXIO"}));
}

TEST_F(BbusimI2cDevTest, CombinedTransferRunsMessagesInOrder)
{
    Bytes pointer{0x02}, text(3);
    i2c_msg msgs[2] = {{0x54, 0, 1, pointer.data()}, {0x54, I2C_M_RD, 3, text.data()}};
    i2c_rdwr_ioctl_data d{msgs, 2};
    EXPECT_EQ(ioctl(fd_, I2C_RDWR, &d), 2);
    EXPECT_EQ(std::string(text.begin(), text.end()), "PN=");
}

TEST_F(BbusimI2cDevTest, FunctionalityReportsPlainI2cWithoutTenBitAddresses)
{
    unsigned long funcs = 0;
    ASSERT_EQ(ioctl(fd_, I2C_FUNCS, &funcs), 0);
    EXPECT_NE(funcs & I2C_FUNC_I2C, 0u);
    EXPECT_EQ(funcs & I2C_FUNC_10BIT_ADDR, 0u);
}

TEST_F(BbusimI2cDevTest, PlainReadAndWriteUseTheSlaveAddress)
{
    char c;
    EXPECT_EQ(::read(fd_, &c, 1), -1) << "no address set: the client's address 0 has no device";
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x40), 0);
    unsigned char gss[33];
    ASSERT_EQ(::read(fd_, gss, sizeof gss), 33);
    EXPECT_EQ(gss[32], end_around_sum(gss, 32));
    EXPECT_EQ(bus_transfers().back().rfind("read 0x40 33 -> 33 : ", 0), 0u);
}

struct SmbusCase {
    const char *name;
    std::uint8_t read_write;
    std::uint8_t command;
    std::uint32_t size;
    Bytes data;  // the request's i2c_smbus_data before the call, from its first byte
    int err;     // 0, or the errno that refuses the request (and its transcript line)
    std::vector<std::string> events;  // the transfers
    Bytes result;                     // what a read delivers, from the data's first byte
    bool no_data = false;
};

class BbusimSmbusTest : public SimBusTest, public ::testing::WithParamInterface<SmbusCase> {};

// Each transaction as the kernel emulates it on a plain I2C adapter, here at
// the VPD EEPROM (0x54), whose bytes from 2 on are "PN=00AB1234FN=...".
TEST_P(BbusimSmbusTest, EmulatedWithI2cMessages)
{
    const SmbusCase &c = GetParam();
    ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x54), 0);
    bbusim::clear_transcript();
    i2c_smbus_data data{};
    std::copy(c.data.begin(), c.data.end(), data.block);
    i2c_smbus_ioctl_data req{c.read_write, c.command, c.size, c.no_data ? nullptr : &data};
    errno = 0;
    EXPECT_EQ(ioctl(fd_, I2C_SMBUS, &req), c.err == 0 ? 0 : -1);
    EXPECT_EQ(errno, c.err);
    auto expected = c.events;
    if (c.err != 0)
        expected.push_back(std::string("ioctl I2C_SMBUS -> ") + strerrorname_np(c.err));
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(Bytes(data.block, data.block + c.result.size()), c.result);
}

constexpr std::uint8_t R = I2C_SMBUS_READ;
constexpr std::uint8_t W = I2C_SMBUS_WRITE;
const std::string kCommand02 = "write 0x54 1 : 02 -> 1";
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Transactions, BbusimSmbusTest,
    ::testing::Values(
        SmbusCase{"QuickWrite", W, 0, I2C_SMBUS_QUICK, {}, 0, {"write 0x54 0 -> 0"}, {}},
        SmbusCase{"QuickRead", R, 0, I2C_SMBUS_QUICK, {}, 0, {"read 0x54 0 -> 0"}, {}},
        SmbusCase{"ByteWrite", W, 0x02, I2C_SMBUS_BYTE, {}, 0, {kCommand02}, {}},
        SmbusCase{"ByteRead", R, 0x02, I2C_SMBUS_BYTE, {0xee}, 0, {"read 0x54 1 -> 1 : 00"},
                  {0x00}},
        SmbusCase{"ByteDataWrite", W, 0x10, I2C_SMBUS_BYTE_DATA, {0x5a}, 0,
                  {"write 0x54 2 : 10 5a -> 2"}, {}},
        SmbusCase{"ByteDataRead", R, 0x02, I2C_SMBUS_BYTE_DATA, {}, 0,
                  {kCommand02, "read 0x54 1 -> 1 : 50"}, {'P'}},
        SmbusCase{"WordDataWrite", W, 0x10, I2C_SMBUS_WORD_DATA, {0x34, 0x12}, 0,
                  {"write 0x54 3 : 10 34 12 -> 3"}, {}},
        SmbusCase{"WordDataRead", R, 0x02, I2C_SMBUS_WORD_DATA, {}, 0,
                  {kCommand02, "read 0x54 2 -> 2 : 50 4e"}, {'P', 'N'}},
        SmbusCase{"I2cBlockWrite", W, 0x10, I2C_SMBUS_I2C_BLOCK_DATA, {3, 0x0a, 0x0b, 0x0c}, 0,
                  {"write 0x54 4 : 10 0a 0b 0c -> 4"}, {}},
        SmbusCase{"I2cBlockRead", R, 0x02, I2C_SMBUS_I2C_BLOCK_DATA, {4}, 0,
                  {kCommand02, "read 0x54 4 -> 4 : 50 4e 3d 30"}, {4, 'P', 'N', '=', '0'}},
        // i2cdump's form: the old request number, always 32 bytes.
        SmbusCase{"I2cBlockReadOldForm", R, 0x02, I2C_SMBUS_I2C_BLOCK_BROKEN, {}, 0,
                  {kCommand02, "read 0x54 32 -> 32 : 50 4e 3d 30 30 41 42 31 32 33 34 46 4e 3d 30 30"
                               " 41 42 31 32 33 35 53 4e 3d 59 4c 53 49 4d 30 30"},
                  {32, 'P', 'N', '=', '0', '0', 'A', 'B', '1', '2', '3', '4', 'F', 'N', '=', '0', '0',
                   'A', 'B', '1', '2', '3', '5', 'S', 'N', '=', 'Y', 'L', 'S', 'I', 'M', '0', '0'}},
        SmbusCase{"BlockDataNotOffered", R, 0x02, I2C_SMBUS_BLOCK_DATA, {}, EOPNOTSUPP, {}, {}},
        SmbusCase{"UnknownSize", R, 0x02, 9, {}, EINVAL, {}, {}},
        SmbusCase{"NeitherReadNorWrite", 2, 0x02, I2C_SMBUS_BYTE_DATA, {}, EINVAL, {}, {}},
        SmbusCase{"NoData", R, 0x02, I2C_SMBUS_BYTE_DATA, {}, EINVAL, {}, {}, true},
        SmbusCase{"I2cBlockTooLong", W, 0x02, I2C_SMBUS_I2C_BLOCK_DATA, {33}, EINVAL, {}, {}}),
    [](const auto &info) { return std::string(info.param.name); });
// clang-format on

TEST_F(BbusimI2cDevTest, TraceLogPathLandsInTheRoot)
{
    std::FILE *f = std::fopen("/opt/Logs/bbu/logs/BBU.log", "a+");
    ASSERT_NE(f, nullptr);
    std::fputs("line\n", f);
    std::fclose(f);
    EXPECT_EQ(read_file(root_ + "/opt/Logs/bbu/logs/BBU.log"), "line\n");
    EXPECT_EQ(bbusim::mapped_path("/opt/Logs/bbu/logs/BBU.log"),
              root_ + "/opt/Logs/bbu/logs/BBU.log");

    int fd = ::open("/opt/Logs/bbu/logs/BBU.log", O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "more\n", 5), 5);
    ::close(fd);
    EXPECT_EQ(read_file(root_ + "/opt/Logs/bbu/logs/BBU.log"), "line\nmore\n");
}

TEST_F(BbusimI2cDevTest, MissingLogDirectoryFailsInsideTheRootOnly)
{
    ::close(fd_);
    fd_ = -1;
    start_world(false);
    EXPECT_EQ(std::fopen("/opt/Logs/bbu/logs/BBU.log", "a+"), nullptr);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(BbusimI2cDevTest, DaemonSocketPathIsMappedForBindAndConnect)
{
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    int client = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    ASSERT_GE(client, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/tmp/i2c_skt");
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0)
        << std::strerror(errno);
    ASSERT_EQ(listen(server, 1), 0);
    struct stat st {};
    EXPECT_EQ(stat((root_ + "/tmp/i2c_skt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0)
        << std::strerror(errno);
    ::close(client);
    ::close(server);
    EXPECT_EQ(unlink("/tmp/i2c_skt"), 0);
    EXPECT_NE(stat((root_ + "/tmp/i2c_skt").c_str(), &st), 0);
}

}  // namespace
