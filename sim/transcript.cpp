// transcript.cpp - open the transcript, append its lines, name errno values.
#include "transcript.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libc_calls.h"

namespace bbusim {
namespace {

// A line's large buffer, whole pages.
constexpr std::size_t kBigSize = (TranscriptLine::kMax + 4095) & ~std::size_t{4095};

// The large buffer this process keeps between lines. Taken and given back
// with atomic exchanges: a signal handler or another thread that finds it
// taken maps a buffer of its own for its line. No lock, no malloc.
std::atomic<char *> g_spare{nullptr};

// Set only by in-process tests, before the events they observe.
std::atomic<LineObserver> g_observer{nullptr};
std::atomic<void *> g_observer_context{nullptr};

char *take_big_buffer()
{
    if (char *p = g_spare.exchange(nullptr))
        return p;
    void *m = mmap(nullptr, kBigSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return m == MAP_FAILED ? nullptr : static_cast<char *>(m);
}

void give_back_big_buffer(char *p)
{
    char *none = nullptr;
    if (!g_spare.compare_exchange_strong(none, p))
        munmap(p, kBigSize);
}

// Transcript files are opened with O_NONBLOCK, so that opening a FIFO never
// waits; writing to them may wait, as any program's output does.
void let_writes_wait(int fd)
{
    libc().fcntl(fd, F_SETFL, O_APPEND);
}

// True when fd is open on the world's transcript file.
bool is_transcript(int fd, const World &w)
{
    struct stat st {};
    return fd >= 0 && fstat(fd, &st) == 0 && st.st_dev == w.transcript_dev &&
           st.st_ino == w.transcript_ino;
}

// The transcript reopened by name for a process that no longer has the
// descriptor the launcher handed down: only when the name still leads to the
// same file without a symbolic link; -1 otherwise.
int reopen_transcript(const World &w)
{
    int fd = libc().open(w.transcript,
                         O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 && !is_transcript(fd, w)) {
        libc().close(fd);
        return -1;
    }
    if (fd >= 0)
        let_writes_wait(fd);
    return fd;
}

}  // namespace

TranscriptLine::TranscriptLine(std::uint64_t t_us)
{
    text("%llu.%06llu", static_cast<unsigned long long>(t_us / 1000000),
         static_cast<unsigned long long>(t_us % 1000000));
}

TranscriptLine::~TranscriptLine()
{
    if (buf_ != inline_)
        give_back_big_buffer(buf_);
}

bool TranscriptLine::reserve(std::size_t more)
{
    if (more < kMax && n_ + more < cap_)
        return true;
    if (buf_ != inline_ || more >= kMax || n_ + more >= kMax)
        return false;
    char *big = take_big_buffer();
    if (big == nullptr)
        return false;
    std::memcpy(big, inline_, n_);
    buf_ = big;
    cap_ = kMax;
    return true;
}

TranscriptLine &TranscriptLine::text(const char *fmt, ...)
{
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    int r = std::vsnprintf(buf_ + n_, cap_ - n_, fmt, ap);
    if (r > 0 && n_ + static_cast<std::size_t>(r) >= cap_ && reserve(static_cast<std::size_t>(r)))
        r = std::vsnprintf(buf_ + n_, cap_ - n_, fmt, again);
    va_end(again);
    va_end(ap);
    if (r > 0)  // a text cut short keeps what fitted, room for the newline left
        n_ += std::min<std::size_t>(static_cast<std::size_t>(r), cap_ - 1 - n_);
    return *this;
}

TranscriptLine &TranscriptLine::bytes(const std::uint8_t *p, std::size_t n)
{
    static constexpr char kHex[] = "0123456789abcdef";
    reserve(n < kMax / 3 ? 3 * n : kMax);  // when it fails the bytes that fit are kept
    for (std::size_t i = 0; i < n && n_ + 3 < cap_; ++i) {
        buf_[n_++] = ' ';
        buf_[n_++] = kHex[p[i] >> 4];
        buf_[n_++] = kHex[p[i] & 0x0f];
    }
    return *this;
}

void TranscriptLine::emit(const World &w)
{
    buf_[n_++] = '\n';
    const int saved = errno;
    int fd = w.transcript_fd;
    int reopened = -1;
    if (!is_transcript(fd, w))
        fd = reopened = reopen_transcript(w);
    if (fd >= 0) {
        // One write, retried only when a signal came before any byte went.
        while (libc().write(fd, buf_, n_) < 0 && errno == EINTR) {
        }
    }
    if (reopened >= 0)
        libc().close(reopened);
    if (const LineObserver observer = g_observer.load())
        observer(std::string_view(buf_, n_ - 1), g_observer_context.load());
    errno = saved;
}

void set_line_observer(LineObserver observer, void *context)
{
    g_observer_context.store(context);
    g_observer.store(observer);
}

int open_transcript(int root_fd, const std::string &root, const std::string &path,
                    std::string &name, std::string &err)
{
    constexpr int kFlags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const bool in_root = path.empty();
    const std::string shown =
        "transcript " + (in_root ? printable(root) + "/" + kTranscriptFileName : printable(path));
    bool through_link = false;
    int fd = in_root
                 ? libc().openat(root_fd, kTranscriptFileName, kFlags | O_CREAT | O_NOFOLLOW, 0666)
                 : libc().open(path.c_str(), kFlags | O_CREAT | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == ELOOP && !in_root) {
        through_link = true;  // the user's own link: followed, never created nor emptied
        fd = libc().open(path.c_str(), kFlags);
    }
    struct stat st {};
    if (fd < 0) {
        const int saved = errno;
        if (saved == ELOOP)
            err = shown + " is a symbolic link: refused";
        else if (saved == ENXIO && stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
            err = shown + " is a FIFO that no process reads: refused";
        else
            err = "cannot open " + shown + ": " + std::strerror(saved);
        return -1;
    }
    const char *refused = nullptr;
    if (fstat(fd, &st) != 0)
        refused = std::strerror(errno);
    else if (S_ISREG(st.st_mode))
        refused = !through_link && ftruncate(fd, 0) != 0 ? std::strerror(errno) : nullptr;
    else if (in_root || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)))
        refused = "not a regular file, FIFO or character device";
    if (refused != nullptr) {
        err = "cannot use " + shown + ": " + refused;
        libc().close(fd);
        return -1;
    }
    let_writes_wait(fd);

    char link[kPathMax];
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof link && link[0] == '/')
        name.assign(link, static_cast<std::size_t>(n));
    else
        name = in_root ? root + "/" + kTranscriptFileName : path;
    return fd;
}

std::string errno_name(int err)
{
    const char *name = strerrorname_np(err);
    return name != nullptr ? name : std::to_string(err);
}

int errno_from_name(const std::string &name)
{
    if (name.empty())
        return 0;
    if (name.find_first_not_of("0123456789") == std::string::npos) {
        long v = std::strtol(name.c_str(), nullptr, 10);
        return v > 0 && v < 4096 ? static_cast<int>(v) : 0;
    }
    for (int e = 1; e < 4096; ++e) {
        const char *n = strerrorname_np(e);
        if (n != nullptr && name == n)
            return e;
    }
    return 0;
}

}  // namespace bbusim
