// connections.cpp - bbu-i2cd's clients (connections.h).
//
// One loop serves every client. A connection that has not yet sent its whole
// request waits in a table with a deadline of its own, and one poll covers
// them all and the listening socket, so a slow or silent client holds only
// its own connection. A peer that is neither root nor in the daemon's group
// is closed as soon as it is accepted, before anything of it is read. The
// transfers stay one at a time: a request is performed as soon as the whole
// of it has arrived, and its reply sent before the next is looked at.
#include "connections.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Clients waiting for their requests at once; more wait in the listening
// socket's queue until one of these is done.
constexpr std::size_t MAX_PENDING = 64;

struct Pending {
    int fd = -1;
    pid_t pid = 0;
    long long deadline_us = 0;  // on the monotonic clock
    std::size_t got = 0;        // request bytes read so far
    LnxI2cAccSockBufType request{};
};

// The table lives here rather than on the stack: 64 requests of 1044 bytes.
std::array<Pending, MAX_PENDING> g_pending;

long long monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void drop(Pending &p)
{
    close(p.fd);
    p = Pending{};
}

enum class Progress { partial, complete, closed };

// Reads what has arrived of the request, without waiting for more.
Progress receive_more(Pending &p)
{
    auto *bytes = reinterpret_cast<char *>(&p.request);
    while (p.got < REQUEST_LEN) {
        const ssize_t n = recv(p.fd, bytes + p.got, REQUEST_LEN - p.got, MSG_DONTWAIT);
        if (n > 0)
            p.got += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Progress::partial;
        else
            return Progress::closed;
    }
    return Progress::complete;
}

void give_up(Pending &p, const char *why)
{
    daemon_log("peer pid %d %s after %zu of %zu request bytes: closed without a reply",
               static_cast<int>(p.pid), why, p.got, REQUEST_LEN);
    drop(p);
}

// Reads the client's new bytes; serves its request once the whole of it is
// in. True when a request was served.
bool take_arrival(Pending &p, const ServeSettings &s)
{
    switch (receive_more(p)) {
    case Progress::complete:
        answer_request(p.fd, p.request, p.pid, s);
        drop(p);
        return true;
    case Progress::closed:
        give_up(p, "hung up");
        break;
    case Progress::partial:
        break;
    }
    return false;
}

// Clients past their deadline, after a last look at what they sent since
// the poll.
void expire(const ServeSettings &s)
{
    const long long now = monotonic_us();
    for (Pending &p : g_pending) {
        if (p.fd < 0 || p.deadline_us > now)
            continue;
        take_arrival(p, s);
        if (p.fd >= 0)
            give_up(p, "timed out");
    }
}

// A new client: judged by its credentials at once, then given its slot and
// its time for the request. Called only when a slot is free.
void accept_client(int listen_fd, const ServeSettings &s)
{
    const int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (conn < 0) {
        daemon_log("accept: %s", std::strerror(errno));  // the client has gone; go on
        return;
    }
    ucred cred{};
    if (!peer_allowed(conn, s, cred)) {
        daemon_log("refused peer pid %d uid %u gid %u: neither root nor in the daemon's group",
                   static_cast<int>(cred.pid), static_cast<unsigned>(cred.uid),
                   static_cast<unsigned>(cred.gid));
        close(conn);
        return;
    }
    for (Pending &p : g_pending) {
        if (p.fd < 0) {
            p.fd = conn;
            p.pid = cred.pid;
            p.deadline_us = monotonic_us() + 1000LL * s.receive_timeout_ms;
            return;
        }
    }
    close(conn);  // not reached: the caller saw a free slot
}

}  // namespace

int serve_clients(int listen_fd, const ServeSettings &s, const sigset_t &waiting,
                  const volatile std::sig_atomic_t &stop)
{
    std::array<pollfd, MAX_PENDING + 1> fds{};
    std::array<std::size_t, MAX_PENDING + 1> slot_of{};
    int status = 0;
    while (stop == 0) {
        nfds_t n = 1;
        bool room = false;
        long long earliest = LLONG_MAX;
        for (std::size_t i = 0; i < g_pending.size(); ++i) {
            const Pending &p = g_pending[i];
            if (p.fd < 0) {
                room = true;
                continue;
            }
            fds[n] = {p.fd, POLLIN, 0};
            slot_of[n++] = i;
            earliest = std::min(earliest, p.deadline_us);
        }
        // A full table leaves new clients in the listening socket's queue.
        fds[0] = {listen_fd, static_cast<short>(room ? POLLIN : 0), 0};
        timespec left{};
        if (earliest != LLONG_MAX) {
            const long long us = std::max(0LL, earliest - monotonic_us());
            left = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        }
        if (ppoll(fds.data(), n, earliest != LLONG_MAX ? &left : nullptr, &waiting) < 0) {
            if (errno == EINTR)
                continue;
            daemon_log("waiting for clients: %s", std::strerror(errno));
            status = 1;
            break;
        }
        bool served = false;
        for (nfds_t k = 1; k < n; ++k) {
            if (fds[k].revents != 0)
                served = take_arrival(g_pending[slot_of[k]], s) || served;
        }
        // A transfer may have taken long (the adapter's lock): what the others
        // sent meanwhile came in time, and the next poll sees it first.
        if (served)
            continue;
        expire(s);
        if ((fds[0].revents & POLLIN) != 0)
            accept_client(listen_fd, s);
    }
    for (Pending &p : g_pending) {
        if (p.fd >= 0)
            drop(p);
    }
    return status;
}
