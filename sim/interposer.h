// interposer.h - what the interposed C library functions share.
//
// A claimed descriptor is a real descriptor, an open file of its own on the
// adapter's file in the run's root, that stands for an opened i2c-dev
// adapter. Like the kernel's i2c-dev file, its client state (slave address,
// ten-bit flag) belongs to the open file: it is kept in the file's offset, so
// descriptors dup'ed from it and a forked child share it. flock(2) on it is
// the kernel's, so programs of one run exclude each other as on the device.
//
// Interposed functions are as safe in a signal handler as the C library's
// own. A call on a descriptor that is not claimed takes no lock and allocates
// nothing: the claimed descriptors are a bitmap of atomics. A thread working
// on the world is marked (InSimulator); a signal handler that interrupts it
// and calls in again finds the mark and never waits for the world's lock,
// which this very thread may hold.
#ifndef BBUSIM_INTERPOSER_H
#define BBUSIM_INTERPOSER_H

#include <cstdint>
#include <optional>

#include "bbusim.h"
#include "world.h"

namespace bbusim {

struct I2cClient {
    std::uint16_t addr = 0;  // the kernel's client starts with address 0
    bool tenbit = false;
};

// Descriptor numbers that can be claimed: below the kernel's default limit
// on descriptor numbers (nr_open).
constexpr int kMaxClaimedFd = 1 << 20;

bool is_claimed(int fd);
// Marks fd claimed or not; returns whether it was claimed before. False for
// a number that cannot be claimed.
bool set_claimed(int fd, bool claimed);

// The client state of a claimed descriptor's open file.
I2cClient load_client(int fd);
void store_client(int fd, const I2cClient &client);

// Marks this thread as working on the world for the object's lifetime.
// nested() is true when the mark was already set: a signal handler
// interrupted this thread inside the simulator and called in again.
class InSimulator {
public:
    InSimulator();
    ~InSimulator();
    InSimulator(const InSimulator &) = delete;
    InSimulator &operator=(const InSimulator &) = delete;
    bool nested() const
    {
        return nested_;
    }

private:
    bool nested_;
};

// The world's lock, except in a nested call: the lock's holder may be this
// very thread, paused under the signal handler, so a nested call works
// without it. Only what is safe that way may be done under a nested SimLock:
// reading the adapter table, advancing the clock (atomic), appending a
// transcript line (one O_APPEND write).
class SimLock {
public:
    explicit SimLock(World &w)
    {
        if (!inside_.nested())
            lock_.emplace(w);
    }
    bool nested() const
    {
        return inside_.nested();
    }

private:
    InSimulator inside_;
    std::optional<WorldLock> lock_;
};

// The C library declares some pointers never null (open's path,
// gettimeofday's tv) and the compiler drops checks of them; a program may
// pass null all the same, so such a pointer is checked through this.
template <typename T>
T *may_be_null(T *p)
{
    T *volatile copy = p;
    return copy;
}

// The virtual clock, read and advanced with atomic operations (a nested call
// holds no lock). It only moves forward and stops where the virtual time or
// the wall clock would leave the range of a signed 64-bit microsecond count.
std::uint64_t virtual_now_us(const World &w);
// Advances the clock by `us` at most; returns by how much it moved.
std::uint64_t advance_clock(World &w, std::uint64_t us);

// After an event that a power-cut or crash fault struck (w.stop set; the
// caller no longer holds the lock): in a process of the launcher's command, a
// crash kills this process and a power cut the whole command with it, as
// losing power would, and neither returns; in a test program that runs the
// simulator in-process the event simply failed. A crash is over once
// handled: the devices stay powered for whoever uses them next.
void end_if_stopped(World &w);

// The answerer of bbusim::answer_messages(): consulted for each message of a
// transfer, in this process only.
void set_message_answerer(MessageAnswerer answerer, void *context);

}  // namespace bbusim

#endif  // BBUSIM_INTERPOSER_H
