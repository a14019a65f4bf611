// Raw i2c-dev access for the simulator's own tests: one-message I2C_RDWR
// transfers on an adapter descriptor, and notes for golden rows.
#ifndef BBU_TESTS_SIM_BUS_H
#define BBU_TESTS_SIM_BUS_H

#include <gmock/gmock.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <cstdint>

#include "golden.h"
#include "sim_world.h"

using bbutest::Bytes;
using bbutest::end_around_sum;
using bbutest::hex;

struct Xfer {
    int rc = 0;       // the ioctl's result
    int carried = 0;  // the message's length field afterwards
    Bytes data;       // the buffer afterwards (reads)
};

inline Xfer rdwr(int fd, std::uint16_t addr, bool is_read, Bytes buf)
{
    i2c_msg m{addr, static_cast<__u16>(is_read ? I2C_M_RD : 0), static_cast<__u16>(buf.size()),
              buf.data()};
    i2c_rdwr_ioctl_data d{&m, 1};
    const int rc = ioctl(fd, I2C_RDWR, &d);
    return {rc, m.len, buf};
}

// A read pre-filled with 0xa5, so bytes the device did not deliver show.
inline void rd(int fd, std::uint16_t addr, std::size_t len)
{
    rdwr(fd, addr, true, Bytes(len, 0xa5));
}

inline void wr(int fd, std::uint16_t addr, const Bytes &bytes)
{
    rdwr(fd, addr, false, bytes);
}

// A call's result, or the name of its errno when it failed.
inline std::string outcome(long rc)
{
    return rc < 0 ? strerrorname_np(errno) : std::to_string(rc);
}

// A golden row's finding, after the session: "label| text".
inline void note(golden::Call &call, const std::string &label, const std::string &text)
{
    call.notes.push_back(label + "| " + text);
}

#endif
