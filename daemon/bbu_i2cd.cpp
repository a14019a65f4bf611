// bbu_i2cd.cpp - bbu-i2cd, the I2C access daemon: it owns the BBU's adapter
// and serves the library's socket client (lnxI2cSktClient) one transfer at a
// time, for programs that must not open the bus themselves. Clients are
// served side by side (connections.cpp): a slow one holds up no other.
//
//   bbu-i2cd [-s PATH] [-a ADAPTER] [-g GROUP] [-t MS] [-w SECONDS] [--systemd-socket]
//            [--record FILE] [-h] [-V]
//
// Runs in the foreground and logs to standard error. Listens on the socket
// systemd hands over, or on its own socket file (default "/tmp/i2c_skt",
// mode 0660), never on a path another user owns; with --systemd-socket (the
// unit's form) on the handed-over socket only. Stops on SIGTERM or SIGINT,
// removing its own socket file.
// Exit status 0 after a stop, 1 when it cannot start, 2 for a bad option.
#include "connections.h"
#include "recording.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

constexpr mode_t SOCKET_MODE = 0660;

volatile std::sig_atomic_t g_stop_signal = 0;

struct Options {
    const char *socket_path = LNX_I2C_SKT_PATH;
    const char *adapter = I2C_Adapter;  // the library's default adapter
    const char *group = nullptr;
    bool systemd_only = false;     // --systemd-socket
    const char *record = nullptr;  // --record FILE, taken from argv[record_first..record_end)
    int record_first = 0;
    int record_end = 0;
    ServeSettings serve{};
};

void usage(std::FILE *to)
{
    std::fprintf(to,
                 "Usage: bbu-i2cd [-s PATH] [-a ADAPTER] [-g GROUP] [-t MS] [-w SECONDS]\n"
                 "                [--systemd-socket] [--record FILE]\n"
                 "  -s, --socket PATH             socket to listen on (default /tmp/i2c_skt)\n"
                 "  -a, --adapter PATH            i2c-dev adapter to own (default %s)\n"
                 "  -g, --group GROUP             group let in beside root (name or number)\n"
                 "  -t, --receive-timeout-ms MS   milliseconds a client has to send its whole\n"
                 "                                request, 1 to 600000 (default 2000)\n"
                 "  -w, --lock-wait SECONDS       longest wait for another program on the bus,\n"
                 "                                0 to 86400 (default 600)\n"
                 "      --systemd-socket          serve only the socket systemd hands over\n"
                 "      --record FILE             record the conversation on the adapter in FILE\n"
                 "  -h, --help                    this text\n"
                 "  -V, --version                 the version\n",
                 I2C_Adapter);
}

// A whole decimal number from `low` to `high`, or false.
bool number(const char *text, long low, long high, int &value)
{
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    value = static_cast<int>(v);
    return true;
}

bool lookup_group(const char *name, gid_t &gid)
{
    int number_given = 0;
    if (number(name, 0, INT_MAX, number_given)) {
        gid = static_cast<gid_t>(number_given);
        return true;
    }
    const group *g = getgrnam(name);
    if (g == nullptr)
        return false;
    gid = g->gr_gid;
    return true;
}

// --record FILE: the file, and where the option stands in argv, so that it
// is left out when the daemon runs again to record (one word with "=FILE",
// else two).
void take_record_option(char **argv, Options &o)
{
    const char *word = argv[optind - 1];
    o.record = optarg;
    o.record_end = optind;
    o.record_first = optarg != nullptr && word == optarg ? optind - 2 : optind - 1;
}

// After the options: no operand, a known group. 0 to run, or the exit status.
int finish_options(int argc, char **argv, Options &o)
{
    if (optind < argc) {
        daemon_log("unexpected argument: %s", argv[optind]);
        usage(stderr);
        return 2;
    }
    if (o.group != nullptr && !lookup_group(o.group, o.serve.group)) {
        daemon_log("unknown group: %s", o.group);
        return 2;
    }
    o.serve.has_group = o.group != nullptr;
    o.serve.adapter = o.adapter;
    return 0;
}

