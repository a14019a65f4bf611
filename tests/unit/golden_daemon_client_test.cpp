// lnxI2cSktClient against peers of the test's making on the mapped daemon
// socket, as whole sessions: no daemon, one that hangs up after the request,
// one that drops it unread, one with a short and one with a whole reply; and
// a client without a descriptor left or with descriptor 0 free. The session
// adds what the peer received.
#include <bbu/i2c.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>

#include "golden.h"

namespace {

constexpr std::size_t kMessageLen = sizeof(LnxI2cAccSockBufType);

// The peer: one connection, the whole request read, `ReplyLen` bytes of
// its reply answered, then closed; with a negative `ReplyLen` closed as soon
// as the request is there, unread.
struct Peer {
    int listening = -1;
    std::thread thread;
    std::string received;
} peer;

void request(golden::Call &call)
{
    for (std::size_t i = 0; i < kMessageLen; ++i)
        call.buf[i] = static_cast<unsigned char>(i * 7 + 3);
}

template <int ReplyLen>
void daemon(golden::Call &call)
{
    request(call);
    peer.received.clear();
    const sockaddr_un addr{AF_UNIX, LNX_I2C_SKT_PATH};
    peer.listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(peer.listening, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(peer.listening, 1), 0);
    peer.thread = std::thread([] {
        // A client that never connects is not waited for forever either.
        pollfd waiting{peer.listening, POLLIN, 0};
        if (poll(&waiting, 1, 2000) != 1)
            return;
        const int conn = accept(peer.listening, nullptr, nullptr);
        if (ReplyLen < 0) {
            pollfd request_in{conn, POLLIN, 0};
            poll(&request_in, 1, 2000);
            close(conn);
            return;
        }
        const timeval patience{2, 0};  // a client that sends less is not waited for forever
        setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        char chunk[kMessageLen];
        for (ssize_t n = 0;
             peer.received.size() < kMessageLen && (n = recv(conn, chunk, sizeof chunk, 0)) > 0;)
            peer.received.append(chunk, static_cast<std::size_t>(n));
        std::string reply(kMessageLen, '\0');
        for (std::size_t i = 0; i < kMessageLen; ++i)
            reply[i] = static_cast<char>(i * 11 + 5);
        send(conn, reply.data(), ReplyLen, 0);
        close(conn);
    });
}

// What the peer received, and the client's own process and socket named.
void findings(golden::Call &call)
{
    if (peer.thread.joinable())
        peer.thread.join();
    if (peer.listening >= 0)
        close(peer.listening);
    peer.listening = -1;
    call.aliases = {{"client " + std::to_string(getpid()) + ":", "client PID:"},
                    {"socket " + std::to_string(call.next_fd) + " ", "socket LOWEST_FREE_FD "}};
    call.notes.push_back("peer| received " + std::to_string(peer.received.size()) + " bytes");
    for (const std::string &line :
         golden::hex_lines("peer", reinterpret_cast<const unsigned char *>(peer.received.data()),
                           peer.received.size()))
        call.notes.push_back(line);
}

// The daemon gone between the connection and the request, once when armed:
// the send fails with EPIPE, and the peer sees the request end.
bool g_send_fails = false;
extern "C" ssize_t send(int fd, const void *data, size_t n, int flags)
{
    if (!std::exchange(g_send_fails, false))
        return sendto(fd, data, n, flags, nullptr, 0);
    shutdown(fd, SHUT_WR);
    errno = EPIPE;
    return -1;
}

// While it lives, the process can open no more descriptors.
struct NoFreeDescriptor {
    rlimit saved{};
    NoFreeDescriptor()
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        const int lowest_free = fcntl(0, F_DUPFD_CLOEXEC, 0);
        close(lowest_free);
        const rlimit none{static_cast<rlim_t>(lowest_free), saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &none);
    }
    ~NoFreeDescriptor()
    {
        setrlimit(RLIMIT_NOFILE, &saved);
    }
};

void daemon_gone_before_the_request(golden::Call &call)
{
    daemon<0>(call);
    g_send_fails = true;
}

#define CLIENT GOLDEN_CALL(lnxI2cSktClient(reinterpret_cast<LnxI2cAccSockBufType *>(buf)))
// The client called while `guard` lives.
#define CLIENT_WITH(guard)                                                                         \
    GOLDEN_CALL((guard, lnxI2cSktClient(reinterpret_cast<LnxI2cAccSockBufType *>(buf))))

const golden::Row kRows[] = {
    {"no_daemon", "", CLIENT, {}, request, findings},
    {"hangs_up", "", CLIENT, {}, daemon<0>, findings},
    {"short_reply", "", CLIENT, {}, daemon<24>, findings},
    {"whole_reply", "", CLIENT, {}, daemon<kMessageLen>, findings},
    {"drops_the_request", "", CLIENT, {}, daemon<-1>, findings},
    {"send_fails", "", CLIENT, {}, daemon_gone_before_the_request, findings},
    {"no_descriptor_left", "", CLIENT_WITH(NoFreeDescriptor()), {}, request, findings},
    {"stdin_closed", "", CLIENT_WITH(golden::StdinClosed(call)), {}, daemon<kMessageLen>, findings},
};

GOLDEN_TABLE(daemon_client, kRows)

}  // namespace
