// bbu-i2cd on the simulated bus. The test process is the client, with the
// simulator linked in; the daemon is the real program, preloaded with the
// interposer and mapping the test's world, so both meet on the mapped
// socket and the daemon's transfers reach the simulated BBU.
#include <bbu/i2c.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <list>
#include <string>

#include "launcher_preload.h"
#include "sim_world.h"

namespace {

using ::testing::HasSubstr;

struct Daemon {
    pid_t pid = -1;
    int log_fd = -1;  // its standard error
    std::string log;
};

using Outcome = std::array<std::uint32_t, 3>;  // a reply's status, error, dataLength

Outcome outcome(const LnxI2cRetDatType &r)
{
    return {r.status, r.error, r.dataLength};
}

// A socket on the client's path, connected or bound (and listening).
int client_socket(bool connected)
{
    const sockaddr_un addr{AF_UNIX, LNX_I2C_SKT_PATH};
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const auto *a = reinterpret_cast<const sockaddr *>(&addr);
    EXPECT_EQ(connected ? connect(fd, a, sizeof addr) : bind(fd, a, sizeof addr), 0);
    EXPECT_EQ(connected ? 0 : listen(fd, 8), 0);
    return fd;
}

// A client connected to the daemon's socket, or -1.
int connected_client()
{
    const sockaddr_un addr{AF_UNIX, LNX_I2C_SKT_PATH};
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// True when the daemon answers or closes `fd` within a bound of real time
// far below the ten minutes the tests give a client for its request: a
// loaded machine cannot fail a test, a daemon that waits on the client can.
bool reply_comes(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 30000) == 1;
}

// The reply on `fd` (status 0 when the daemon closed without one).
LnxI2cRetDatType reply(int fd)
{
    LnxI2cAccSockBufType b{};
    recv(fd, &b, sizeof b, MSG_WAITALL);
    return b.fromDaemon;
}

LnxI2cAccSockBufType request(std::uint32_t op, std::uint32_t addr, std::uint32_t len,
                             const std::string &data = "")
{
    LnxI2cAccSockBufType b{};
    b.toDaemon.totalSize = sizeof b.toDaemon;
    b.toDaemon.in = {addr, op, len};
    data.copy(b.toDaemon.buff, data.size());
    return b;
}

class DaemonTest : public SimWorldTest {
protected:
    void TearDown() override
    {
        for (Daemon &d : daemons_)
            finish(d, SIGKILL);
    }

    // Starts bbu-i2cd with at most one option and reads its log until it is
    // ready or has exited; `listen_fd` is handed over as systemd does. Run by
    // another user than root, the daemon also serves that user's group unless
    // `serve_me` is false, so that the test, its client, is let in.
    Daemon &start(const char *option = nullptr, const char *value = nullptr, int listen_fd = -1,
                  bool serve_me = true)
    {
        const std::string my_group = std::to_string(getgid());
        const bool add_group = serve_me && geteuid() != 0;
        const std::string preload =
            bbusim::compose_preload(bbusim::sanitizer_runtimes(bbusim::elf_needed(BBU_I2CD_PATH)),
                                    BBUSIM_LIBRARY_PATH, std::getenv("LD_PRELOAD"));
        int log_pipe[2];
        EXPECT_EQ(pipe2(log_pipe, O_CLOEXEC), 0);
        Daemon &d = daemons_.emplace_back();
        d.pid = fork();
        if (d.pid == 0) {  // the test has no other thread: setenv is safe here
            // A daemon left behind by a test that died would hold ctest's output open.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("BBUSIM_WORLD", (root_ + "/bbusim.world").c_str(), 1);
            if (listen_fd >= 0) {
                dup2(listen_fd, 3);
                setenv("LISTEN_FDS", "1", 1);
                setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
            }
            dup2(log_pipe[1], 2);
            if (add_group && option != nullptr)
                execl(BBU_I2CD_PATH, BBU_I2CD_PATH, option, value, "--group", my_group.c_str(),
                      nullptr);
            else if (add_group)
                execl(BBU_I2CD_PATH, BBU_I2CD_PATH, "--group", my_group.c_str(), nullptr);
            else
                execl(BBU_I2CD_PATH, BBU_I2CD_PATH, option, value, nullptr);
            _exit(127);
        }
        close(log_pipe[1]);
        d.log_fd = log_pipe[0];
        while (d.log.find("listening on") == std::string::npos &&
               d.log.find("serving the socket") == std::string::npos && read_log(d)) {
        }
        return d;
    }