// 0 to run, or the exit status.
int parse_options(int argc, char **argv, Options &o)
{
    static const option longs[] = {{"socket", required_argument, nullptr, 's'},
                                   {"adapter", required_argument, nullptr, 'a'},
                                   {"group", required_argument, nullptr, 'g'},
                                   {"receive-timeout-ms", required_argument, nullptr, 't'},
                                   {"lock-wait", required_argument, nullptr, 'w'},
                                   {"systemd-socket", no_argument, nullptr, 'S'},
                                   {"record", required_argument, nullptr, 'r'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    for (int c = 0; (c = getopt_long(argc, argv, "s:a:g:t:w:hV", longs, nullptr)) != -1;) {
        switch (c) {
        case 's':
            o.socket_path = optarg;
            break;
        case 'a':
            o.adapter = optarg;
            break;
        case 'g':
            o.group = optarg;
            break;
        case 't':
            if (!number(optarg, 1, 600000, o.serve.receive_timeout_ms)) {
                daemon_log("receive timeout must be 1 to 600000 ms: %s", optarg);
                return 2;
            }
            break;
        case 'w':
            if (!number(optarg, 0, 86400, o.serve.lock_wait_seconds)) {
                daemon_log("lock wait must be 0 to 86400 s: %s", optarg);
                return 2;
            }
            break;
        case 'S':
            o.systemd_only = true;
            break;
        case 'r':
            take_record_option(argv, o);
            break;
        case 'h':
            usage(stdout);
            return -1;
        case 'V':
            std::printf("bbu-i2cd %s\n", BBU_I2CD_VERSION);
            return -1;
        default:
            usage(stderr);
            return 2;
        }
    }
    return finish_options(argc, argv, o);
}

bool socket_address(const char *path, sockaddr_un &addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    const int n = std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    return n >= 0 && static_cast<std::size_t>(n) < sizeof addr.sun_path;
}

// Clears the way for our own socket file: nothing there, or a stale socket
// of our own uid that nobody answers on (removed). Refuses a daemon that
// answers there, anything that is not a socket, and a socket another user
// owns: whoever made it may be waiting for the clients' requests, and a
// daemon that took its place would hide that.
bool clear_socket_path(const char *path, const sockaddr_un &addr)
{
    struct stat st {};
    if (lstat(path, &st) != 0) {
        if (errno == ENOENT)
            return true;
        daemon_log("cannot check %s: %s", path, std::strerror(errno));
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        daemon_log("%s exists and is not a socket: not starting", path);
        return false;
    }
    if (st.st_uid != geteuid()) {
        daemon_log("%s belongs to uid %u, not to this daemon's uid %u: not starting", path,
                   static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answers =
        probe >= 0 && connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    const int err = errno;
    if (probe >= 0)
        close(probe);
    if (answers) {
        daemon_log("another daemon answers on %s: not starting", path);
        return false;
    }
    if (err != ECONNREFUSED) {
        daemon_log("cannot check %s: %s", path, std::strerror(err));
        return false;
    }
    if (unlink(path) != 0) {
        daemon_log("cannot remove the stale socket %s: %s", path, std::strerror(errno));
        return false;
    }
    daemon_log("removed the stale socket %s", path);
    return true;
}

// Our own listening socket: created 0600 (no moment open to others), then
// given to the group and opened to it. -1 after a message.
int own_socket(const Options &o)
{
    sockaddr_un addr{};
    if (!socket_address(o.socket_path, addr)) {
        daemon_log("socket path too long: %s", o.socket_path);
        return -1;
    }
    if (!clear_socket_path(o.socket_path, addr))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        daemon_log("cannot create a socket: %s", std::strerror(errno));
        return -1;
    }
    const mode_t old_mask = umask(0177);
    const bool bound = bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    const int err = errno;
    umask(old_mask);
    if (!bound) {
        daemon_log("cannot bind %s: %s", o.socket_path, std::strerror(err));
        close(fd);
        return -1;
    }
    const char *failed = nullptr;
    if (o.serve.has_group && lchown(o.socket_path, static_cast<uid_t>(-1), o.serve.group) != 0)
        failed = "give it to the group";
    else if (chmod(o.socket_path, SOCKET_MODE) != 0)
        failed = "set its mode";
    else if (listen(fd, SOMAXCONN) != 0)
        failed = "listen on it";
    if (failed != nullptr) {
        daemon_log("cannot %s: %s: %s", failed, o.socket_path, std::strerror(errno));
        unlink(o.socket_path);
        close(fd);
        return -1;
    }
    return fd;
}

// The listening socket systemd handed over, -2 when there is none, -1 after
// a message.
int activated_socket()
{
    const int n = sd_listen_fds(1);
    if (n == 0)
        return -2;
    if (n != 1 || sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) <= 0) {
        daemon_log("systemd must hand over one listening local stream socket (got %d sockets)",
                   n < 0 ? 0 : n);
        return -1;
    }
    fcntl(SD_LISTEN_FDS_START, F_SETFD, FD_CLOEXEC);
    return SD_LISTEN_FDS_START;
}

void on_stop_signal(int sig)
{
    g_stop_signal = sig;
}

// Stop signals are held back while a request is served, and delivered only
// in the wait for clients: a request is never cut in the middle.
// Returns the mask to wait with.
sigset_t hold_stop_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigset_t stops, waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    return waiting;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    if (const int status = parse_options(argc, argv, o))
        return status < 0 ? 0 : status;
    if (o.record != nullptr)
        return record_self(argv, o.record_first, o.record_end, o.record);
    const sigset_t waiting = hold_stop_signals();

    o.serve.adapter_fd = open(o.adapter, O_RDWR | O_CLOEXEC);
    if (o.serve.adapter_fd < 0) {
        daemon_log("cannot open adapter %s: %s", o.adapter, std::strerror(errno));
        return 1;
    }
    int listen_fd = activated_socket();
    const bool own = listen_fd == -2;
    if (own && o.systemd_only) {
        // Under the unit's private /tmp a socket file of our own would reach nobody.
        daemon_log("systemd handed over no socket (--systemd-socket): not starting");
        return 1;
    }
    if (own)
        listen_fd = own_socket(o);
    if (listen_fd < 0)
        return 1;
    if (own)
        daemon_log("listening on %s, adapter %s", o.socket_path, o.adapter);
    else
        daemon_log("serving the socket systemd handed over, adapter %s", o.adapter);
    sd_notify(0, "READY=1");

    const int status = serve_clients(listen_fd, o.serve, waiting, g_stop_signal);
    if (g_stop_signal != 0)
        daemon_log("stopping on %s", g_stop_signal == SIGTERM ? "SIGTERM" : "SIGINT");
    sd_notify(0, "STOPPING=1");
    if (own && unlink(o.socket_path) != 0)
        daemon_log("cannot remove %s: %s", o.socket_path, std::strerror(errno));
    return status;
}
