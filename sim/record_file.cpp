// record_file.cpp - the recording file: opening it, its header, handing it
// down to the command's processes, and appending its lines.
//
// The recorder's own file work uses the system calls themselves: inside the
// recorder the C library's names lead back to the recorder (or to the
// simulator behind it), and a line must be written from a signal handler too.
#include "record.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace bbusim {
namespace {

// Descriptors handed down sit at or above this number, clear of the low
// numbers programs expect to get from open().
constexpr int kHandDownFd = 100;

bool is_recording(int fd, const RecordTarget &target)
{
    struct stat st {};
    return fd >= 0 && fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_dev) == target.dev &&
           static_cast<std::uint64_t>(st.st_ino) == target.ino;
}

// The recording reopened by name for a process that no longer has the
// descriptor (a program closed it): only the very same file, never through a
// symbolic link; -1 otherwise.
int reopen_recording(const RecordTarget &target)
{
    if (target.file[0] != '/')
        return -1;
    const int fd = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, target.file,
                O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
    if (fd >= 0 && !is_recording(fd, target)) {
        syscall(SYS_close, fd);
        return -1;
    }
    return fd;
}

// A word of the command as a shell would read it back: plain when it holds
// only characters no shell treats specially, otherwise in single quotes (a
// quote inside as '\''). Bytes outside printable ASCII show as \xNN.
std::string quoted_word(const std::string &word)
{
    static constexpr char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                     "0123456789_./=:,+@%^-";
    std::string body;
    for (unsigned char c : word) {
        char hex[8];
        if (c == '\'') {
            body += "'\\''";
        } else if (c < 0x20 || c > 0x7e) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            body += hex;
        } else {
            body += static_cast<char>(c);
        }
    }
    if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos)
        return word;
    return "'" + body + "'";
}

// The machine's name, bytes outside printable ASCII as \xNN.
std::string host_name()
{
    struct utsname u {};
    if (uname(&u) != 0)
        return "unknown";
    std::string out;
    for (const char *p = u.nodename; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        out += c >= 0x20 && c <= 0x7e ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

}  // namespace

RecordLine::RecordLine(std::uint64_t t_us, std::size_t bytes)
{
    // A path's bytes or a transfer's (at most four characters each) and the
    // words around them.
    const std::size_t need = 4 * bytes + 160;
    if (need > kInline) {
        void *m = mmap(nullptr, need, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m != MAP_FAILED) {
            buf_ = static_cast<char *>(m);
            cap_ = mapped_ = need;
        }
    }
    text("%" PRIu64 ".%06" PRIu64, t_us / 1000000, t_us % 1000000);
}

RecordLine::~RecordLine()
{
    if (mapped_ > 0)
        munmap(buf_, mapped_);
}

RecordLine &RecordLine::text(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int r = std::vsnprintf(buf_ + n_, cap_ - n_, fmt, ap);
    va_end(ap);
    if (r > 0)  // a text cut short keeps what fitted, room for the newline left
        n_ += std::min(static_cast<std::size_t>(r), cap_ - 1 - n_);
    return *this;
}

RecordLine &RecordLine::bytes(const std::uint8_t *p, std::size_t n)
{
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n && n_ + 4 < cap_; ++i) {
        buf_[n_++] = ' ';
        buf_[n_++] = kHex[p[i] >> 4];
        buf_[n_++] = kHex[p[i] & 0x0f];
    }
    return *this;
}

RecordLine &RecordLine::path(const char *p)
{
    for (; *p != '\0' && n_ + 6 < cap_; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c > 0x20 && c < 0x7f && c != '\\')
            buf_[n_++] = static_cast<char>(c);
        else
            n_ += static_cast<std::size_t>(std::snprintf(buf_ + n_, cap_ - n_, "\\x%02x", c));
    }
    return *this;
}

