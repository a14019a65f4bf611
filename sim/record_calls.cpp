// record_calls.cpp - the recorder's interposed calls: the open family, close,
// dup and fcntl's dup, ioctl, read and write on i2c-dev adapters, and the
// sleep family.
//
// Every call goes to the next definition (the C library on a real machine,
// the simulator inside a simulated run) with its arguments untouched, and
// its answer goes back to the program untouched; the recorder only writes
// down what happened. A call on a descriptor that is not an adapter's takes
// no lock and allocates nothing: the adapters' descriptors are an array of
// atomics, which also holds each one's client address for plain read and
// write.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "exec_guard.h"
#include "i2c_requests.h"
#include "record.h"

#ifndef BBUSIM_VERSION
#define BBUSIM_VERSION "unknown"
#endif

namespace bbusim {
namespace {

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenAt2Fn = int (*)(int, const char *, int);

// The next definition of each interposed function.
struct NextCalls {
    OpenFn open, open64;
    OpenAtFn openat, openat64;
    Open2Fn open_2, open64_2;
    OpenAt2Fn openat_2, openat64_2;
    int (*close)(int);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    int (*fcntl)(int, int, ...);
    int (*fcntl64)(int, int, ...);
    int (*ioctl)(int, unsigned long, ...);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*write)(int, const void *, size_t);
    ssize_t (*read_chk)(int, void *, size_t, size_t);
    unsigned (*sleep)(unsigned);
    int (*usleep)(useconds_t);
    int (*nanosleep)(const timespec *, timespec *);
    int (*clock_nanosleep)(clockid_t, int, const timespec *, timespec *);
};

NextCalls g_next{};
std::atomic<bool> g_resolved{false};
RecordTarget g_target;

template <typename Fn>
void resolve(Fn &slot, const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
        static constexpr char kMsg[] = "bbusim recorder: cannot resolve a C library function\n";
        (void)!syscall(SYS_write, 2, kMsg, sizeof kMsg - 1);
        std::abort();
    }
    slot = reinterpret_cast<Fn>(p);
}

// Resolved when the library loads; a call that comes earlier (another
// library's constructor) resolves them itself.
const NextCalls &next()
{
    if (g_resolved.load(std::memory_order_acquire))
        return g_next;
    NextCalls n{};
    resolve(n.open, "open");
    resolve(n.open64, "open64");
    resolve(n.openat, "openat");
    resolve(n.openat64, "openat64");
    resolve(n.open_2, "__open_2");
    resolve(n.open64_2, "__open64_2");
    resolve(n.openat_2, "__openat_2");
    resolve(n.openat64_2, "__openat64_2");
    resolve(n.close, "close");
    resolve(n.dup, "dup");
    resolve(n.dup2, "dup2");
    resolve(n.dup3, "dup3");
    resolve(n.fcntl, "fcntl");
    resolve(n.fcntl64, "fcntl64");
    resolve(n.ioctl, "ioctl");
    resolve(n.read, "read");
    resolve(n.write, "write");
    resolve(n.read_chk, "__read_chk");
    resolve(n.sleep, "sleep");
    resolve(n.usleep, "usleep");
    resolve(n.nanosleep, "nanosleep");
    resolve(n.clock_nanosleep, "clock_nanosleep");
    g_next = n;
    g_resolved.store(true, std::memory_order_release);
    return g_next;
}

// One entry per descriptor number: 0 for one that is not an adapter's,
// otherwise kAdapter with the client's address (and its ten-bit flag).
constexpr int kMaxFd = 1 << 20;
constexpr std::uint16_t kAdapter = 0x8000;
constexpr std::uint16_t kTenbit = 0x4000;
constexpr std::uint16_t kAddressMask = 0x03ff;
std::atomic<std::uint16_t> g_fds[kMaxFd];
static_assert(std::atomic<std::uint16_t>::is_always_lock_free);

// The i2c-dev driver's limits.
constexpr std::size_t kMaxMessageLen = 8192;
constexpr unsigned kI2cDevMajor = 89;

bool recording()
{
    return g_target.fd >= 0;
}

std::uint16_t fd_state(int fd)
{
    return fd >= 0 && fd < kMaxFd ? g_fds[fd].load(std::memory_order_acquire) : 0;
}

void set_fd_state(int fd, std::uint16_t state)
{
    if (fd >= 0 && fd < kMaxFd)
        g_fds[fd].store(state, std::memory_order_release);
}