    // Reads what the daemon logs next; false at its end (or after 10 s of silence).
    static bool read_log(Daemon &d)
    {
        pollfd pfd{d.log_fd, POLLIN, 0};
        char buf[4096];
        const ssize_t n = poll(&pfd, 1, 10000) == 1 ? read(d.log_fd, buf, sizeof buf) : -1;
        if (n > 0)
            d.log.append(buf, static_cast<std::size_t>(n));
        return n > 0;
    }

    // Sends `sig` (0: none, the daemon ends by itself), reads the rest of the
    // log and returns the exit status (128 + N after signal N).
    static int finish(Daemon &d, int sig = SIGTERM)
    {
        if (d.pid <= 0)
            return -1;
        if (sig != 0)
            kill(d.pid, sig);
        while (read_log(d)) {
        }
        close(d.log_fd);
        int status = 0;
        waitpid(d.pid, &status, 0);
        d.pid = -1;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

    static LnxI2cRetDatType ask(LnxI2cAccSockBufType b)
    {
        EXPECT_EQ(lnxI2cSktClient(&b), 0);
        return b.fromDaemon;
    }

    std::list<Daemon> daemons_;
};

TEST_F(DaemonTest, ReadsAndWritesTheBbuAsADirectTransferWouldOnceTheAdapterIsFree)
{
    Daemon &d = start("--lock-wait", "0");
    const int fd = open_I2C_device(0);
    ASSERT_EQ(lock_I2C_device(fd, 0), 0);  // another program at work on the bus
    EXPECT_EQ(outcome(ask(request(OS_I2C_TRAN_READ, 0x40, 33))),
              (Outcome{OS_I2C_BUSY, PCA_EBUSY, 0}));
    EXPECT_TRUE(bus_transfers().empty());
    unlock_I2C_device(fd);

    const LnxI2cRetDatType r = ask(request(OS_I2C_TRAN_READ, 0x40, 33));
    EXPECT_EQ(r.totalSize, 1044u);
    EXPECT_EQ(outcome(r), (Outcome{OS_I2C_TRANS_COMPLETED, 0, 33}));
    char direct[33];
    ASSERT_EQ(do_i2c_read(fd, 0x40, 33, direct, 0), 33);
    close_I2C_device(fd);
    EXPECT_EQ(std::string(r.buff, 33), std::string(direct, 33));
    ASSERT_EQ(bus_transfers().size(), 2u);
    EXPECT_EQ(bus_transfers()[0], bus_transfers()[1]) << "the daemon's read, then the direct one";

    EXPECT_EQ(outcome(ask(request(OS_I2C_TRAN_WRITE, 0x40, 3, std::string("\xc8\x00\xc8", 3)))),
              (Outcome{OS_I2C_TRANS_COMPLETED, 0, 3}));
    EXPECT_EQ(bus_transfers().back(), "write 0x40 3 : c8 00 c8 -> 3");
    finish(d);
    EXPECT_THAT(d.log, HasSubstr("bbu-i2cd: adapter /dev/i2c-0b still in use by another program "
                                 "after 0 s: request refused\n"));
}

TEST_F(DaemonTest, AnswersBadRequestsAndFailedTransfersWithTheirStatusAndError)
{
    constexpr std::uint32_t R = OS_I2C_TRAN_READ, W = OS_I2C_TRAN_WRITE;
    const struct {
        const char *scenario;
        std::uint32_t op, addr, len;
        Outcome expected;
    } cases[] = {
        {"", 3, 0x40, 33, {OS_I2C_BAD_OP, PCA_INVALID, 0}},
        {"", R, 0x40, 1025, {OS_I2C_TRANS_OVERFLOW, PCA_EINVAL, 0}},
        {"", W, 0x80, 1, {OS_I2C_BAD_OP, PCA_EINVAL, 0}},
        {"", R, 0x50, 1, {OS_I2C_TRANS_NO_ADS, PCA_ARNACK, 0}},
        {"", W, 0x50, 1, {OS_I2C_TRANS_NO_ADS, PCA_AWNACK, 0}},
        {"fault fail 40 read EIO", R, 0x40, 33, {OS_I2C_TRANS_FAILED, PCA_EIO, 0}},
        {"fault fail 40 ETIMEDOUT", W, 0x40, 3, {OS_I2C_TRANS_FAILED, PCA_BUSTIME, 0}},
        {"fault fail 40 ENOMEM", R, 0x40, 33, {OS_I2C_TRANS_FAILED, PCA_UNKNOWN, 0}},
        {"fault short 40 read 20", R, 0x40, 33, {OS_I2C_TRANS_UNDERFLOW, PCA_XFERPARTR, 20}},
    };
    start();
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.scenario << " op " << c.op << " addr " << c.addr);
        apply(c.scenario);
        bbusim::clear_transcript();
        EXPECT_EQ(outcome(ask(request(c.op, c.addr, c.len))), c.expected);
        const bool refused =
            c.expected[0] == OS_I2C_BAD_OP || c.expected[0] == OS_I2C_TRANS_OVERFLOW;
        EXPECT_EQ(bus_transfers().size(), refused ? 0u : 1u) << "nothing on the bus when refused";
    }
}

