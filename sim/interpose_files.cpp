// interpose_files.cpp - the open family, close, dup and fcntl, fopen, and the
// calls that take the machine paths mapped into the run's root.
//
// Opening a claimed adapter path gives a real descriptor, numbered as the
// kernel would number it, that close and dup handle as usual: an open file
// of its own on the adapter's file in the run's root, so that flock(2) on it
// keeps the processes of a run apart as the kernel's lock on the adapter's
// device node does. Paths
// under /opt/ and the daemon socket /tmp/i2c_skt are redirected into the
// run's root; without a world they fail with ENOENT, so a test never touches
// the machine's own files there. Everything else goes to the C library
// untouched.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "devices.h"
#include "interposer.h"
#include "libc_calls.h"
#include "replay.h"
#include "transcript.h"
#include "world.h"

namespace bbusim {
namespace {

// One bit per descriptor number, set while it is claimed.
constexpr int kBitsPerWord = 64;
std::atomic<std::uint64_t> g_claimed[kMaxClaimedFd / kBitsPerWord];
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// Set while this thread works on the world. Initial-exec: the library is
// loaded with the program, and reading the mark must never allocate.
thread_local bool t_inside __attribute__((tls_model("initial-exec"))) = false;

// Resolve the C library's entry points and map the run's world while the
// program starts: left to the first interposed call (a signal handler's, say),
// both would take locks and allocate.
__attribute__((constructor)) void prepare_at_load()
{
    libc();
    world();
}

// A descriptor the C library just handed out cannot be a claimed one any
// more: the claimed file was closed behind our back (fclose, close_range).
int forget_stale(int fd)
{
    set_claimed(fd, false);
    return fd;
}

// After a successful dup of `from` to `to`, `to` refers to what `from` does.
int follow_dup(int from, int to)
{
    if (to >= 0 && to != from)
        set_claimed(to, is_claimed(from));
    return to;
}

bool is_machine_path(const char *p)
{
    return std::strncmp(p, "/opt/", 5) == 0 || std::strcmp(p, "/opt") == 0 ||
           std::strcmp(p, "/tmp/i2c_skt") == 0;
}

// A real adapter's device node. Under the simulator only the claimed ones
// exist: a program run on it never reaches a real I2C bus, and tests never
// touch the machine's devices.
bool is_real_adapter_path(const char *p)
{
    return std::strncmp(p, "/dev/i2c-", 9) == 0 || std::strncmp(p, "/dev/i2c/", 9) == 0;
}

// The path to hand to the C library for a path a caller named: the caller's
// own (null included: the C library answers it), or for a machine path its
// place in the run's root. That one is built in a page of its own: on the
// stack it would crowd a small thread's stack, and the heap is not safe in a
// signal handler.
class PathTarget {
public:
    explicit PathTarget(const char *path) : path_(may_be_null(path))
    {
        path = path_;
        if (path == nullptr || !is_machine_path(path))
            return;
        World *w = world();
        if (w == nullptr || w->root[0] == '\0') {
            fail(ENOENT);  // without a world the machine's own files stay untouched
            return;
        }
        const std::size_t root_len = std::strlen(w->root);
        const std::size_t len = std::strlen(path);
        if (root_len + len >= PATH_MAX) {
            fail(ENAMETOOLONG);
            return;
        }
        void *page =
            mmap(nullptr, PATH_MAX, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page == MAP_FAILED) {
            fail(errno);
            return;
        }
        page_ = static_cast<char *>(page);
        std::memcpy(page_, w->root, root_len);
        std::memcpy(page_ + root_len, path, len + 1);
        path_ = page_;
    }
    ~PathTarget()
    {
        if (page_ != nullptr)
            munmap(page_, PATH_MAX);
    }
    PathTarget(const PathTarget &) = delete;
    PathTarget &operator=(const PathTarget &) = delete;

    // False (errno set) when a machine path cannot be mapped.
    bool ok() const
    {
        return !failed_;
    }
    const char *path() const
    {
        return path_;
    }
    // The mapped path, writable; null when the caller's path is used as it is.
    char *mapped()
    {
        return page_;
    }

private:
    void fail(int err)
    {
        errno = err;
        path_ = nullptr;
        failed_ = true;
    }