// After a successful dup of `from` to `to`, `to` is what `from` is (a shell's
// redirection to an adapter moves its descriptor so). Each keeps its own
// client address from then on.
int follow_dup(int from, int to)
{
    if (to >= 0 && to != from)
        set_fd_state(to, fd_state(from));
    return to;
}

std::uint64_t stamp()
{
    const std::uint64_t now = monotonic_now_us();
    return now > g_target.start_us ? now - g_target.start_us : 0;
}

const char *errno_text(int err, char (&number)[16])
{
    if (const char *name = strerrorname_np(err))
        return name;
    std::snprintf(number, sizeof number, "%d", err);
    return number;
}

// An adapter's node: /dev/i2c-N by name, opened or not (the simulator's
// claimed paths are named so too), or any device node of the i2c-dev driver
// that opened. A program's try at a node that another naming scheme would
// give (i2c-tools try /dev/i2c/N first) is no conversation on an adapter.
bool is_adapter(const char *path, int fd)
{
    if (path == nullptr)
        return false;
    if (std::strncmp(path, "/dev/i2c-", 9) == 0)
        return true;
    struct stat st {};
    return fd >= 0 && std::strncmp(path, "/dev/", 5) == 0 && fstat(fd, &st) == 0 &&
           S_ISCHR(st.st_mode) && major(st.st_rdev) == kI2cDevMajor;
}

// After an open: the line for an adapter's, and the descriptor's entry.
int opened(std::uint64_t t, const char *path, int fd)
{
    if (!recording())
        return fd;
    const int err = errno;
    const bool adapter = is_adapter(path, fd);
    set_fd_state(fd, adapter ? kAdapter : 0);
    if (adapter) {
        char number[16];
        RecordLine line(t, std::strlen(path));
        line.text(" open ").path(path);
        if (fd >= 0)
            line.text(" -> %d", fd);
        else
            line.text(" -> %s", errno_text(err, number));
        line.emit(g_target);
    }
    errno = err;
    return fd;
}

void message_line(std::uint64_t t, unsigned addr, bool is_read, std::size_t len,
                  const std::uint8_t *buf, long result)
{
    char number[16];
    RecordLine line(t, len);
    line.text(" %s 0x%02x %zu", is_read ? "read" : "write", addr, len);
    if (!is_read && len > 0)
        line.text(" :").bytes(buf, len);
    if (result < 0) {
        line.text(" -> %s", errno_text(static_cast<int>(-result), number));
    } else {
        line.text(" -> %ld", result);
        if (is_read && result > 0)
            line.text(" :").bytes(buf, static_cast<std::size_t>(result));
    }
    line.emit(g_target);
}

void refused_line(std::uint64_t t, unsigned long request, int err)
{
    char number[16];
    RecordLine line(t, 0);
    if (const char *name = i2c_request_name(request))
        line.text(" ioctl %s", name);
    else
        line.text(" ioctl 0x%lx", request);
    line.text(" -> %s", errno_text(err, number)).emit(g_target);
}

// A combined transfer the driver refuses before any message reaches the bus.
bool refused_whole(const i2c_rdwr_ioctl_data *data)
{
    if (data == nullptr || data->msgs == nullptr || data->nmsgs == 0 ||
        data->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS)
        return true;
    for (std::uint32_t i = 0; i < data->nmsgs; ++i) {
        const i2c_msg &m = data->msgs[i];
        if (m.len > kMaxMessageLen || (m.buf == nullptr && m.len > 0) ||
            (m.flags & I2C_M_RECV_LEN) != 0)
            return true;
    }
    return false;
}

// I2C_RDWR: one line per message, all stamped with the request's start. The
// lengths asked are kept: a message that carried fewer bytes says so in its
// length field afterwards, which is its result.
int record_rdwr(int fd, void *arg)
{
    auto *data = static_cast<i2c_rdwr_ioctl_data *>(arg);
    const std::uint64_t t = stamp();
    const bool whole = refused_whole(data);
    __u16 asked[I2C_RDWR_IOCTL_MAX_MSGS] = {};
    for (std::uint32_t i = 0; !whole && i < data->nmsgs; ++i)
        asked[i] = data->msgs[i].len;
    const int r = next().ioctl(fd, I2C_RDWR, arg);
    const int err = errno;
    if (r < 0 && whole) {
        refused_line(t, I2C_RDWR, err);
    } else if (!whole) {
        for (std::uint32_t i = 0; i < data->nmsgs; ++i) {
            const i2c_msg &m = data->msgs[i];
            message_line(t, m.addr, (m.flags & I2C_M_RD) != 0, asked[i], m.buf,
                         r < 0 ? -err : static_cast<long>(m.len));
        }
    }
    errno = err;
    return r;
}

