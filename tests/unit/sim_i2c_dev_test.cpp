// The interposer as a program sees it: the kernel's i2c-dev answers and
// errors as whole bus sessions; descriptor bookkeeping and the daemon's
// socket path mapped into the run's root.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstdio>

#include "sim_bus.h"

namespace {

using namespace ::testing;

// One I2C_RDWR request of n reads of len bytes each at 0x54.
std::string rdwr_reads(int fd, std::size_t n, std::size_t len)
{
    std::vector<Bytes> bufs(n, Bytes(len));
    std::vector<i2c_msg> msgs;
    for (Bytes &b : bufs)
        msgs.push_back({0x54, I2C_M_RD, static_cast<__u16>(len), b.data()});
    i2c_rdwr_ioctl_data d{msgs.data(), static_cast<__u32>(n)};
    return outcome(ioctl(fd, I2C_RDWR, &d));
}

// One I2C_SMBUS request, its data filled from the first byte with `given`
// and 0xee after it; noted: the result and the data up to its last byte
// that is not 0xee.
void smbus(golden::Call &call, std::uint8_t read_write, std::uint8_t command, std::uint32_t size,
           const Bytes &given = {})
{
    i2c_smbus_data data{};
    std::memset(&data, 0xee, sizeof data);
    std::ranges::copy(given, data.block);
    i2c_smbus_ioctl_data req{read_write, command, size, &data};
    const std::string rc = outcome(ioctl(call.fd, I2C_SMBUS, &req));
    std::size_t used = sizeof data.block;
    while (used > 0 && data.block[used - 1] == 0xee)
        --used;
    note(call, "smbus", rc + " : " + hex(data.block, used));
}

// The requests at the kernel's limits are taken; those beyond them, and the
// requests i2c-dev refuses, fail as a whole with nothing on the bus.
void at_the_limits(golden::Call &call)
{
    note(call, "before",
         "42 reads of 1 byte: " + rdwr_reads(call.fd, 42, 1) +
             ", 1 read of 8192 bytes: " + rdwr_reads(call.fd, 1, 8192) +
             ", I2C_SLAVE 0x7f: " + outcome(ioctl(call.fd, I2C_SLAVE, 0x7f)));
}

void beyond_the_limits(golden::Call &call)
{
    const int fd = call.fd;
    note(call, "0 messages", rdwr_reads(fd, 0, 1));
    note(call, "43 messages", rdwr_reads(fd, 43, 1));
    note(call, "a read of 8193 bytes", rdwr_reads(fd, 1, 8193));
    note(call, "I2C_SLAVE 0x80", outcome(ioctl(fd, I2C_SLAVE, 0x80)));
    note(call, "I2C_SLAVE_FORCE 0x100", outcome(ioctl(fd, I2C_SLAVE_FORCE, 0x100)));
    note(call, "request 0x799", outcome(ioctl(fd, 0x0799, 0)));
    smbus(call, I2C_SMBUS_READ, 2, I2C_SMBUS_BLOCK_DATA);  // not offered
    smbus(call, I2C_SMBUS_READ, 2, 9);                     // no such size
    smbus(call, 2, 2, I2C_SMBUS_BYTE_DATA);                // neither read nor write
    smbus(call, I2C_SMBUS_WRITE, 2, I2C_SMBUS_I2C_BLOCK_DATA, {33});
    smbus(call, I2C_SMBUS_WRITE, 2, I2C_SMBUS_I2C_BLOCK_DATA, {0});
    i2c_smbus_ioctl_data no_data{I2C_SMBUS_READ, 2, I2C_SMBUS_BYTE_DATA, nullptr};
    note(call, "I2C_SMBUS without data", outcome(ioctl(fd, I2C_SMBUS, &no_data)));
}

// A write of the VPD address 02 and a read of 3 bytes in one request, then
// the same with a read at 0x50, where no device answers.
void combined(golden::Call &call)
{
    Bytes pointer{0x02}, text(3, 0xa5), nobody(2, 0xa5);
    i2c_msg msgs[3] = {{0x54, 0, 1, pointer.data()},
                       {0x54, I2C_M_RD, 3, text.data()},
                       {0x50, I2C_M_RD, 2, nobody.data()}};
    for (__u32 n : {2u, 3u}) {
        text.assign(3, 0xa5);
        i2c_rdwr_ioctl_data d{msgs, n};
        note(call, std::to_string(n) + " messages",
             outcome(ioctl(call.fd, I2C_RDWR, &d)) + ", read " + hex(text.data(), 3));
    }
}

// Plain read and write at the slave address, which a duplicate shares.
void plain(golden::Call &call)
{
    unsigned char got[33];
    note(call, "no address", outcome(::read(call.fd, got, 1)));
    const int dup_fd = dup(call.fd);
    call.aliases = {{"close " + std::to_string(dup_fd), "close DUP"}};
    ioctl(call.fd, I2C_SLAVE, 0x54);
    note(call, "write on the duplicate", outcome(::write(dup_fd, "\x02", 1)));
    note(call, "read on the duplicate", outcome(::read(dup_fd, got, 3)));
    ioctl(call.fd, I2C_SLAVE, 0x40);
    note(call, "0x40", outcome(::read(call.fd, got, 33)));
    ::close(dup_fd);
    unsigned long funcs = 0;
    ioctl(call.fd, I2C_FUNCS, &funcs);
    char text[32];
    std::snprintf(text, sizeof text, "%#lx", funcs);
    note(call, "I2C_FUNCS", text);
}

const golden::Row kRows[] = {
    {"beyond_the_limits", "", GOLDEN_CALL(beyond_the_limits(call)), {}, at_the_limits},
    {"combined", "", GOLDEN_CALL(combined(call))},
    {"plain_read_write", "", GOLDEN_CALL(plain(call))},
};

GOLDEN_TABLE(sim_i2c_dev, kRows)

using BbusimI2cDevTest = SimAdapterTest;

TEST_F(BbusimI2cDevTest, DescriptorsAreDuplicatedAsTheKernelDoes)
{
    const int d = ::open("/dev/i2c-0b", O_RDWR), target = 63;  // far above what is open
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
    unsigned long funcs = 0;
    EXPECT_EQ(outcome(ioctl(target, I2C_FUNCS, &funcs)), "ENOTTY");
    bbusim::clear_transcript();
    ::close(target);
    ::close(cloexec);
    EXPECT_THAT(events(), ElementsAre("close " + std::to_string(cloexec)));
}

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