    const char *path_;
    char *page_ = nullptr;
    bool failed_ = false;
};

// Close a helper descriptor (if any) without disturbing the errno of the call it served.
void close_keeping_errno(int fd)
{
    if (fd < 0)
        return;
    int saved = errno;
    libc().close(fd);
    errno = saved;
}

// The lock is held for the lookup only: open_adapter takes it again.
bool is_claimed_adapter(World &w, const char *path)
{
    SimLock lock(w);
    return is_claimed_path(w, path);
}

// The adapter's file in the root, ROOT/bbusim.adapter.N for the Nth claimed
// path, opened anew: every open is an open file of its own, as the device
// node's are. Never through a symbolic link. The caller holds the lock.
int open_adapter_file(const World &w, const char *path, int flags)
{
    std::uint32_t index = 0;
    while (index < w.adapter_count && std::strcmp(w.adapters[index], path) != 0)
        ++index;
    char file[kPathMax + 32];
    std::snprintf(file, sizeof file, "%s/bbusim.adapter.%u", w.root, static_cast<unsigned>(index));
    int fd =
        libc().open(file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | (flags & O_CLOEXEC), 0600);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        libc().close(fd);
        errno = EINVAL;  // something other than the file bbusim makes
        fd = -1;
    }
    return fd;
}

int open_adapter(World &w, const char *path, int flags)
{
    const int saved = errno;
    SimLock lock(w);
    if (lock.nested()) {
        errno = EAGAIN;  // the adapter is busy with the call this signal interrupted
        return -1;
    }
    Fault f{};
    int err = 0;
    int fd = -1;
    // A replay opens what the recording opened, and fails what it failed.
    const int recorded = w.replay.active != 0 ? replay_open(w, path) : 0;
    if (recorded < 0) {
        err = -recorded;
    } else if (w.replay.active == 0 && take_fault(w, FaultKind::open, 0, Direction::any, &f)) {
        err = f.err;
    } else {
        fd = open_adapter_file(w, path, flags);
        if (fd < 0) {
            err = errno;
        } else if (fd >= kMaxClaimedFd) {
            libc().close(fd);
            fd = -1;
            err = EMFILE;
        }
    }
    TranscriptLine line(w.now_us);
    if (fd < 0) {
        line.text(" open %s -> %s", path, errno_name(err).c_str()).emit(w);
        errno = err;
        return -1;
    }
    set_claimed(fd, true);
    if (w.replay.active != 0)
        replay_opened(w, fd, recorded);
    line.text(" open %s -> %d", path, fd).emit(w);
    errno = saved;
    return fd;
}

// The open family's adapters: true when `path` names an adapter node, with
// `fd` the claimed descriptor opened for it, or -1 (errno set). Adapter nodes
// that are not claimed do not exist.
bool open_if_adapter(const char *path, int flags, int &fd)
{
    path = may_be_null(path);
    if (path == nullptr || path[0] != '/')
        return false;
    World *w = world();
    if (w != nullptr && is_claimed_adapter(*w, path)) {
        fd = open_adapter(*w, path, flags);
        return true;
    }
    if (!is_real_adapter_path(path))
        return false;
    // In a replay, an adapter /dev/i2c-N that the recording never opened is a
    // difference (a recording holds every open of such a name, failed or not).
    if (w != nullptr && w->replay.active != 0 && std::strncmp(path, "/dev/i2c-", 9) == 0) {
        fd = open_adapter(*w, path, flags);
        return true;
    }
    errno = ENOENT;
    fd = -1;
    return true;
}

int open_common(int dirfd, const char *path, int flags, mode_t mode)
{
    int fd = -1;
    if (open_if_adapter(path, flags, fd))
        return fd;
    PathTarget target(path);
    if (!target.ok())
        return -1;
    return forget_stale(libc().openat(dirfd, target.path(), flags, mode));
}

mode_t mode_arg(int flags, va_list ap)
{
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(ap, int));
    return 0;
}

std::FILE *fopen_common(const char *path, const char *mode,
                        std::FILE *(*real)(const char *, const char *))
{
    int fd = -1;
    if (open_if_adapter(path, O_RDWR, fd)) {
        if (fd < 0)
            return nullptr;
        std::FILE *f = fdopen(fd, mode);
        if (f == nullptr) {
            int err = errno;
            close(fd);
            errno = err;
        }
        return f;
    }
    PathTarget target(path);
    if (!target.ok())
        return nullptr;
    std::FILE *f = real(target.path(), mode);
    if (f != nullptr)
        forget_stale(fileno(f));
    return f;
}