// The data bytes an SMBus transaction carries, or -1 for one the driver
// refuses as a whole (an unknown size or direction, no data where it needs
// some, an I2C block of 0 or more than 32 bytes, a size it does not offer).
int smbus_len(const i2c_smbus_ioctl_data *req)
{
    if (req == nullptr || req->size > I2C_SMBUS_I2C_BLOCK_DATA)
        return -1;
    const bool is_read = req->read_write == I2C_SMBUS_READ;
    if (!is_read && req->read_write != I2C_SMBUS_WRITE)
        return -1;
    const bool uses_data =
        req->size != I2C_SMBUS_QUICK && !(req->size == I2C_SMBUS_BYTE && !is_read);
    if (uses_data && req->data == nullptr)
        return -1;
    switch (req->size) {
    case I2C_SMBUS_QUICK:
    case I2C_SMBUS_BYTE:
        return 0;
    case I2C_SMBUS_BYTE_DATA:
        return 1;
    case I2C_SMBUS_WORD_DATA:
        return 2;
    case I2C_SMBUS_I2C_BLOCK_BROKEN:  // the old form: reads are always of 32 bytes
    case I2C_SMBUS_I2C_BLOCK_DATA: {
        const int len = req->size == I2C_SMBUS_I2C_BLOCK_BROKEN && is_read ? I2C_SMBUS_BLOCK_MAX
                                                                           : req->data->block[0];
        return len == 0 || len > I2C_SMBUS_BLOCK_MAX ? -1 : len;
    }
    default:
        return -1;
    }
}

// An SMBus transaction as the messages an adapter that speaks only I2C
// carries it in (as the kernel emulates it): the command byte and any data
// written in one message; for a read, the command byte written, then the
// data read (a byte read alone has no command; a quick one carries nothing).
void smbus_lines(std::uint64_t t, unsigned addr, const i2c_smbus_ioctl_data &req, int len,
                 long result)
{
    const bool is_read = req.read_write == I2C_SMBUS_READ;
    std::uint8_t out[I2C_SMBUS_BLOCK_MAX + 2] = {req.command};
    std::uint8_t in[I2C_SMBUS_BLOCK_MAX] = {};
    const i2c_smbus_data *d = req.data;
    if (d != nullptr && req.size == I2C_SMBUS_WORD_DATA) {
        const std::uint8_t word[2] = {static_cast<std::uint8_t>(d->word),
                                      static_cast<std::uint8_t>(d->word >> 8)};
        std::memcpy(is_read ? in : out + 1, word, 2);
    } else if (d != nullptr && len > 0) {
        const std::uint8_t *data = len == 1 && req.size != I2C_SMBUS_I2C_BLOCK_DATA &&
                                           req.size != I2C_SMBUS_I2C_BLOCK_BROKEN
                                       ? &d->byte
                                       : d->block + 1;
        std::memcpy(is_read ? in : out + 1, data, static_cast<std::size_t>(len));
    }
    const auto n = static_cast<std::size_t>(len);
    const auto carried = [&](std::size_t bytes) {
        return result < 0 ? result : long(bytes);
    };
    if (req.size == I2C_SMBUS_QUICK)
        message_line(t, addr, is_read, 0, out, carried(0));
    else if (req.size == I2C_SMBUS_BYTE && is_read)
        message_line(t, addr, true, 1, &d->byte, carried(1));
    else if (!is_read)
        message_line(t, addr, false, n + 1, out, carried(n + 1));
    else {
        message_line(t, addr, false, 1, out, carried(1));
        message_line(t, addr, true, n, in, carried(n));
    }
}

int record_smbus(int fd, std::uint16_t state, void *arg)
{
    const auto *req = static_cast<const i2c_smbus_ioctl_data *>(arg);
    const std::uint64_t t = stamp();
    const int len = smbus_len(req);
    const int r = next().ioctl(fd, I2C_SMBUS, arg);
    const int err = errno;
    if (len < 0 && r < 0)
        refused_line(t, I2C_SMBUS, err);
    else if (len >= 0)
        smbus_lines(t, state & kAddressMask, *req, len, r < 0 ? -err : 0);
    errno = err;
    return r;
}

