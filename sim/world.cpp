// world.cpp - create, map and lock the shared world file.
#include "world.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "libc_calls.h"

namespace bbusim {
namespace {

std::atomic<World *> g_world{nullptr};
std::atomic<bool> g_env_checked{false};
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
    int fd = libc().open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    World *w = nullptr;
    if (fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) >= sizeof(World))
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

}  // namespace

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

std::string world_create(const std::string &root, const std::string &transcript)
{
    if (root.empty() || root.size() >= kPathMax - 64)
        return "root directory name empty or too long";
    // ROOT/tmp receives the daemon socket's mapped path.
    if (!make_dirs(root + "/tmp"))
        return "cannot create root directory " + root + ": " + std::strerror(errno);
    std::string transcript_path =
        transcript.empty() ? root + "/" + kTranscriptFileName : transcript;
    if (transcript_path.size() >= kPathMax)
        return "transcript file name too long";

    // Build the new world beside the old file and rename it into place, so a
    // process still mapping an older world of this root is not disturbed.
    std::string path = root + "/" + kWorldFileName;
    std::string tmp = path + "." + std::to_string(getpid());
    int fd = libc().open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return "cannot create " + tmp + ": " + std::strerror(errno);
    World *w = nullptr;
    if (ftruncate(fd, sizeof(World)) == 0)
        w = map_world_fd(fd);
    int saved = errno;
    libc().close(fd);
    if (w == nullptr) {
        libc().unlink(tmp.c_str());
        return "cannot map " + tmp + ": " + std::strerror(saved);
    }

    std::memset(static_cast<void *>(w), 0, sizeof(World));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&w->lock, &attr);
    pthread_mutexattr_destroy(&attr);
    copy_path(w->root, sizeof w->root, root);
    copy_path(w->transcript, sizeof w->transcript, transcript_path);
    world_defaults(*w, real_wall_us());
    w->magic = kWorldMagic;
    w->version = kWorldVersion;

    if (rename(tmp.c_str(), path.c_str()) != 0) {
        saved = errno;
        munmap(w, sizeof(World));
        libc().unlink(tmp.c_str());
        return "cannot create " + path + ": " + std::strerror(saved);
    }
    int tfd = libc().open(transcript_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (tfd < 0) {
        saved = errno;
        munmap(w, sizeof(World));
        return "cannot create transcript " + transcript_path + ": " + std::strerror(saved);
    }
    libc().close(tfd);

    g_env_checked.store(true);
    install(w);
    return "";
}

World *world()
{
    World *w = g_world.load(std::memory_order_acquire);
    if (w != nullptr || g_env_checked.load(std::memory_order_acquire))
        return w;
    std::lock_guard<std::mutex> guard(g_attach_mutex);
    if (!g_env_checked.load()) {
        World *attached = attach_from_env();
        if (attached != nullptr)
            install(attached);
        g_env_checked.store(true, std::memory_order_release);
    }
    return g_world.load(std::memory_order_acquire);
}

void world_detach()
{
    g_env_checked.store(true);
    install(nullptr);
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

WorldLock::WorldLock(World &w) : w_(w)
{
    // A process that died holding the lock leaves the world as it was after
    // its last complete step; carry on with it.
    if (pthread_mutex_lock(&w_.lock) == EOWNERDEAD)
        pthread_mutex_consistent(&w_.lock);
}

WorldLock::~WorldLock()
{
    pthread_mutex_unlock(&w_.lock);
}

}  // namespace bbusim
