// The interposer as a program sees it: claimed and unclaimed paths,
// descriptor bookkeeping, the kernel's i2c-dev answers and errors, and the
// daemon's socket path mapped into the run's root.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdio>

#include "sim_bus.h"

namespace {

using namespace ::testing;
using BbusimI2cDevTest = SimBusTest;

// An i2c-dev request on a descriptor that is not a claimed adapter gets the kernel's answer.
void expect_not_an_adapter(int fd)
{
    unsigned long funcs = 0;
    EXPECT_EQ(ioctl(fd, I2C_FUNCS, &funcs), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(BbusimI2cDevTest, ExtraAdapterIsClaimedOnlyOnceAsked)
{
    // Before the claim no adapter node exists in either of i2c-dev's naming forms.
    for (const char *path : {"/dev/i2c-11", "/dev/i2c/11"}) {
        EXPECT_EQ(::open(path, O_RDWR), -1) << path;
        EXPECT_EQ(errno, ENOENT) << path;
        EXPECT_EQ(std::fopen(path, "r+"), nullptr) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
    bbusim::claim_adapter("/dev/i2c-11");
    const int fd = ::open("/dev/i2c-11", O_RDWR);
    EXPECT_EQ(rdwr(fd, 0x40, true, Bytes(33)).rc, 1);
    ::close(fd);
    EXPECT_EQ(events().back(), "close " + std::to_string(fd));
}

TEST_F(BbusimI2cDevTest, DescriptorsAreDuplicatedAsTheKernelDoes)
{
    const int d = ::open("/dev/i2c-0b", O_RDWR);
    // The slave address belongs to the open file, shared by its duplicates.
    const int dup_fd = dup(fd_);
    ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x54), 0);
    ASSERT_EQ(::write(dup_fd, "\x02", 1), 1);
    char pn[3];
    ASSERT_EQ(::read(dup_fd, pn, 3), 3);
    EXPECT_EQ(std::string(pn, 3), "PN=");

    const int target = 63;  // far above what the test program has open
    ASSERT_EQ(dup2(d, target), target);
    const int cloexec = fcntl(d, F_DUPFD_CLOEXEC, 40);
    ASSERT_GE(cloexec, 40);
    ::close(d);
    EXPECT_EQ(rdwr(target, 0x40, true, Bytes(33)).rc, 1);
    EXPECT_EQ(rdwr(cloexec, 0x40, true, Bytes(33)).rc, 1);

    // A plain file duplicated onto a claimed number frees the claim: its close is no adapter's.
    const int plain = ::open((root_ + "/plain").c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_EQ(dup2(plain, target), target);
    ::close(plain);
    expect_not_an_adapter(target);
    bbusim::clear_transcript();
    for (int fd : {target, cloexec, dup_fd})
        ::close(fd);
    EXPECT_THAT(events(),
                ElementsAre("close " + std::to_string(cloexec), "close " + std::to_string(dup_fd)));
}

// The result of one I2C_RDWR request of n reads of len bytes each at 0x54.
std::string rdwr_reads(int fd, std::size_t n, std::size_t len)
{
    std::vector<Bytes> bufs(n, Bytes(len));
    std::vector<i2c_msg> msgs;
    for (Bytes &b : bufs)
        msgs.push_back({0x54, I2C_M_RD, static_cast<__u16>(len), b.data()});
    i2c_rdwr_ioctl_data d{msgs.data(), static_cast<__u32>(n)};
    return outcome(ioctl(fd, I2C_RDWR, &d));
}

// The result of one I2C_SMBUS request with the command byte 0x02.
std::string smbus(int fd, std::uint8_t read_write, std::uint32_t size, i2c_smbus_data *data)
{
    i2c_smbus_ioctl_data req{read_write, 0x02, size, data};
    return outcome(ioctl(fd, I2C_SMBUS, &req));
}

TEST_F(BbusimI2cDevTest, RequestsBeyondTheKernelsLimitsAreRefusedAsAWhole)
{
    EXPECT_EQ(rdwr_reads(fd_, 42, 1), "42");
    EXPECT_EQ(rdwr_reads(fd_, 1, 8192), "1");
    EXPECT_EQ(ioctl(fd_, I2C_SLAVE, 0x7f), 0);
    bbusim::clear_transcript();
    i2c_smbus_data data{.block = {33}};  // an I2C block of 33 bytes
    EXPECT_THAT((std::vector<std::string>{
                    rdwr_reads(fd_, 0, 1), rdwr_reads(fd_, 43, 1), rdwr_reads(fd_, 1, 8193),
                    outcome(ioctl(fd_, I2C_SLAVE, 0x80)),
                    outcome(ioctl(fd_, I2C_SLAVE_FORCE, 0x100)), outcome(ioctl(fd_, 0x0799, 0)),
                    smbus(fd_, I2C_SMBUS_READ, I2C_SMBUS_BLOCK_DATA, &data),  // not offered
                    smbus(fd_, I2C_SMBUS_READ, 9, &data),                     // no such size
                    smbus(fd_, 2, I2C_SMBUS_BYTE_DATA, &data),  // neither read nor write
                    smbus(fd_, I2C_SMBUS_READ, I2C_SMBUS_BYTE_DATA, nullptr),
                    smbus(fd_, I2C_SMBUS_WRITE, I2C_SMBUS_I2C_BLOCK_DATA, &data)}),
                ElementsAre("EINVAL", "EINVAL", "EINVAL", "EINVAL", "EINVAL", "ENOTTY",
                            "EOPNOTSUPP", "EINVAL", "EINVAL", "EINVAL", "EINVAL"));
    EXPECT_THAT(events(),
                ElementsAreArray({"ioctl I2C_RDWR -> EINVAL", "ioctl I2C_RDWR -> EINVAL",
                                  "ioctl I2C_RDWR -> EINVAL", "ioctl I2C_SLAVE -> EINVAL",
                                  "ioctl I2C_SLAVE_FORCE -> EINVAL", "ioctl 0x799 -> ENOTTY",
                                  "ioctl I2C_SMBUS -> EOPNOTSUPP", "ioctl I2C_SMBUS -> EINVAL",
                                  "ioctl I2C_SMBUS -> EINVAL", "ioctl I2C_SMBUS -> EINVAL",
                                  "ioctl I2C_SMBUS -> EINVAL"}))
        << "nothing reached the bus";
}

TEST_F(BbusimI2cDevTest, CombinedTransferRunsInOrderOrFailsAsAWhole)
{
    Bytes pointer{0x02}, text(3, 0xa5), nobody(2, 0xa5);
    i2c_msg msgs[3] = {{0x54, 0, 1, pointer.data()},
                       {0x54, I2C_M_RD, 3, text.data()},
                       {0x50, I2C_M_RD, 2, nobody.data()}};
    i2c_rdwr_ioctl_data d{msgs, 2};
    EXPECT_EQ(ioctl(fd_, I2C_RDWR, &d), 2);
    EXPECT_EQ(std::string(text.begin(), text.end()), "PN=");

    // A message at an address with no device fails the whole request; read
    // buffers are written only after a successful transfer.
    text.assign(3, 0xa5);
    d.nmsgs = 3;
    EXPECT_EQ(ioctl(fd_, I2C_RDWR, &d), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(text, Bytes(3, 0xa5));
    EXPECT_THAT(bus_transfers(), ElementsAre(_, _, "write 0x54 1 : 02 -> ENXIO",
                                             "read 0x54 3 -> ENXIO", "read 0x50 2 -> ENXIO"));
}

TEST_F(BbusimI2cDevTest, FunctionalityIsPlainI2cAndSmbusWithoutTenBitAddresses)
{
    unsigned long funcs = 0;
    ASSERT_EQ(ioctl(fd_, I2C_FUNCS, &funcs), 0);
    EXPECT_EQ(funcs, I2C_FUNC_I2C | I2C_FUNC_SMBUS_QUICK | I2C_FUNC_SMBUS_BYTE |
                         I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA |
                         I2C_FUNC_SMBUS_I2C_BLOCK);
}

TEST_F(BbusimI2cDevTest, PlainReadAndWriteUseTheSlaveAddress)
{
    char c;
    EXPECT_EQ(::read(fd_, &c, 1), -1) << "no address set: the client's address 0 has no device";
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x40), 0);
    unsigned char gss[33];
    ASSERT_EQ(::read(fd_, gss, sizeof gss), 33);
    EXPECT_THAT(bus_transfers(),
                ElementsAre("read 0x00 1 -> ENXIO", "read 0x40 33 -> 33 : " + hex(gss, 33)));
}

struct SmbusCase {
    const char *name;
    std::uint8_t read_write;
    std::uint8_t command;
    std::uint32_t size;
    Bytes data;  // the request's i2c_smbus_data before the call, from its first byte
    std::vector<std::string> events;  // the transfers
    Bytes result;                     // what a read delivers, from the data's first byte
};

class BbusimSmbusTest : public SimBusTest, public WithParamInterface<SmbusCase> {};

// Each transaction as the kernel emulates it on a plain I2C adapter, here at
// the VPD EEPROM (0x54), whose bytes from 2 on are "PN=00AB1234FN=...".
TEST_P(BbusimSmbusTest, EmulatedWithI2cMessages)
{
    const SmbusCase &c = GetParam();
    ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x54), 0);
    bbusim::clear_transcript();
    i2c_smbus_data data{};
    std::ranges::copy(c.data, data.block);
    i2c_smbus_ioctl_data req{c.read_write, c.command, c.size, &data};
    EXPECT_EQ(ioctl(fd_, I2C_SMBUS, &req), 0);
    EXPECT_EQ(events(), c.events);
    EXPECT_EQ(Bytes(data.block, data.block + c.result.size()), c.result);
}