// Any other request on an adapter: a refusal is a line; a client address
// set is kept for plain read and write.
int record_request(int fd, std::uint16_t state, unsigned long request, void *arg)
{
    const std::uint64_t t = stamp();
    const int r = next().ioctl(fd, request, arg);
    const int err = errno;
    const auto value = reinterpret_cast<unsigned long>(arg);
    if (r < 0)
        refused_line(t, request, err);
    else if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE)
        set_fd_state(fd,
                     static_cast<std::uint16_t>((state & ~kAddressMask) | (value & kAddressMask)));
    else if (request == I2C_TENBIT)
        set_fd_state(fd, value != 0 ? state | kTenbit : state & ~kTenbit);
    errno = err;
    return r;
}

// i2c-dev's plain read and write: one message at the client's address, of at
// most the driver's longest message.
ssize_t record_plain(int fd, std::uint16_t state, bool is_read, void *buf, std::size_t count)
{
    const std::uint64_t t = stamp();
    const ssize_t r = is_read ? next().read(fd, buf, count) : next().write(fd, buf, count);
    const int err = errno;
    // A null buffer never reaches the bus.
    if (buf != nullptr || count == 0)
        message_line(t, state & kAddressMask, is_read, std::min(count, kMaxMessageLen),
                     static_cast<const std::uint8_t *>(buf), r < 0 ? -err : r);
    errno = err;
    return r;
}

void sleep_line(std::uint64_t t, std::uint64_t asked_us)
{
    const std::uint64_t took = stamp() - t;
    RecordLine(t, 0)
        .text(" sleep %llu real %llu", static_cast<unsigned long long>(asked_us),
              static_cast<unsigned long long>(took))
        .emit(g_target);
}

// The mode argument is there only when the flags create a file.
mode_t mode_arg(int flags, va_list ap)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

bool valid(const timespec *ts)
{
    return ts->tv_sec >= 0 && ts->tv_nsec >= 0 && ts->tv_nsec < 1000000000;
}

// Nanoseconds rounded up to whole microseconds.
std::uint64_t to_us(const timespec &ts)
{
    constexpr std::uint64_t kMaxSeconds = (UINT64_MAX - 1000000) / 1000000;
    if (static_cast<std::uint64_t>(ts.tv_sec) > kMaxSeconds)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 +
           static_cast<std::uint64_t>((ts.tv_nsec + 999) / 1000);
}

// The pause an absolute clock_nanosleep asks for: until the given time on
// that clock, as the program sees it.
std::uint64_t until_us(clockid_t clock, const timespec &target)
{
    timespec now{};
    clock_gettime(clock, &now);
    const std::uint64_t to = to_us(target), from = to_us(now);
    return to > from ? to - from : 0;
}

// The exit line of a program that records itself, for its own process only.
// The process that began the recording: a child it forks does not end it.
pid_t g_recording_pid = 0;

void exit_line(int status, void *)
{
    if (getpid() == g_recording_pid)
        RecordLine(stamp(), 0).text(" exit %d", status & 0xff).emit(g_target);
}

// A program that records itself (bbu-i2cd --record) handed over the opened
// recording: the header names it as it runs now, and its end is written
// when it exits.
void begin_own_recording()
{
    const char *fd = std::getenv(kEnvRecordFd);
    unsetenv(kEnvRecordBegin);
    if (fd == nullptr)
        return;
    char *end = nullptr;
    const long number = std::strtol(fd, &end, 10);
    if (end == fd || *end != '\0' || number < 0 || number > INT_MAX)
        return;
    g_target = hand_down_recording(static_cast<int>(number), "");
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> command;
    for (std::size_t at = 0; at < all.size();) {
        const std::size_t end = std::min(all.find('\0', at), all.size());
        command.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    const std::string header = record_header(command, BBUSIM_VERSION, false);
    const long written = syscall(SYS_write, g_target.fd, header.data(), header.size());
    (void)written;  // a recording that cannot be written loses its header, nothing else
    g_recording_pid = getpid();
    on_exit(exit_line, nullptr);
}

__attribute__((constructor)) void start_recording()
{
    next();
    if (std::getenv(kEnvRecordBegin) != nullptr)
        begin_own_recording();
    else
        read_record_target(g_target);
    exec_guard_prepare();
}

constexpr const char *kRecordVariables[] = {kEnvRecordFd, kEnvRecordFile, kEnvRecordId,
                                            kEnvRecordStart, nullptr};
constexpr ExecGuardConfig kRecordGuard{Preloaded::recorder, kRecordVariables};

}  // namespace

// A process that records: every program it starts must take the recorder,
// or its conversation would go unrecorded.
const ExecGuardConfig *exec_guard_config()
{
    return recording() ? &kRecordGuard : nullptr;
}
}  // namespace bbusim

using bbusim::next;

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().open(path, flags, mode));
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().open64(path, flags, mode));
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().openat(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().openat64(dirfd, path, flags, mode));
}

