// replay.cpp - match the program's requests with the recording's, answer
// them from it, and say where the two first differ.
//
// Runs inside the interposed calls, with the world's lock held: no memory is
// allocated, the message is built in the world itself.
#include "replay.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interposer.h"
#include "libc_calls.h"
#include "transcript.h"

namespace bbusim {
namespace {

// The run's table, mapped once per process (until release_replay_table()).
std::atomic<const ReplayTable *> g_table{nullptr};

// The table's bytes: its header, its entries and its pool.
std::size_t table_size(const ReplayTable &t)
{
    return sizeof(ReplayTable) + std::size_t{t.count} * sizeof(ReplayEntry) + t.pool_len;
}

const ReplayTable *map_table(const World &w)
{
    if (const ReplayTable *t = g_table.load())
        return t;
    char path[kPathMax + 32];
    std::snprintf(path, sizeof path, "%s/%s", w.root, kReplayFileName);
    const int fd = libc().open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    void *p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::size_t>(st.st_size) >= sizeof(ReplayTable))
        p = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    libc().close(fd);
    if (p == MAP_FAILED)
        return nullptr;
    const auto *t = static_cast<const ReplayTable *>(p);
    if (t->magic != kReplayMagic || table_size(*t) != static_cast<std::size_t>(st.st_size)) {
        munmap(p, static_cast<std::size_t>(st.st_size));
        return nullptr;
    }
    g_table.store(t);
    return t;
}

const ReplayEntry *entries(const ReplayTable &t)
{
    return reinterpret_cast<const ReplayEntry *>(&t + 1);
}

// `len` bytes of the pool from `at`; null when they are not all inside it.
const char *pool(const ReplayTable &t, std::uint32_t at, std::uint32_t len)
{
    if (at > t.pool_len || len > t.pool_len - at)
        return nullptr;
    return reinterpret_cast<const char *>(entries(t) + t.count) + at;
}

// Text appended to a fixed buffer, cut short when it is full.
class Text {
public:
    Text(char *buf, std::size_t cap) : buf_(buf), cap_(cap) {}
    Text &add(const char *s, std::size_t n)
    {
        n = s == nullptr ? 0 : std::min(n, cap_ - 1 - n_);
        std::memcpy(buf_ + n_, s, n);
        n_ += n;
        buf_[n_] = '\0';
        return *this;
    }
    Text &add(const char *s)
    {
        return add(s, std::strlen(s));
    }
    Text &format(const char *fmt, unsigned long long v)
    {
        char num[32];
        const int n = std::snprintf(num, sizeof num, fmt, v);
        return add(num, static_cast<std::size_t>(std::max(n, 0)));
    }
    Text &bytes(const std::uint8_t *p, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i)
            format(" %02llx", p[i]);
        return *this;
    }

private:
    char *buf_;
    std::size_t cap_;
    std::size_t n_ = 0;
};

// The request as the recording's line would show it, without its result.
void describe(Text &m, const ReplayRequest &r)
{
    switch (r.kind) {
    case ReplayKind::open:
        m.add("open ").add(r.name);
        break;
    case ReplayKind::close:
        m.format("close %llu", r.number);
        break;
    case ReplayKind::write:
        m.format("write 0x%02llx", r.addr).format(" %llu", r.len);
        if (r.len > 0)
            m.add(" :").bytes(r.bytes, r.len);
        break;
    case ReplayKind::read:
        m.format("read 0x%02llx", r.addr).format(" %llu", r.len);
        break;
    case ReplayKind::ioctl:
        m.add("ioctl ").add(r.name);
        break;
    case ReplayKind::sleep:
        m.format("sleep %llu", r.number);
        break;
    }
}

// The replay ends at entry `at` (count: past the last request): the request
// `got` (null: the end of the command) is not what the recording holds there.
void differ(World &w, const ReplayTable &t, std::uint32_t at, const ReplayRequest *got)
{
    w.replay.differs = 1;
    Text m(w.replay.message, sizeof w.replay.message);
    const bool past_end = at >= t.count;
    const ReplayEntry *e = past_end ? nullptr : &entries(t)[at];
    m.add("replay differs at ")
        .add(pool(t, t.file, t.file_len), t.file_len)
        .format(":%llu: expected ", past_end ? t.end_line : e->line);
    if (!past_end)
        m.add("'").add(pool(t, e->text, e->text_len), e->text_len).add("'");
    else if (t.end_len > 0)
        m.add("'").add(pool(t, t.end_text, t.end_len), t.end_len).add("'");
    else
        m.add("the end of the recording");
    m.add(", got ");
    if (got != nullptr) {
        describe(m.add("'"), *got);
        m.add("'");
    } else {
        m.add("the end of the command");
    }
    TranscriptLine(virtual_now_us(w)).text(" %s", w.replay.message).emit(w);
}

