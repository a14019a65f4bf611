// Raw i2c-dev access for the simulator's own tests: one-message I2C_RDWR
// transfers on the default adapter, the transcript without time stamps, and
// an independent end-around-carry sum to check the devices' check bytes.
#ifndef BBU_TESTS_SIM_BUS_H
#define BBU_TESTS_SIM_BUS_H

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim_world_fixture.h"

using Bytes = std::vector<std::uint8_t>;

struct Xfer {
    int rc = 0;       // the ioctl's result
    int err = 0;      // errno when it failed
    int carried = 0;  // the message's length field afterwards
    Bytes data;       // the buffer afterwards (reads)
};

// Sum with end-around carry, written from its definition: when adding a byte
// wraps past 0xff, the carry is added back in.
inline std::uint8_t end_around_sum(const std::uint8_t *p, std::size_t n)
{
    std::uint8_t s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t before = s;
        s = static_cast<std::uint8_t>(s + p[i]);
        if (s < before)
            s = static_cast<std::uint8_t>(s + 1);
    }
    return s;
}

inline Xfer rdwr(int fd, std::uint16_t addr, bool is_read, Bytes buf, std::uint16_t flags = 0)
{
    i2c_msg m{addr, static_cast<__u16>((is_read ? I2C_M_RD : 0) | flags),
              static_cast<__u16>(buf.size()), buf.data()};
    i2c_rdwr_ioctl_data d{&m, 1};
    errno = 0;
    Xfer x;
    x.rc = ioctl(fd, I2C_RDWR, &d);
    x.err = x.rc < 0 ? errno : 0;
    x.carried = m.len;
    x.data = buf;
    return x;
}

class SimBusTest : public SimWorldTest {
protected:
    void SetUp() override
    {
        SimWorldTest::SetUp();
        fd_ = ::open("/dev/i2c-0b", O_RDWR);
        ASSERT_GE(fd_, 0) << std::strerror(errno);
    }
    void TearDown() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // A read pre-filled with 0xa5, so bytes the device did not deliver show.
    Xfer read(std::uint16_t addr, std::size_t len)
    {
        return rdwr(fd_, addr, true, Bytes(len, 0xa5));
    }
    Xfer write(std::uint16_t addr, Bytes bytes)
    {
        return rdwr(fd_, addr, false, std::move(bytes));
    }

    Bytes status()
    {
        return read(0x40, 33).data;
    }

    // Write a frame to 0x40 and poll until the command is no longer in
    // progress; returns the number of polls that showed it busy.
    int run_command(const Bytes &frame, int max_polls = 50)
    {
        EXPECT_EQ(write(0x40, frame).rc, 1);
        for (int busy = 0; busy < max_polls; ++busy)
            if ((status()[0] & 0x80) == 0)
                return busy;
        return max_polls;
    }

    // Transcript events without their time stamps.
    static std::vector<std::string> events()
    {
        std::vector<std::string> out;
        for (const auto &line : bbusim::transcript())
            out.push_back(line.substr(line.find(' ') + 1));
        return out;
    }

    int fd_ = -1;
};

#endif
