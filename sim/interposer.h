// interposer.h - state shared by the interposed C library functions.
//
// A claimed descriptor is a real descriptor (a memfd) that stands for an
// opened i2c-dev adapter. Like the kernel's i2c-dev file, its client state
// (slave address, ten-bit flag) belongs to the open file and is shared by
// descriptors dup'ed from it.
#ifndef BBUSIM_INTERPOSER_H
#define BBUSIM_INTERPOSER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace bbusim {

struct I2cClient {
    std::uint16_t addr = 0;  // the kernel's client starts with address 0
    bool tenbit = false;
    bool pec = false;
};

// Number of claimed descriptors in this process: 0 lets read, write, close,
// ioctl and friends go straight to the C library.
extern std::atomic<int> g_claimed_fds;

// Guards the descriptor table. Taken before the world's lock, never after.
std::mutex &descriptor_mutex();

// The client of a claimed descriptor, or null. Call with descriptor_mutex held.
I2cClient *claimed_client(int fd);

}  // namespace bbusim

#endif  // BBUSIM_INTERPOSER_H
