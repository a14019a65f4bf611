// Raw i2c-dev access for the simulator's own tests: one-message I2C_RDWR
// transfers on the default adapter, and running a command to its end.
#ifndef BBU_TESTS_SIM_BUS_H
#define BBU_TESTS_SIM_BUS_H

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <cstdint>

#include "sim_world.h"

using bbutest::Bytes;
using bbutest::end_around_sum;

struct Xfer {
    int rc = 0;       // the ioctl's result
    int err = 0;      // errno when it failed
    int carried = 0;  // the message's length field afterwards
    Bytes data;       // the buffer afterwards (reads)
};

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

class SimBusTest : public SimAdapterTest {
protected:
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
};

#endif
