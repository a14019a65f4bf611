// interpose_files.cpp - the open family, close, dup and fcntl, fopen, and the
// calls that take the machine paths mapped into the run's root.
//
// Opening a claimed adapter path gives a memfd: a real descriptor, numbered
// as the kernel would number it, that close and dup handle as usual. Paths
// under /opt/ and the daemon socket /tmp/i2c_skt are redirected into the
// run's root; without a world they fail with ENOENT, so a test never touches
// the machine's own files there. Everything else goes to the C library
// untouched.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "devices.h"
#include "interposer.h"
#include "libc_calls.h"
#include "transcript.h"
#include "world.h"

namespace bbusim {

std::atomic<int> g_claimed_fds{0};

namespace {

// Never destroyed: interposed calls may come after static destructors ran.
std::vector<std::shared_ptr<I2cClient>> &table()
{
    static auto *t = new std::vector<std::shared_ptr<I2cClient>>();
    return *t;
}

void set_claim(int fd, std::shared_ptr<I2cClient> client)
{
    auto &t = table();
    if (static_cast<std::size_t>(fd) >= t.size())
        t.resize(static_cast<std::size_t>(fd) + 16);
    if (!t[static_cast<std::size_t>(fd)])
        g_claimed_fds.fetch_add(1);
    t[static_cast<std::size_t>(fd)] = std::move(client);
}

bool drop_claim(int fd)
{
    auto &t = table();
    if (fd < 0 || static_cast<std::size_t>(fd) >= t.size() || !t[static_cast<std::size_t>(fd)])
        return false;
    t[static_cast<std::size_t>(fd)].reset();
    g_claimed_fds.fetch_sub(1);
    return true;
}

std::shared_ptr<I2cClient> client_ptr(int fd)
{
    auto &t = table();
    if (fd < 0 || static_cast<std::size_t>(fd) >= t.size())
        return nullptr;
    return t[static_cast<std::size_t>(fd)];
}

// A descriptor the C library just handed out cannot be a claimed one any
// more: the claimed file was closed behind our back (fclose, close_range).
int forget_stale(int fd)
{
    if (fd >= 0 && g_claimed_fds.load(std::memory_order_relaxed) > 0) {
        std::lock_guard<std::mutex> guard(descriptor_mutex());
        drop_claim(fd);
    }
    return fd;
}

// After a successful dup of `from` to `to`, `to` refers to what `from` does.
int follow_dup(int from, int to)
{
    if (to < 0 || g_claimed_fds.load(std::memory_order_relaxed) == 0)
        return to;
    std::lock_guard<std::mutex> guard(descriptor_mutex());
    auto client = client_ptr(from);
    if (client)
        set_claim(to, std::move(client));
    else
        drop_claim(to);
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

bool is_adapter(World *w, const char *path)
{
    if (w == nullptr)
        return std::strcmp(path, kDefaultAdapter) == 0;
    WorldLock lock(*w);
    return is_claimed_path(*w, path);
}

// ROOT + path into out; false with errno set when it cannot be mapped.
bool map_path(const char *path, char *out, std::size_t cap)
{
    World *w = world();
    if (w == nullptr || w->root[0] == '\0') {
        errno = ENOENT;
        return false;
    }
    int n = std::snprintf(out, cap, "%s%s", w->root, path);
    if (n < 0 || static_cast<std::size_t>(n) >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int open_adapter(World *w, const char *path, int flags)
{
    if (w == nullptr) {  // no simulated platform: the adapter does not exist
        errno = ENOENT;
        return -1;
    }
    const int saved = errno;
    std::lock_guard<std::mutex> guard(descriptor_mutex());
    WorldLock lock(*w);
    Fault f{};
    int err = 0;
    int fd = -1;
    if (take_fault(*w, FaultKind::open, 0, Direction::any, &f)) {
        err = f.err;
    } else {
        fd = memfd_create("bbusim-i2c", (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
        if (fd < 0)
            err = errno;
    }
    TranscriptLine line(w->now_us);
    if (fd < 0) {
        line.text(" open %s -> %s", path, errno_name(err).c_str()).emit(*w);
        errno = err;
        return -1;
    }
    drop_claim(fd);
    set_claim(fd, std::make_shared<I2cClient>());
    line.text(" open %s -> %d", path, fd).emit(*w);
    errno = saved;
    return fd;
}

int open_common(int dirfd, const char *path, int flags, mode_t mode)
{
    if (path != nullptr && path[0] == '/') {
        World *w = world();
        if (is_adapter(w, path))
            return open_adapter(w, path, flags);
        if (is_real_adapter_path(path)) {
            errno = ENOENT;
            return -1;
        }
        if (is_machine_path(path)) {
            char mapped[PATH_MAX];
            if (!map_path(path, mapped, sizeof mapped))
                return -1;
            return forget_stale(libc().openat(dirfd, mapped, flags, mode));
        }
    }
    return forget_stale(libc().openat(dirfd, path, flags, mode));
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
    if (path != nullptr && path[0] == '/') {
        World *w = world();
        if (is_adapter(w, path)) {
            int fd = open_adapter(w, path, O_RDWR);
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
        if (is_real_adapter_path(path)) {
            errno = ENOENT;
            return nullptr;
        }
        if (is_machine_path(path)) {
            char mapped[PATH_MAX];
            if (!map_path(path, mapped, sizeof mapped))
                return nullptr;
            return real(mapped, mode);
        }
    }
    return real(path, mode);
}

// An AF_UNIX address naming a machine path, rewritten into the root.
// Returns false (errno set) when it cannot be mapped; *use_mapped tells
// whether `mapped` replaces the caller's address. A mapped path longer than
// sun_path (a deep root) is reached through its directory instead:
// "/proc/self/fd/N/name" with N a descriptor of that directory, which the
// caller closes (`dir_fd`, -1 when none was opened) after bind or connect.
bool map_socket_address(const struct sockaddr *addr, socklen_t len, sockaddr_un &mapped,
                        socklen_t &mapped_len, bool &use_mapped, int &dir_fd)
{
    use_mapped = false;
    dir_fd = -1;
    if (addr == nullptr || len <= offsetof(sockaddr_un, sun_path) || addr->sa_family != AF_UNIX)
        return true;
    const auto *un = reinterpret_cast<const sockaddr_un *>(addr);
    char path[sizeof un->sun_path + 1] = {};
    std::memcpy(path, un->sun_path,
                std::min<std::size_t>(len - offsetof(sockaddr_un, sun_path), sizeof un->sun_path));
    if (path[0] != '/' || !is_machine_path(path))
        return true;
    char full[PATH_MAX];
    if (!map_path(path, full, sizeof full))
        return false;
    mapped = sockaddr_un{};
    mapped.sun_family = AF_UNIX;
    if (std::strlen(full) >= sizeof mapped.sun_path) {
        char *slash = std::strrchr(full, '/');
        *slash = '\0';
        dir_fd = libc().open(full, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0)
            return false;
        int n = std::snprintf(mapped.sun_path, sizeof mapped.sun_path, "/proc/self/fd/%d/%s",
                              dir_fd, slash + 1);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof mapped.sun_path) {
            libc().close(dir_fd);
            dir_fd = -1;
            errno = ENAMETOOLONG;
            return false;
        }
    } else {
        std::strcpy(mapped.sun_path, full);
    }
    mapped_len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(mapped.sun_path) + 1);
    use_mapped = true;
    return true;
}

// Close a helper descriptor (if any) without disturbing the errno of the call it served.
void close_keeping_errno(int fd)
{
    if (fd < 0)
        return;
    int saved = errno;
    libc().close(fd);
    errno = saved;
}

}  // namespace

std::mutex &descriptor_mutex()
{
    static auto *m = new std::mutex();
    return *m;
}

I2cClient *claimed_client(int fd)
{
    auto &t = table();
    if (fd < 0 || static_cast<std::size_t>(fd) >= t.size())
        return nullptr;
    return t[static_cast<std::size_t>(fd)].get();
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
    if (bbusim::g_claimed_fds.load(std::memory_order_relaxed) > 0) {
        std::lock_guard<std::mutex> guard(bbusim::descriptor_mutex());
        if (bbusim::drop_claim(fd)) {
            if (bbusim::World *w = bbusim::world()) {
                bbusim::WorldLock lock(*w);
                bbusim::TranscriptLine(w->now_us).text(" close %d", fd).emit(*w);
            }
        }
    }
    return libc().close(fd);
}

int dup(int fd) noexcept
{
    return bbusim::follow_dup(fd, libc().dup(fd));
}

int dup2(int from, int to) noexcept
{
    int r = libc().dup2(from, to);
    return r >= 0 && from != to ? bbusim::follow_dup(from, r) : r;
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
    sockaddr_un mapped;
    socklen_t mapped_len = 0;
    bool use = false;
    int dir_fd = -1;
    if (!bbusim::map_socket_address(addr, len, mapped, mapped_len, use, dir_fd))
        return -1;
    int r = use ? libc().connect(fd, reinterpret_cast<sockaddr *>(&mapped), mapped_len)
                : libc().connect(fd, addr, len);
    bbusim::close_keeping_errno(dir_fd);
    return r;
}

int bind(int fd, const struct sockaddr *addr, socklen_t len) noexcept
{
    sockaddr_un mapped;
    socklen_t mapped_len = 0;
    bool use = false;
    int dir_fd = -1;
    if (!bbusim::map_socket_address(addr, len, mapped, mapped_len, use, dir_fd))
        return -1;
    int r = use ? libc().bind(fd, reinterpret_cast<sockaddr *>(&mapped), mapped_len)
                : libc().bind(fd, addr, len);
    bbusim::close_keeping_errno(dir_fd);
    return r;
}

int unlink(const char *path) noexcept
{
    if (bbusim::is_machine_path(path)) {
        char mapped[PATH_MAX];
        if (!bbusim::map_path(path, mapped, sizeof mapped))
            return -1;
        return libc().unlink(mapped);
    }
    return libc().unlink(path);
}

int access(const char *path, int mode) noexcept
{
    if (bbusim::is_machine_path(path)) {
        char mapped[PATH_MAX];
        if (!bbusim::map_path(path, mapped, sizeof mapped))
            return -1;
        return libc().access(mapped, mode);
    }
    return libc().access(path, mode);
}

}  // extern "C"