TEST_F(DaemonTest, BadClientsGetAClosedConnectionAndTheServiceGoesOn)
{
    Daemon &d = start("--receive-timeout-ms", "100");
    LnxI2cAccSockBufType whole = request(OS_I2C_TRAN_READ, 0x40, 33);
    char reply[1];

    const int vanished = client_socket(true);  // 24 bytes, then gone
    send(vanished, &whole, 24, 0);
    close(vanished);
    const int silent = client_socket(true);
    EXPECT_EQ(recv(silent, reply, 1, 0), 0) << "closed without a reply";
    close(silent);

    // A client gone before its reply: the daemon's reply must not kill it.
    // The test holds the adapter until the client has gone.
    const int fd = open_I2C_device(0);
    ASSERT_EQ(lock_I2C_device(fd, 0), 0);
    const int gone = client_socket(true);
    send(gone, &whole, sizeof whole, 0);
    close(gone);
    unlock_I2C_device(fd);
    close_I2C_device(fd);

    EXPECT_EQ(ask(whole).status, OS_I2C_TRANS_COMPLETED);
    EXPECT_EQ(finish(d), 0);
    EXPECT_THAT(d.log, HasSubstr("hung up after 24 of 1044 request bytes"));
    EXPECT_THAT(d.log, HasSubstr("timed out after 0 of 1044 request bytes"));
    EXPECT_THAT(d.log, HasSubstr("not sent: Broken pipe"));
}

// The peer for the group check. As root: nobody:nogroup, keeping only the
// right to search directories, so that the socket stays reachable from a
// build tree under a private home such as /root; the daemon judges a peer by
// its credentials alone. As another user: that user. Returns the peer's group,
// or -1 when the change failed.
gid_t become_peer()
{
    if (geteuid() != 0)
        return getgid();
    if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setgroups(0, nullptr) != 0 || setgid(65534) != 0 ||
        setuid(65534) != 0)
        return static_cast<gid_t>(-1);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> caps{};
    caps[0].effective = caps[0].permitted = 1U << CAP_DAC_READ_SEARCH;
    return syscall(SYS_capset, &header, caps.data()) == 0 ? 65534 : static_cast<gid_t>(-1);
}

TEST_F(DaemonTest, ServesRootAndItsGroupOnlyAndRefusesOthersAtOnce)
{
    // A peer that is not root: let in by a daemon of the peer's group; refused
    // by one without a group as soon as it connects, though it sends nothing
    // and its time for a request is ten minutes.
    const bool root = geteuid() == 0;
    const gid_t peer_group = root ? 65534 : getgid();
    for (const bool in_group : {false, true}) {
        const std::string group = std::to_string(peer_group);
        Daemon &d = in_group ? start("--group", group.c_str()) : start("-t", "600000", -1, false);
        if (!in_group)
            chmod(LNX_I2C_SKT_PATH, 0666);  // a socket left open to all: the daemon still checks
        const pid_t peer = fork();
        if (peer == 0) {
            LnxI2cAccSockBufType b = request(OS_I2C_TRAN_READ, 0x40, 33);
            if (become_peer() != peer_group)
                _exit(2);
            if (in_group)
                _exit(lnxI2cSktClient(&b) == 0 && b.fromDaemon.status == OS_I2C_TRANS_COMPLETED
                          ? 0
                          : 3);
            const int fd = connected_client();
            char c;
            _exit(fd >= 0 && reply_comes(fd) && recv(fd, &c, 1, 0) <= 0 ? 0 : 3);
        }
        int status = 0;
        waitpid(peer, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0) << (in_group ? "not served" : "not closed at once");
        finish(d);
        const std::string refused = "refused peer pid " + std::to_string(peer) + " uid " +
                                    std::to_string(root ? 65534 : getuid());
        EXPECT_EQ(d.log.find(refused) != std::string::npos, !in_group) << d.log;
    }
}

