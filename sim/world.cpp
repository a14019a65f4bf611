// world.cpp - open and lock a run's root, create, map and lock the shared
// world file.
#include "world.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "devices.h"
#include "libc_calls.h"
#include "transcript.h"

namespace bbusim {
namespace {

std::atomic<World *> g_world{nullptr};
std::atomic<bool> g_env_checked{false};
std::atomic<bool> g_from_env{false};
std::mutex g_attach_mutex;

std::int64_t real_wall_us()
{
    timespec ts{};
    libc().clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void copy_path(char *dst, std::size_t cap, const std::string &src)
{
    std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

World *map_world_fd(int fd)
{
    void *p = mmap(nullptr, sizeof(World), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? nullptr : static_cast<World *>(p);
}

// Map the world named by the launcher's environment variable, if any.
World *attach_from_env()
{
    const char *path = std::getenv(kEnvWorld);
    if (path == nullptr || *path == '\0')
        return nullptr;
    int fd = libc().open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    World *w = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) >= sizeof(World))
        w = map_world_fd(fd);
    libc().close(fd);
    if (w != nullptr && (w->magic != kWorldMagic || w->version != kWorldVersion)) {
        munmap(w, sizeof(World));
        w = nullptr;
    }
    return w;
}

void install(World *w)
{
    World *old = g_world.exchange(w);
    if (old != nullptr && old != w)
        munmap(old, sizeof(World));
}

// The world file a run left in the root, read whole into `out`: false with
// `err` empty when there is none, false with `err` when it cannot be used.
bool read_kept_world(int root_fd, const std::string &shown, World &out, std::string &err)
{
    int fd = libc().openat(root_fd, kWorldFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            err = "cannot keep " + shown + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::size_t>(st.st_size) == sizeof(World);
    auto *bytes = reinterpret_cast<char *>(&out);
    std::size_t got = 0;
    while (ok && got < sizeof(World)) {
        const ssize_t n = pread(fd, bytes + got, sizeof(World) - got, static_cast<off_t>(got));
        if (n <= 0 && errno == EINTR)
            continue;
        ok = n > 0;
        got += ok ? static_cast<std::size_t>(n) : 0;
    }
    libc().close(fd);
    if (!ok || out.magic != kWorldMagic || out.version != kWorldVersion) {
        err = "cannot keep " + shown +
              ": not a world of this bbusim version (remove it, or run without --keep)";
        return false;
    }
    return true;
}

// What a kept world carries into the new run: the devices, their settings
// and the clock. Faults, adapters and the run's options are the new run's.
void carry_devices(World &w, const World &kept)
{
    w.now_us = kept.now_us;
    w.wall_offset_us = kept.wall_offset_us;
    std::memcpy(w.absent, kept.absent, sizeof w.absent);
    w.bbu = kept.bbu;
    w.eeprom = kept.eeprom;
    w.rtc = kept.rtc;
    w.bus_clock_hz = kept.bus_clock_hz;
    w.choices = kept.choices;
    w.powered_off = kept.powered_off;
}

// A new world file `tmp` in the root, sized and mapped; null with `err`.
World *map_new_world(int root_fd, const std::string &tmp, const std::string &shown,
                     std::string &err)
{
    unlinkat(root_fd, tmp.c_str(), 0);
    int fd = libc().openat(root_fd, tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           0600);
    if (fd < 0) {
        err = "cannot create world file " + shown + ": " + std::strerror(errno);
        return nullptr;
    }
    World *w = nullptr;
    if (ftruncate(fd, sizeof(World)) == 0)
        w = map_world_fd(fd);
    const int saved = errno;
    libc().close(fd);
    if (w == nullptr) {
        unlinkat(root_fd, tmp.c_str(), 0);
        err = "cannot write world file " + shown + ": " + std::strerror(saved);
    }
    return w;
}

// An emptied world and its lock: robust and shared by the run's processes.
void init_lock(World &w)
{
    std::memset(static_cast<void *>(&w), 0, sizeof(World));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&w.lock, &attr);
    pthread_mutexattr_destroy(&attr);
}

}  // namespace

bool world_is_commands()
{
    return g_from_env.load();
}

std::string world_attach(const std::string &root)
{
    const std::string path = root + "/" + kWorldFileName;
    int fd = libc().open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "cannot open " + printable(path) + ": " + std::strerror(errno);
    struct stat st {};
    World *w = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) == sizeof(World))
        w = map_world_fd(fd);
    libc().close(fd);
    if (w == nullptr || w->magic != kWorldMagic || w->version != kWorldVersion) {
        if (w != nullptr)
            munmap(w, sizeof(World));
        return printable(path) + " is not a world of this bbusim version";
    }
    g_env_checked.store(true);
    install(w);
    return "";
}