constexpr std::uint8_t R = I2C_SMBUS_READ;
constexpr std::uint8_t W = I2C_SMBUS_WRITE;
const std::string kCommand02 = "write 0x54 1 : 02 -> 1";
// clang-format off
INSTANTIATE_TEST_SUITE_P(Transactions, BbusimSmbusTest, Values(
    SmbusCase{"QuickWrite", W, 0, I2C_SMBUS_QUICK, {}, {"write 0x54 0 -> 0"}, {}},
    SmbusCase{"QuickRead", R, 0, I2C_SMBUS_QUICK, {}, {"read 0x54 0 -> 0"}, {}},
    SmbusCase{"ByteWrite", W, 0x02, I2C_SMBUS_BYTE, {}, {kCommand02}, {}},
    SmbusCase{"ByteRead", R, 0x02, I2C_SMBUS_BYTE, {0xee}, {"read 0x54 1 -> 1 : 00"}, {0x00}},
    SmbusCase{"ByteDataWrite", W, 0x10, I2C_SMBUS_BYTE_DATA, {0x5a}, {"write 0x54 2 : 10 5a -> 2"}, {}},
    SmbusCase{"ByteDataRead", R, 0x02, I2C_SMBUS_BYTE_DATA, {}, {kCommand02, "read 0x54 1 -> 1 : 50"}, {'P'}},
    SmbusCase{"WordDataWrite", W, 0x10, I2C_SMBUS_WORD_DATA, {0x34, 0x12}, {"write 0x54 3 : 10 34 12 -> 3"}, {}},
    SmbusCase{"WordDataRead", R, 0x02, I2C_SMBUS_WORD_DATA, {}, {kCommand02, "read 0x54 2 -> 2 : 50 4e"}, {'P', 'N'}},
    SmbusCase{"I2cBlockWrite", W, 0x10, I2C_SMBUS_I2C_BLOCK_DATA, {3, 0x0a, 0x0b, 0x0c}, {"write 0x54 4 : 10 0a 0b 0c -> 4"}, {}},
    SmbusCase{"I2cBlockRead", R, 0x02, I2C_SMBUS_I2C_BLOCK_DATA, {4}, {kCommand02, "read 0x54 4 -> 4 : 50 4e 3d 30"}, {4, 'P', 'N', '=', '0'}},
    // i2cdump's form: the old request number, always 32 bytes.
    SmbusCase{"I2cBlockReadOldForm", R, 0x02, I2C_SMBUS_I2C_BLOCK_BROKEN, {}, {kCommand02, "read 0x54 32 -> 32 : 50 4e 3d 30 30 41 42 31 32 33 34 46 4e 3d 30 30 41 42 31 32 33 35 53 4e 3d 59 4c 53 49 4d 30 30"}, {32, 'P', 'N', '=', '0', '0', 'A', 'B', '1', '2', '3', '4', 'F', 'N', '=', '0', '0', 'A', 'B', '1', '2', '3', '5', 'S', 'N', '=', 'Y', 'L', 'S', 'I', 'M', '0', '0'}}),
    bbutest::ByName());
// clang-format on

TEST_F(BbusimI2cDevTest, DaemonSocketPathIsMappedForBindAndConnect)
{
    const int server = socket(AF_UNIX, SOCK_STREAM, 0), client = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/tmp/i2c_skt");
    const auto *sa = reinterpret_cast<sockaddr *>(&addr);
    ASSERT_EQ(bind(server, sa, sizeof addr), 0) << std::strerror(errno);
    ASSERT_EQ(listen(server, 1), 0);
    struct stat st {};
    EXPECT_EQ(stat((root_ + "/tmp/i2c_skt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(connect(client, sa, sizeof addr), 0) << std::strerror(errno);
    ::close(client);
    ::close(server);
    EXPECT_EQ(unlink("/tmp/i2c_skt"), 0);
    EXPECT_NE(stat((root_ + "/tmp/i2c_skt").c_str(), &st), 0);
}

}  // namespace
