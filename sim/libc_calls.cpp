// libc_calls.cpp - resolve the C library's entry points once.
#include "libc_calls.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace bbusim {
namespace {

template <typename Fn>
void resolve(Fn &slot, const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
        // Nothing sensible can run without the C library's own function.
        static constexpr char kMsg[] = "bbusim: cannot resolve a C library function\n";
        // The raw system call: write() itself may be the interposer.
        (void)!syscall(SYS_write, 2, kMsg, sizeof kMsg - 1);
        std::abort();
    }
    slot = reinterpret_cast<Fn>(p);
}

LibcCalls resolve_all()
{
    LibcCalls c{};
    resolve(c.open, "open");
    resolve(c.openat, "openat");
    resolve(c.close, "close");
    resolve(c.read, "read");
    resolve(c.write, "write");
    resolve(c.ioctl, "ioctl");
    resolve(c.dup, "dup");
    resolve(c.dup2, "dup2");
    resolve(c.dup3, "dup3");
    resolve(c.fcntl, "fcntl");
    resolve(c.fopen, "fopen");
    resolve(c.fopen64, "fopen64");
    resolve(c.sleep, "sleep");
    resolve(c.usleep, "usleep");
    resolve(c.nanosleep, "nanosleep");
    resolve(c.clock_nanosleep, "clock_nanosleep");
    resolve(c.gettimeofday, "gettimeofday");
    resolve(c.time, "time");
    resolve(c.clock_gettime, "clock_gettime");
    resolve(c.connect, "connect");
    resolve(c.bind, "bind");
    resolve(c.unlink, "unlink");
    resolve(c.access, "access");
    resolve(c.stat, "stat");
    resolve(c.stat64, "stat64");
    resolve(c.lstat, "lstat");
    resolve(c.lstat64, "lstat64");
    resolve(c.fstatat, "fstatat");
    resolve(c.fstatat64, "fstatat64");
    resolve(c.statx, "statx");
    resolve(c.chmod, "chmod");
    resolve(c.fchmodat, "fchmodat");
    resolve(c.chown, "chown");
    resolve(c.lchown, "lchown");
    resolve(c.fchownat, "fchownat");
    return c;
}

}  // namespace

const LibcCalls &libc()
{
    static const LibcCalls calls = resolve_all();
    return calls;
}

}  // namespace bbusim