// The fortified variants that _FORTIFY_SOURCE builds call.
int __open_2(const char *path, int flags)
{
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().open_2(path, flags));
}
int __open64_2(const char *path, int flags)
{
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().open64_2(path, flags));
}
int __openat_2(int dirfd, const char *path, int flags)
{
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().openat_2(dirfd, path, flags));
}
int __openat64_2(int dirfd, const char *path, int flags)
{
    const std::uint64_t t = bbusim::stamp();
    return bbusim::opened(t, path, next().openat64_2(dirfd, path, flags));
}

int close(int fd)
{
    const std::uint16_t state = bbusim::fd_state(fd);
    if ((state & bbusim::kAdapter) == 0)
        return next().close(fd);
    const std::uint64_t t = bbusim::stamp();
    bbusim::set_fd_state(fd, 0);
    const int r = next().close(fd);
    const int err = errno;
    bbusim::RecordLine(t, 0).text(" close %d", fd).emit(bbusim::g_target);
    errno = err;
    return r;
}

int dup(int fd) noexcept
{
    return bbusim::follow_dup(fd, next().dup(fd));
}

int dup2(int from, int to) noexcept
{
    return bbusim::follow_dup(from, next().dup2(from, to));
}

int dup3(int from, int to, int flags) noexcept
{
    return bbusim::follow_dup(from, next().dup3(from, to, flags));
}

int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const int r = next().fcntl(fd, cmd, arg);
    return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC ? bbusim::follow_dup(fd, r) : r;
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const int r = next().fcntl64(fd, cmd, arg);
    return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC ? bbusim::follow_dup(fd, r) : r;
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const std::uint16_t state = bbusim::fd_state(fd);
    if ((state & bbusim::kAdapter) == 0)
        return next().ioctl(fd, request, arg);
    if (request == I2C_RDWR)
        return bbusim::record_rdwr(fd, arg);
    if (request == I2C_SMBUS)
        return bbusim::record_smbus(fd, state, arg);
    return bbusim::record_request(fd, state, request, arg);
}

ssize_t read(int fd, void *buf, size_t count)
{
    const std::uint16_t state = bbusim::fd_state(fd);
    if ((state & bbusim::kAdapter) == 0)
        return next().read(fd, buf, count);
    return bbusim::record_plain(fd, state, true, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen)
{
    if (count > buflen)
        return next().read_chk(fd, buf, count, buflen);  // the C library's abort
    return read(fd, buf, count);
}

ssize_t write(int fd, const void *buf, size_t count)
{
    const std::uint16_t state = bbusim::fd_state(fd);
    if ((state & bbusim::kAdapter) == 0)
        return next().write(fd, buf, count);
    return bbusim::record_plain(fd, state, false, const_cast<void *>(buf), count);
}

unsigned sleep(unsigned seconds)
{
    if (!bbusim::recording())
        return next().sleep(seconds);
    const std::uint64_t t = bbusim::stamp();
    const unsigned left = next().sleep(seconds);
    bbusim::sleep_line(t, std::uint64_t{seconds} * 1000000);
    return left;
}

int usleep(useconds_t us)
{
    if (!bbusim::recording())
        return next().usleep(us);
    const std::uint64_t t = bbusim::stamp();
    const int r = next().usleep(us);
    const int err = errno;
    bbusim::sleep_line(t, us);
    errno = err;
    return r;
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    // A pause refused for its arguments is no pause.
    if (!bbusim::recording() || req == nullptr || !bbusim::valid(req))
        return next().nanosleep(req, rem);
    const std::uint64_t asked = bbusim::to_us(*req);
    const std::uint64_t t = bbusim::stamp();
    const int r = next().nanosleep(req, rem);
    const int err = errno;
    bbusim::sleep_line(t, asked);
    errno = err;
    return r;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem)
{
    const bool known = clock == CLOCK_REALTIME || clock == CLOCK_MONOTONIC ||
                       clock == CLOCK_BOOTTIME || clock == CLOCK_TAI;
    if (!bbusim::recording() || req == nullptr || !bbusim::valid(req) || !known)
        return next().clock_nanosleep(clock, flags, req, rem);
    const std::uint64_t asked =
        (flags & TIMER_ABSTIME) != 0 ? bbusim::until_us(clock, *req) : bbusim::to_us(*req);
    const std::uint64_t t = bbusim::stamp();
    const int r = next().clock_nanosleep(clock, flags, req, rem);
    bbusim::sleep_line(t, asked);
    return r;
}

}  // extern "C"