TEST_F(DaemonTest, SlowAndSilentClientsHoldUpNoOther)
{
    Daemon &d = start("--receive-timeout-ms", "600000");
    const LnxI2cAccSockBufType whole = request(OS_I2C_TRAN_READ, 0x40, 33);
    const auto *bytes = reinterpret_cast<const char *>(&whole);
    const int silent = connected_client();
    const int slow = connected_client();
    ASSERT_EQ(send(slow, bytes, 24, MSG_NOSIGNAL), 24);

    // Answered while the other two still hold their connections.
    const int quick = connected_client();
    ASSERT_EQ(send(quick, bytes, sizeof whole, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof whole));
    ASSERT_TRUE(reply_comes(quick));
    EXPECT_EQ(reply(quick).status, OS_I2C_TRANS_COMPLETED);
    for (const int held : {silent, slow}) {
        pollfd p{held, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 0) << "neither answered nor closed";
    }

    // The slow one's rest, in its own time.
    ASSERT_EQ(send(slow, bytes + 24, sizeof whole - 24, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof whole - 24));
    ASSERT_TRUE(reply_comes(slow));
    EXPECT_EQ(reply(slow).status, OS_I2C_TRANS_COMPLETED);
    ASSERT_EQ(bus_transfers().size(), 2u);
    EXPECT_EQ(bus_transfers()[0], bus_transfers()[1]) << "one read each, one after the other";

    for (const int fd : {silent, slow, quick})
        close(fd);
    finish(d);
    EXPECT_THAT(d.log, HasSubstr("hung up after 0 of 1044 request bytes"));
}

TEST_F(DaemonTest, StartsOnlyWhereNoDaemonAnswersAndStopsCleanly)
{
    close(client_socket(false));  // a stale socket file
    Daemon &first = start();
    EXPECT_THAT(first.log, HasSubstr("removed the stale socket /tmp/i2c_skt\n"));

    Daemon &second = start();
    EXPECT_EQ(finish(second, 0), 1);
    EXPECT_EQ(second.log, "bbu-i2cd: another daemon answers on /tmp/i2c_skt: not starting\n");

    EXPECT_EQ(finish(first, SIGTERM), 0);
    EXPECT_THAT(first.log, HasSubstr("bbu-i2cd: stopping on SIGTERM\n"));
    EXPECT_NE(access(LNX_I2C_SKT_PATH, F_OK), 0) << "its socket file is removed";

    close(open(LNX_I2C_SKT_PATH, O_CREAT | O_WRONLY, 0600));
    Daemon &third = start();
    EXPECT_EQ(finish(third, 0), 1);
    EXPECT_THAT(third.log, HasSubstr("/tmp/i2c_skt exists and is not a socket: not starting"));
}

TEST_F(DaemonTest, TakesItsLimitsWithinTheirRangesOnly)
{
    const struct {
        const char *option, *value;
        const char *refusal;  // nullptr: the daemon starts
    } cases[] = {
        {"--receive-timeout-ms", "0", "receive timeout must be 1 to 600000 ms: 0"},
        {"-t", "600000", nullptr},
        {"-t", "600001", "receive timeout must be 1 to 600000 ms: 600001"},
        {"--lock-wait", "0", nullptr},
        {"-w", "86400", nullptr},
        {"--lock-wait", "86401", "lock wait must be 0 to 86400 s: 86401"},
        {"-w", "-1", "lock wait must be 0 to 86400 s: -1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.option << " " << c.value);
        Daemon &d = start(c.option, c.value);
        if (c.refusal == nullptr) {
            EXPECT_THAT(d.log, HasSubstr("listening on"));
            EXPECT_EQ(finish(d), 0);
        } else {
            EXPECT_EQ(finish(d, 0), 2);
            EXPECT_EQ(d.log, "bbu-i2cd: " + std::string(c.refusal) + "\n");
        }
    }
}

TEST_F(DaemonTest, ServesTheSocketSystemdHandsOver)
{
    unlink(LNX_I2C_SKT_PATH);
    const int listening = client_socket(false);
    Daemon &d = start(nullptr, nullptr, listening);
    close(listening);
    EXPECT_EQ(d.log, "bbu-i2cd: serving the socket systemd handed over, adapter /dev/i2c-0b\n");
    EXPECT_EQ(ask(request(OS_I2C_TRAN_READ, 0x40, 33)).status, OS_I2C_TRANS_COMPLETED);
    EXPECT_EQ(finish(d), 0);
    EXPECT_EQ(access(LNX_I2C_SKT_PATH, F_OK), 0) << "systemd's socket file stays";
}

}  // namespace