// bind and connect: an AF_UNIX address naming a machine path is rewritten
// into the root. A mapped path longer than sun_path (a deep root) is reached
// through its directory instead, as "/proc/self/fd/N/name" with N a
// descriptor of that directory, closed again after the call.
int with_socket_address(int fd, const struct sockaddr *addr, socklen_t len,
                        int (*real)(int, const struct sockaddr *, socklen_t))
{
    if (addr == nullptr || len <= offsetof(sockaddr_un, sun_path) || addr->sa_family != AF_UNIX)
        return real(fd, addr, len);
    const auto *un = reinterpret_cast<const sockaddr_un *>(addr);
    char path[sizeof un->sun_path + 1] = {};
    std::memcpy(path, un->sun_path,
                std::min<std::size_t>(len - offsetof(sockaddr_un, sun_path), sizeof un->sun_path));
    PathTarget target(path);
    if (!target.ok())
        return -1;
    char *full = target.mapped();
    if (full == nullptr)
        return real(fd, addr, len);
    sockaddr_un mapped{};
    mapped.sun_family = AF_UNIX;
    int dir_fd = -1;
    if (std::strlen(full) < sizeof mapped.sun_path) {
        std::memcpy(mapped.sun_path, full, std::strlen(full) + 1);
    } else {
        char *slash = std::strrchr(full, '/');
        *slash = '\0';
        dir_fd = libc().open(full, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0)
            return -1;
        int n = std::snprintf(mapped.sun_path, sizeof mapped.sun_path, "/proc/self/fd/%d/%s",
                              dir_fd, slash + 1);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof mapped.sun_path) {
            close_keeping_errno(dir_fd);
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    const auto mapped_len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(mapped.sun_path) + 1);
    int r = real(fd, reinterpret_cast<sockaddr *>(&mapped), mapped_len);
    close_keeping_errno(dir_fd);
    return r;
}

void record_close(int fd)
{
    if (World *w = world()) {
        SimLock lock(*w);
        // A close in a signal handler that interrupted the simulator is not
        // matched: the interrupted call may be matching a request itself.
        if (w->replay.active != 0 && !lock.nested())
            replay_close(*w, fd);
        TranscriptLine(virtual_now_us(*w)).text(" close %d", fd).emit(*w);
    }
}

}  // namespace

bool is_claimed(int fd)
{
    if (fd < 0 || fd >= kMaxClaimedFd)
        return false;
    const std::uint64_t word = g_claimed[fd / kBitsPerWord].load(std::memory_order_acquire);
    return ((word >> (fd % kBitsPerWord)) & 1) != 0;
}

bool set_claimed(int fd, bool claimed)
{
    if (fd < 0 || fd >= kMaxClaimedFd)
        return false;
    if (is_claimed(fd) == claimed)
        return claimed;
    const std::uint64_t bit = std::uint64_t{1} << (fd % kBitsPerWord);
    std::atomic<std::uint64_t> &word = g_claimed[fd / kBitsPerWord];
    const std::uint64_t before = claimed ? word.fetch_or(bit) : word.fetch_and(~bit);
    return (before & bit) != 0;
}

// The client state lives in the open file's offset, which belongs to the
// open file as i2c-dev's client does: the address in the low 16 bits, the
// ten-bit flag in bit 16. A fresh open, at offset 0, is a fresh client.
constexpr off_t kTenbitFlag = off_t{1} << 16;

I2cClient load_client(int fd)
{
    const off_t pos = lseek(fd, 0, SEEK_CUR);
    I2cClient client;
    if (pos > 0) {
        client.addr = static_cast<std::uint16_t>(pos & 0xffff);
        client.tenbit = (pos & kTenbitFlag) != 0;
    }
    return client;
}

void store_client(int fd, const I2cClient &client)
{
    (void)lseek(fd, off_t{client.addr} | (client.tenbit ? kTenbitFlag : 0), SEEK_SET);
}

InSimulator::InSimulator() : nested_(t_inside)
{
    t_inside = true;
}

