// snapshot.cpp - saving the world as a cut at this point would leave it.
#include "snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "devices.h"
#include "interposer.h"
#include "libc_calls.h"

namespace bbusim {
namespace {

// The events of this process so far, counted as the cut faults count them.
std::uint64_t g_messages = 0;
std::uint64_t g_pauses = 0;

const char *snapshot_dir()
{
    static const char *const dir = std::getenv(kEnvSnapshotDir);
    return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

// Writes `w` into DIR/KIND.WHERE.N when that file is there (asked for).
void save(const World &w, const char *dir, const char *kind, const char *where, std::uint64_t n)
{
    char path[kPathMax];
    const int len = std::snprintf(path, sizeof path, "%s/%s.%s.%llu", dir, kind, where,
                                  static_cast<unsigned long long>(n));
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof path)
        return;
    const int fd = libc().open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    const auto *bytes = reinterpret_cast<const char *>(&w);
    std::size_t done = 0;
    while (done < sizeof(World)) {
        const ssize_t n = libc().write(fd, bytes + done, sizeof(World) - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // a short file: the sweep finds it is not a world
        done += static_cast<std::size_t>(n);
    }
    libc().close(fd);
}

// The world after a cut `part` microseconds from now: a power cut takes what
// does not survive it; a crash leaves the devices as they are. The copy is
// this process's own: the run's world is not touched. The process a cut
// ends lets go of the world first, its update finished, so the copy holds
// no update under way.
void save_cuts(const World &w, const char *where, std::uint64_t n, std::uint64_t part)
{
    const char *dir = snapshot_dir();
    if (dir == nullptr)
        return;
    static World copy;
    copy = w;
    copy.journal.open = 0;
    advance_clock(copy, part);
    save(copy, dir, "crash", where, n);
    copy = w;
    copy.journal.open = 0;
    power_cut(copy, virtual_now_us(w) + part);
    advance_clock(copy, part);
    save(copy, dir, "power-cut", where, n);
}

}  // namespace

void snapshot_before_message(const World &w)
{
    save_cuts(w, "any", g_messages++, 0);
}

void snapshot_before_pause(const World &w, std::uint64_t us)
{
    save_cuts(w, "sleep", g_pauses++, us / 2);
}

}  // namespace bbusim