bool make_dirs(const std::string &path)
{
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int open_root(const std::string &given, bool private_root, std::string &err)
{
    std::string root = given;
    while (root.size() > 1 && root.back() == '/')  // "dir/" would follow a link named dir
        root.pop_back();
    const std::string what = (private_root ? "default root " : "root ") + printable(root);
    if (root.empty() || root.size() >= kPathMax - 64) {
        err = "root directory name empty or too long";
        return -1;
    }
    const std::string parent = root.substr(0, root.rfind('/'));
    if (!private_root && !parent.empty() && !make_dirs(parent)) {
        err = "cannot create " + printable(parent) + ": " + std::strerror(errno);
        return -1;
    }
    if (mkdir(root.c_str(), private_root ? 0700 : 0777) != 0 && errno != EEXIST) {
        err = "cannot create " + what + ": " + std::strerror(errno);
        return -1;
    }
    int fd = libc().open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) {
        const int saved = errno;
        if (lstat(root.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            err = what + " is a symbolic link: refused";
        else if (saved == ENOTDIR)
            err = what + " is not a directory";
        else
            err = "cannot open " + what + ": " + std::strerror(saved);
        return -1;
    }
    if (private_root && fstat(fd, &st) == 0 &&
        (st.st_uid != geteuid() || (st.st_mode & 077) != 0)) {
        char why[96];
        if (st.st_uid != geteuid())
            std::snprintf(why, sizeof why, "belongs to uid %u, not to this user (uid %u)",
                          static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
        else
            std::snprintf(why, sizeof why, "has mode %04o: group and others must have no access",
                          static_cast<unsigned>(st.st_mode & 07777));
        err = what + " " + why + "; refused (remove it, or give --root DIR)";
        libc().close(fd);
        return -1;
    }
    return fd;
}

int lock_root(int root_fd, const std::string &root, std::string &err)
{
    int fd = libc().openat(root_fd, kLockFileName,
                           O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        err = "cannot use lock file " + printable(root) + "/" + kLockFileName + ": " +
              (fd < 0 ? std::strerror(errno) : "not a regular file");
        if (fd >= 0)
            libc().close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        err = saved == EWOULDBLOCK
                  ? "root " + printable(root) +
                        " is in use by another bbusim run; give each run its own --root"
                  : "cannot lock root " + printable(root) + ": " + std::strerror(saved);
        libc().close(fd);
        return -1;
    }
    return fd;
}

std::string world_create(int root_fd, const std::string &root, int transcript_fd,
                         const std::string &transcript_name, bool keep)
{
    struct stat st {};
    // ROOT/tmp receives the daemon socket's mapped path.
    if (mkdirat(root_fd, "tmp", 0777) != 0 && errno != EEXIST)
        return "cannot create " + printable(root) + "/tmp: " + std::strerror(errno);
    if (fstatat(root_fd, "tmp", &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode))
        return printable(root) + "/tmp is " +
               (S_ISLNK(st.st_mode) ? "a symbolic link: refused" : "not a directory");
    struct stat tst {};
    if (transcript_name.size() >= kPathMax || fstat(transcript_fd, &tst) != 0)
        return "transcript name too long or transcript not open";

    const std::string shown = printable(root) + "/" + kWorldFileName;
    auto kept = std::make_unique<World>();
    std::string err;
    const bool keeping = keep && read_kept_world(root_fd, shown, *kept, err);
    if (!err.empty())
        return err;
    // Build the new world beside the old file and rename it into place, so a
    // process still mapping an older world of this root is not disturbed. A
    // leftover of a run that died with this process id is removed first.
    const std::string tmp = std::string(kWorldFileName) + "." + std::to_string(getpid());
    World *w = map_new_world(root_fd, tmp, shown, err);
    if (w == nullptr)
        return err;

    init_lock(*w);
    copy_path(w->root, sizeof w->root, root);
    copy_path(w->transcript, sizeof w->transcript, transcript_name);
    w->transcript_dev = tst.st_dev;
    w->transcript_ino = tst.st_ino;
    w->transcript_fd = -1;
    world_defaults(*w, real_wall_us());
    if (keeping)
        carry_devices(*w, *kept);
    w->run_start_us = w->now_us;
    if (w->powered_off != 0)
        power_up(*w);
    w->magic = kWorldMagic;
    w->version = kWorldVersion;

    if (renameat(root_fd, tmp.c_str(), root_fd, kWorldFileName) != 0) {
        const int saved = errno;
        munmap(w, sizeof(World));
        unlinkat(root_fd, tmp.c_str(), 0);
        return "cannot create world file " + shown + ": " + std::strerror(saved);
    }
    g_env_checked.store(true);
    install(w);
    return "";
}

std::string world_create(const std::string &root, const std::string &transcript)
{
    std::string err;
    int root_fd = open_root(root, false, err);
    if (root_fd < 0)
        return err;
    std::string name;
    int transcript_fd = open_transcript(root_fd, root, transcript, name, err);
    if (transcript_fd >= 0) {
        err = world_create(root_fd, root, transcript_fd, name);
        libc().close(transcript_fd);
    }
    libc().close(root_fd);
    return err;
}

World *world()
{
    World *w = g_world.load(std::memory_order_acquire);
    if (w != nullptr || g_env_checked.load(std::memory_order_acquire))
        return w;
    std::lock_guard<std::mutex> guard(g_attach_mutex);
    if (!g_env_checked.load()) {
        World *attached = attach_from_env();
        if (attached != nullptr) {
            install(attached);
            g_from_env.store(true);
        }
        g_env_checked.store(true, std::memory_order_release);
    }
    return g_world.load(std::memory_order_acquire);
}

bool claim_adapter_path(World &w, const std::string &path)
{
    if (is_claimed_path(w, path.c_str()))
        return true;
    if (path.empty() || path.size() >= kAdapterPathMax || w.adapter_count >= kMaxAdapters)
        return false;
    copy_path(w.adapters[w.adapter_count++], kAdapterPathMax, path);
    return true;
}

bool is_claimed_path(const World &w, const char *path)
{
    for (std::uint32_t i = 0; i < w.adapter_count && i < kMaxAdapters; ++i)
        if (std::strcmp(w.adapters[i], path) == 0)
            return true;
    return false;
}

namespace {

// The parts of the world that an update may change and that the journal
// saves: from the absent table through the replay's position, but for the
// flash (saved range by range as it is written) and the replay's message.
struct Span {
    std::size_t at, len;
};
constexpr std::size_t kFlashAt = offsetof(World, bbu) + offsetof(Bbu, flash);
constexpr std::size_t kMessageAt = offsetof(World, replay) + offsetof(Replay, message);
constexpr Span kSaved[] = {
    {offsetof(World, absent), kFlashAt - offsetof(World, absent)},
    {kFlashAt + kFlashLen, kMessageAt - kFlashAt - kFlashLen},
    {kMessageAt + kReplayMessageMax, offsetof(World, journal) - kMessageAt - kReplayMessageMax},
};
static_assert(kSaved[0].len + kSaved[1].len + kSaved[2].len <= kJournalSaveMax);

// Stores before this point are in the mapping before those after it, as a
// process killed between them leaves it (one thread: the compiler's order).
void in_order()
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void journal_begin(World &w)
{
    auto *bytes = reinterpret_cast<std::uint8_t *>(&w);
    std::size_t off = 0;
    for (const Span &s : kSaved) {
        std::memcpy(w.journal.saved + off, bytes + s.at, s.len);
        off += s.len;
    }
    w.journal.flash_saved = 0;
    in_order();
    w.journal.open = 1;
    in_order();
}

}  // namespace

void world_commit(World &w)
{
    in_order();
    w.journal.open = 0;
    in_order();
}

void world_roll_back(World &w)
{
    Journal &j = w.journal;
    if (j.open == 0)
        return;
    auto *bytes = reinterpret_cast<std::uint8_t *>(&w);
    std::size_t off = 0;
    for (const Span &s : kSaved) {
        std::memcpy(bytes + s.at, j.saved + off, s.len);
        off += s.len;
    }
    if (j.flash_saved != 0 && j.flash_at <= kFlashLen && j.flash_len <= kFlashLen - j.flash_at)
        std::memcpy(w.bbu.flash + j.flash_at, j.flash + j.flash_at, j.flash_len);
    world_commit(w);
}

std::uint8_t *flash_bytes(World &w, std::size_t at, std::size_t n)
{
    Journal &j = w.journal;
    if (j.open == 0 || n == 0)
        return w.bbu.flash + at;
    if (j.flash_saved == 0) {
        std::memcpy(j.flash + at, w.bbu.flash + at, n);
        j.flash_at = static_cast<std::uint32_t>(at);
        j.flash_len = static_cast<std::uint32_t>(n);
        in_order();
        j.flash_saved = 1;
        in_order();
    } else if (at < j.flash_at || at + n > j.flash_at + j.flash_len) {
        // A second range widens the saved one to the whole flash. The bytes
        // outside the first range are still as they were; the first range's
        // originals stay where they are, so any range restored meanwhile
        // holds originals only.
        std::memcpy(j.flash, w.bbu.flash, j.flash_at);
        const std::size_t end = std::size_t{j.flash_at} + j.flash_len;
        std::memcpy(j.flash + end, w.bbu.flash + end, kFlashLen - end);
        in_order();
        j.flash_at = 0;
        j.flash_len = kFlashLen;
        in_order();
    }
    return w.bbu.flash + at;
}

WorldLock::WorldLock(World &w) : w_(w)
{
    // A process that died holding the lock may have left an update half
    // made: put it back, then carry on.
    if (pthread_mutex_lock(&w_.lock) == EOWNERDEAD) {
        world_roll_back(w_);
        pthread_mutex_consistent(&w_.lock);
    }
    journal_begin(w_);
}

WorldLock::~WorldLock()
{
    world_commit(w_);
    pthread_mutex_unlock(&w_.lock);
}

std::string printable(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

}  // namespace bbusim