InSimulator::~InSimulator()
{
    t_inside = nested_;
}

}  // namespace bbusim

using bbusim::libc;

extern "C" {

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    return bbusim::open_common(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    return bbusim::open_common(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    return bbusim::open_common(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = bbusim::mode_arg(flags, ap);
    va_end(ap);
    return bbusim::open_common(dirfd, path, flags | O_LARGEFILE, mode);
}

// The fortified variants that _FORTIFY_SOURCE builds call.
int __open_2(const char *path, int flags)
{
    return bbusim::open_common(AT_FDCWD, path, flags, 0);
}
int __open64_2(const char *path, int flags)
{
    return bbusim::open_common(AT_FDCWD, path, flags | O_LARGEFILE, 0);
}
int __openat_2(int dirfd, const char *path, int flags)
{
    return bbusim::open_common(dirfd, path, flags, 0);
}
int __openat64_2(int dirfd, const char *path, int flags)
{
    return bbusim::open_common(dirfd, path, flags | O_LARGEFILE, 0);
}

int creat(const char *path, mode_t mode)
{
    return bbusim::open_common(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int creat64(const char *path, mode_t mode)
{
    return bbusim::open_common(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC | O_LARGEFILE, mode);
}

std::FILE *fopen(const char *path, const char *mode)
{
    return bbusim::fopen_common(path, mode, libc().fopen);
}

std::FILE *fopen64(const char *path, const char *mode)
{
    return bbusim::fopen_common(path, mode, libc().fopen64);
}

int close(int fd)
{
    if (bbusim::set_claimed(fd, false))
        bbusim::record_close(fd);
    return libc().close(fd);
}

int dup(int fd) noexcept
{
    return bbusim::follow_dup(fd, libc().dup(fd));
}

int dup2(int from, int to) noexcept
{
    return bbusim::follow_dup(from, libc().dup2(from, to));
}

int dup3(int from, int to, int flags) noexcept
{
    return bbusim::follow_dup(from, libc().dup3(from, to, flags));
}

// fcntl and its 64-bit twin: a duplicated claimed descriptor stays claimed.
static int fcntl_following_dups(int fd, int cmd, void *arg)
{
    int r = libc().fcntl(fd, cmd, arg);
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
        return bbusim::follow_dup(fd, r);
    return r;
}

int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_following_dups(fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return fcntl_following_dups(fd, cmd, arg);
}

int connect(int fd, const struct sockaddr *addr, socklen_t len)
{
    return bbusim::with_socket_address(fd, addr, len, libc().connect);
}

int bind(int fd, const struct sockaddr *addr, socklen_t len) noexcept
{
    return bbusim::with_socket_address(fd, addr, len, libc().bind);
}

int unlink(const char *path) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().unlink(target.path()) : -1;
}

int access(const char *path, int mode) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().access(target.path(), mode) : -1;
}

// The rest of what a program does with the socket or a file by its machine
// path: its status, its mode and its owner.
int stat(const char *path, struct stat *st) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().stat(target.path(), st) : -1;
}

int stat64(const char *path, struct stat64 *st) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().stat64(target.path(), st) : -1;
}

int lstat(const char *path, struct stat *st) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().lstat(target.path(), st) : -1;
}

int lstat64(const char *path, struct stat64 *st) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().lstat64(target.path(), st) : -1;
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().fstatat(dirfd, target.path(), st, flags) : -1;
}

int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().fstatat64(dirfd, target.path(), st, flags) : -1;
}

int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *st) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().statx(dirfd, target.path(), flags, mask, st) : -1;
}

int chmod(const char *path, mode_t mode) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().chmod(target.path(), mode) : -1;
}

int fchmodat(int dirfd, const char *path, mode_t mode, int flags) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().fchmodat(dirfd, target.path(), mode, flags) : -1;
}

int chown(const char *path, uid_t owner, gid_t group) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().chown(target.path(), owner, group) : -1;
}

int lchown(const char *path, uid_t owner, gid_t group) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().lchown(target.path(), owner, group) : -1;
}

int fchownat(int dirfd, const char *path, uid_t owner, gid_t group, int flags) noexcept
{
    bbusim::PathTarget target(path);
    return target.ok() ? libc().fchownat(dirfd, target.path(), owner, group, flags) : -1;
}

}  // extern "C"