void RecordLine::emit(const RecordTarget &target)
{
    buf_[n_++] = '\n';
    const int saved = errno;
    int fd = target.fd;
    int reopened = -1;
    if (!is_recording(fd, target))
        fd = reopened = reopen_recording(target);
    // One write, retried only when a signal came before any byte went.
    while (fd >= 0 && syscall(SYS_write, fd, buf_, n_) < 0 && errno == EINTR) {
    }
    if (reopened >= 0)
        syscall(SYS_close, reopened);
    errno = saved;
}

std::uint64_t monotonic_now_us()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

// A whole decimal number of at most 19 digits; false for anything else.
bool decimal(std::string_view text, unsigned long long &value)
{
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

void read_record_target(RecordTarget &target)
{
    target.fd = -1;
    const char *fd = std::getenv(kEnvRecordFd);
    const char *id = std::getenv(kEnvRecordId);
    const char *start = std::getenv(kEnvRecordStart);
    const char *file = std::getenv(kEnvRecordFile);
    if (fd == nullptr || id == nullptr || start == nullptr)
        return;
    unsigned long long dev = 0, ino = 0, t = 0, n = 0;
    const char *colon = std::strchr(id, ':');
    if (colon == nullptr ||
        !decimal(std::string_view(id, static_cast<std::size_t>(colon - id)), dev) ||
        !decimal(colon + 1, ino) || !decimal(start, t) || !decimal(fd, n) || n > INT_MAX)
        return;
    target = {static_cast<int>(n), dev, ino, t, {}};
    if (file != nullptr && std::strlen(file) < sizeof target.file)
        std::memcpy(target.file, file, std::strlen(file) + 1);
}

std::string record_header(const std::vector<std::string> &command, std::string_view version,
                          bool redacted)
{
    char when[32] = "unknown";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc) != nullptr)
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string words;
    for (const std::string &w : command)
        words += (words.empty() ? "" : " ") + quoted_word(w);
    return "# bbusim recording 1\n# recorded: " + std::string(when) + "\n# host: " + host_name() +
           "\n# command: " + words + "\n# versions: bbusim " + std::string(version) +
           "\n# redacted: " + (redacted ? kRedactedWhat : "no") + "\n";
}

int open_recording(const std::string &path, std::string &err)
{
    // O_NONBLOCK: opening a FIFO must not wait for a reader before it is refused.
    const int fd =
        open(path.c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    // A FIFO without a reader (or a socket) fails with ENXIO, a directory with EISDIR.
    if (fd < 0) {
        err = errno == ELOOP                      ? "it is a symbolic link"
              : errno == ENXIO || errno == EISDIR ? "it is not a regular file"
                                                  : std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = "it is not a regular file";
    } else if (ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, O_APPEND) != 0) {
        err = std::strerror(errno);
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

RecordTarget hand_down_recording(int fd, const std::string &path)
{
    const int handed = fcntl(fd, F_DUPFD, kHandDownFd);  // F_DUPFD: not close-on-exec
    if (handed >= 0)
        close(fd);
    else
        fcntl(fd, F_SETFD, 0);
    RecordTarget target;
    target.fd = handed >= 0 ? handed : fd;
    struct stat st {};
    fstat(target.fd, &st);
    target.dev = static_cast<std::uint64_t>(st.st_dev);
    target.ino = static_cast<std::uint64_t>(st.st_ino);
    target.start_us = monotonic_now_us();
    char name[1024];
    const std::string proc = "/proc/self/fd/" + std::to_string(target.fd);
    const ssize_t n = readlink(proc.c_str(), name, sizeof name - 1);
    const std::string file =
        n > 0 && name[0] == '/' ? std::string(name, static_cast<std::size_t>(n)) : path;
    if (file.size() < sizeof target.file)
        std::memcpy(target.file, file.c_str(), file.size() + 1);
    setenv(kEnvRecordFd, std::to_string(target.fd).c_str(), 1);
    setenv(kEnvRecordFile, target.file, 1);
    setenv(kEnvRecordId, (std::to_string(target.dev) + ":" + std::to_string(target.ino)).c_str(),
           1);
    setenv(kEnvRecordStart, std::to_string(target.start_us).c_str(), 1);
    return target;
}

}  // namespace bbusim
