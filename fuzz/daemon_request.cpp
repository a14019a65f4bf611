// bbu-i2cd's service of its clients (daemon/connections.*, daemon/request.*)
// on requests made of any bytes: up to four clients at once, each request
// whole, cut short (its client hangs up) or oversized, sent in pieces that
// arrive one at a time whenever the daemon has taken all that came before;
// the adapter is served by the in-process simulator.
//
// The oracle: a client whose first 1044 bytes arrived gets one reply, any
// other none; a request for a read or a write of at most 1024 bytes at a 7-bit
// address reaches the simulated bus as exactly that transfer (the transcript
// shows its direction, address, length and written bytes), in the order the
// requests were completed, and its reply does not refuse it; any other
// request reaches nothing and its reply refuses it (bad operation or overflow).
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <csignal>
#include <ctime>

#include "bbusim.h"
#include "connections.h"
#include "harness.h"

namespace {

struct Client {
    int end = -1;  // the client's end of its connection
    std::vector<std::uint8_t> bytes;
    std::size_t sent = 0;
};
// What the clients send, handed out piece by piece by the feeding signal.
std::vector<Client> g_clients;
std::vector<std::pair<std::size_t, std::size_t>> g_pieces;  // client, length
std::size_t g_next = 0;
std::size_t g_whole[4];  // the clients whose requests became whole, in that order
std::size_t g_wholeCount = 0;
volatile std::sig_atomic_t g_stop = 0;
const sockaddr_un kSocket{AF_UNIX, "bbu-i2cd.sock"};

// Delivered only when the daemon would wait: the next piece arrives; when
// none is left, every client hangs up; the time after, the daemon stops.
void feed(int signal)
{
    if (g_next < g_pieces.size()) {
        auto [c, length] = g_pieces[g_next++];
        Client &client = g_clients[c];
        const std::size_t before = client.sent;
        client.sent = std::min(before + length, client.bytes.size());
        send(client.end, &client.bytes[before], client.sent - before, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (before < REQUEST_LEN && client.sent >= REQUEST_LEN)
            g_whole[g_wholeCount++] = c;
    } else if (g_next++ == g_pieces.size()) {
        for (const Client &client : g_clients)
            shutdown(client.end, SHUT_WR);
    } else {
        g_stop = 1;
        return;
    }
    raise(signal);
}

// The transcript's text of the transfer a client's whole request asks for,
// up to its outcome; "" for a request the daemon must refuse.
std::string transfer_of(const Client &client)
{
    const auto &request = *reinterpret_cast<const LnxI2cOpDatType *>(client.bytes.data());
    const bool read = request.in.op == OS_I2C_TRAN_READ;
    if ((!read && request.in.op != OS_I2C_TRAN_WRITE) || request.in.dataLength > 1024 ||
        request.in.opAddress > 0x7f)
        return "";
    std::string line(32 + 3 * request.in.dataLength, '\0');
    int n = std::snprintf(line.data(), line.size(), " %s 0x%02x %u%s", read ? "read" : "write",
                          request.in.opAddress, request.in.dataLength,
                          read || request.in.dataLength == 0 ? "" : " :");
    for (std::uint32_t i = 0; !read && i < request.in.dataLength; ++i)
        n += std::snprintf(&line[n], 4, " %02x", static_cast<std::uint8_t>(request.buff[i]));
    return line.substr(0, n) + " -> ";
}

// The transfers among the transcript's lines (libFuzzer's threads sleep too).
void observe(std::string_view line, void *lines)
{
    line.remove_prefix(std::min(line.size(), line.find(' ')));
    if (line.starts_with(" read ") || line.starts_with(" write "))
        static_cast<std::vector<std::string> *>(lines)->emplace_back(line);
}

// Once: the listening socket, in the working directory, and one world for the
// run. libFuzzer's threads sleep and read the clock, which the simulator
// serves: with its sleeps real and its wall clock the machine's, both keep
// their meaning. Returns the socket, and the mask to wait with in `waiting`.
int listening(sigset_t &waiting)
{
    static int fd = -1;
    static sigset_t unblocked;
    if (fd < 0) {
        unlink(kSocket.sun_path);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto *addr = reinterpret_cast<const sockaddr *>(&kSocket);
        bbusim::reset("root");
        timespec now{};
        syscall(SYS_clock_gettime, CLOCK_REALTIME, &now);  // the machine's, not the simulator's
        bbusim::set_wall_clock(now.tv_sec, now.tv_nsec / 1000);
        if (bind(fd, addr, sizeof kSocket) != 0 || listen(fd, 8) != 0 ||
            !bbusim::apply("real-time on").empty())
            std::abort();
        std::signal(SIGRTMIN + 3, feed);
        sigset_t held;
        sigemptyset(&held);
        sigaddset(&held, SIGRTMIN + 3);
        sigprocmask(SIG_BLOCK, &held, &unblocked);
    }
    waiting = unblocked;
    return fd;
}

// The input's clients, each connected, and the pieces their bytes arrive
// in. Mostly near what the daemon takes, so that both sides of each check
// are reached.
void connect_clients(FuzzedDataProvider &in)
{
    const auto near = [&](std::uint32_t most) {
        return in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, most)
                                : in.ConsumeIntegral<std::uint32_t>();
    };
    g_clients.assign(in.ConsumeIntegralInRange(1, 4), Client{});
    for (Client &client : g_clients) {
        LnxI2cAccSockBufType request{};
        request.toDaemon.totalSize = in.ConsumeIntegral<std::uint32_t>();
        request.toDaemon.in = {near(0x80), near(3), near(1025)};
        const std::string bytes = in.ConsumeBytesAsString(request.toDaemon.in.dataLength);
        // The data the buffer holds: of an oversized request (refused), its start.
        bytes.copy(request.toDaemon.buff, sizeof request.toDaemon.buff);
        const auto *raw = reinterpret_cast<const std::uint8_t *>(&request);
        client.bytes.assign(raw, raw + REQUEST_LEN);
        client.bytes.resize(REQUEST_LEN + in.ConsumeIntegralInRange(0, 64), 0x5a);
        client.end = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        expect(connect(client.end, reinterpret_cast<const sockaddr *>(&kSocket), sizeof kSocket) ==
                   0,
               "a client cannot connect", kSocket.sun_path);
    }
    g_pieces.clear();
    while (in.remaining_bytes() > 0 && g_pieces.size() < 32)
        g_pieces.emplace_back(in.ConsumeIntegralInRange<std::size_t>(0, g_clients.size() - 1),
                              in.ConsumeIntegralInRange<std::size_t>(1, 1100));
}

// Each client's reply, and the transfers the bus saw (`lines`), in the order
// the requests became whole.
void judge(const std::vector<std::string> &lines)
{
    for (std::size_t c = 0; c < g_clients.size(); ++c) {
        const bool whole = g_clients[c].sent >= REQUEST_LEN;
        const std::string client = "client " + std::to_string(c);
        LnxI2cAccSockBufType reply{};
        expect(recv(g_clients[c].end, &reply, REQUEST_LEN, MSG_DONTWAIT) ==
                   static_cast<ssize_t>(whole ? REQUEST_LEN : 0),
               "a whole request without one reply, or one cut short with one", client);
        const std::uint32_t status = reply.fromDaemon.status;
        expect(!whole || (status == OS_I2C_BAD_OP || status == OS_I2C_TRANS_OVERFLOW) ==
                             transfer_of(g_clients[c]).empty(),
               "a reply refuses a request the daemon takes, or takes one it refuses", client);
        close(g_clients[c].end);
    }
    std::size_t line = 0;
    for (std::size_t w = 0; w < g_wholeCount; ++w) {
        const std::string transfer = transfer_of(g_clients[g_whole[w]]);
        expect(transfer.empty() || (line < lines.size() && lines[line++].starts_with(transfer)),
               "a request did not reach the bus as it said", transfer);
    }
    expect(line == lines.size(), "the bus saw a transfer no request asked for",
           line < lines.size() ? lines[line] : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    sigset_t waiting;
    const int listen_fd = listening(waiting);
    FuzzedDataProvider in(data, size);
    connect_clients(in);
    bbusim::clear_transcript();
    ServeSettings settings;
    settings.adapter_fd = open("/dev/i2c-0b", O_RDWR | O_CLOEXEC);
    settings.adapter = "/dev/i2c-0b";
    settings.has_group = true;  // this process's own group, when it is not root
    settings.group = getgid();
    settings.receive_timeout_ms = 600000;  // the pieces come when the daemon waits, not by time
    std::vector<std::string> lines;
    bbusim::observe_transcript(observe, &lines);
    g_next = g_wholeCount = 0;
    g_stop = 0;
    raise(SIGRTMIN + 3);  // waits, blocked, for the daemon's first wait
    // The daemon's log goes to a memory stream, not looked at.
    said_by([&] { serve_clients(listen_fd, settings, waiting, g_stop); });
    bbusim::observe_transcript(nullptr, nullptr);
    close(settings.adapter_fd);
    judge(lines);
    return 0;
}