void table_unreadable(World &w)
{
    w.replay.differs = 1;
    std::snprintf(w.replay.message, sizeof w.replay.message, "replay stopped: cannot read %s/%s",
                  w.root, kReplayFileName);
    TranscriptLine(virtual_now_us(w)).text(" %s", w.replay.message).emit(w);
}

bool same_name(const ReplayTable &t, const ReplayEntry &e, const char *name)
{
    const char *p = pool(t, e.data, e.data_len);
    return p != nullptr && std::strlen(name) == e.data_len && std::memcmp(p, name, e.data_len) == 0;
}

bool matches(const ReplayTable &t, const ReplayEntry &e, const ReplayRequest &r)
{
    if (e.kind != r.kind)
        return false;
    switch (r.kind) {
    case ReplayKind::open:
    case ReplayKind::ioctl:
        return same_name(t, e, r.name);
    case ReplayKind::close:
        return e.len == r.number;
    case ReplayKind::sleep:
        return e.us == r.number;
    case ReplayKind::read:
        return e.addr == r.addr && e.len == r.len;
    case ReplayKind::write: {
        const char *p = pool(t, e.data, e.data_len);
        return e.addr == r.addr && e.len == r.len && p != nullptr && e.data_len == r.len &&
               (r.len == 0 || std::memcmp(p, r.bytes, r.len) == 0);
    }
    }
    return false;
}

// With --no-timing the recording's pauses are passed over.
void skip_pauses(World &w, const ReplayTable &t)
{
    while (w.replay.no_timing != 0 && w.replay.next < t.count &&
           entries(t)[w.replay.next].kind == ReplayKind::sleep)
        ++w.replay.next;
}

}  // namespace

void release_replay_table()
{
    // A mapped table's size is the file's, checked when it was mapped.
    if (const ReplayTable *t = g_table.exchange(nullptr))
        munmap(const_cast<ReplayTable *>(t), table_size(*t));
}

const ReplayEntry *replay_match(World &w, const ReplayRequest &request)
{
    if (w.replay.differs != 0)
        return nullptr;
    const ReplayTable *t = map_table(w);
    if (t == nullptr) {
        table_unreadable(w);
        return nullptr;
    }
    skip_pauses(w, *t);
    const std::uint32_t at = w.replay.next;
    if (at < t->count && matches(*t, entries(*t)[at], request)) {
        ++w.replay.next;
        return &entries(*t)[at];
    }
    differ(w, *t, at, &request);
    return nullptr;
}

int replay_transfer(World &w, std::uint16_t addr, bool is_read, std::uint8_t *buf, std::size_t len)
{
    ReplayRequest r{is_read ? ReplayKind::read : ReplayKind::write, addr, len};
    r.bytes = buf;
    const ReplayEntry *e = replay_match(w, r);
    if (e == nullptr)
        return -EIO;
    if (is_read && e->result > 0) {
        const char *p = pool(*g_table.load(), e->data, e->data_len);
        if (p != nullptr)
            std::memcpy(buf, p, std::min<std::size_t>(e->data_len, len));
    }
    return e->result;
}

int replay_open(World &w, const char *path)
{
    ReplayRequest r{ReplayKind::open};
    r.name = path;
    const ReplayEntry *e = replay_match(w, r);
    return e != nullptr ? e->result : -EIO;
}

void replay_opened(World &w, int fd, int recorded)
{
    for (auto &slot : w.replay.fds) {
        if (slot[0] == fd || slot[0] < 0) {
            slot[0] = fd;
            slot[1] = recorded;
            return;
        }
    }
}

void replay_close(World &w, int fd)
{
    ReplayRequest r{ReplayKind::close};
    r.number = static_cast<std::uint64_t>(fd);
    for (auto &slot : w.replay.fds) {
        if (slot[0] == fd) {
            r.number = static_cast<std::uint64_t>(slot[1]);
            slot[0] = slot[1] = -1;
            break;
        }
    }
    replay_match(w, r);
}

int replay_refusal(World &w, const char *name)
{
    ReplayRequest r{ReplayKind::ioctl};
    r.name = name;
    const ReplayEntry *e = replay_match(w, r);
    return e != nullptr ? -e->result : EIO;
}

void replay_pause(World &w, std::uint64_t us)
{
    if (w.replay.no_timing != 0)
        return;
    ReplayRequest r{ReplayKind::sleep};
    r.number = us;
    replay_match(w, r);
}

bool finish_replay(World &w)
{
    WorldLock lock(w);
    if (w.replay.active == 0)
        return false;
    if (w.replay.differs == 0) {
        const ReplayTable *t = map_table(w);
        if (t == nullptr) {
            table_unreadable(w);
        } else {
            skip_pauses(w, *t);
            if (w.replay.next < t->count)
                differ(w, *t, w.replay.next, nullptr);
        }
    }
    return w.replay.differs != 0;
}

}  // namespace bbusim
