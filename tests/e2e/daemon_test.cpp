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
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <list>
#include <regex>
#include <string>

#include "e2e_harness.h"
#include "launcher_preload.h"
#include "sim_world.h"

namespace {

using ::testing::HasSubstr;

struct Daemon {
    pid_t pid = -1;
    int log_fd = -1;  // its standard error
    std::string log;
};

// A socket on the client's path, connected, or bound and listening; -1 when
// that fails.
int client_socket(bool connected)
{
    const sockaddr_un addr{AF_UNIX, LNX_I2C_SKT_PATH};
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const auto *a = reinterpret_cast<const sockaddr *>(&addr);
    if (connected ? connect(fd, a, sizeof addr) == 0
                  : bind(fd, a, sizeof addr) == 0 && listen(fd, 8) == 0)
        return fd;
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

    // Starts bbu-i2cd with at most one option (and its value, if any) and
    // reads its log until it is ready or has exited; `listen_fd` is handed
    // over as systemd does. Run by another user than root, the daemon also
    // serves that user's group unless `serve_me` is false, so that the test,
    // its client, is let in. `run_as_`, when set, starts it.
    Daemon &start(const char *option = nullptr, const char *value = nullptr, int listen_fd = -1,
                  bool serve_me = true)
    {
        const std::string my_group = std::to_string(getgid());
        std::vector<const char *> argv;
        for (const std::string &word : run_as_)
            argv.push_back(word.c_str());
        argv.push_back(BBU_I2CD_PATH);
        for (const char *word : {option, value})
            if (word != nullptr)
                argv.push_back(word);
        if (serve_me && geteuid() != 0)
            argv.insert(argv.end(), {"--group", my_group.c_str()});
        argv.push_back(nullptr);
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
            execvp(argv[0], const_cast<char *const *>(argv.data()));
            _exit(127);
        }
        close(log_pipe[1]);
        d.log_fd = log_pipe[0];
        wait_log(d, ", adapter ");  // ready: "listening on ..." or "serving the socket ..."
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

    // Reads the daemon's log until it holds `text` or ends.
    static void wait_log(Daemon &d, const std::string &text)
    {
        while (d.log.find(text) == std::string::npos && read_log(d)) {
        }
    }
    // The daemon's log as golden lines, its peers' ids made "N".
    static void add_log(std::vector<std::string> &lines, const Daemon &d)
    {
        for (const std::string &line : e2e::lines(d.log))
            lines.push_back("log| " +
                            std::regex_replace(line, std::regex("(pid|uid|gid) [0-9]+"), "$1 N"));
    }

    std::list<Daemon> daemons_;
    std::vector<std::string> run_as_;  // a command and its options that run the daemon
};

// Requests and replies as one golden session (tests/data/golden/daemon/requests.txt):
// each request, the reply's status, error, length and data, the transfers it
// made, and the daemon's log at its end.
TEST_F(DaemonTest, RequestsAndRepliesSession)
{
    std::vector<std::string> lines;
    // A request of `len` bytes in a world with `scenario` added.
    const auto ask_line = [&](const std::string &scenario, std::uint32_t op, std::uint32_t addr,
                              std::uint32_t len, const std::string &data = "") {
        apply(scenario);
        bbusim::clear_transcript();
        LnxI2cAccSockBufType b = request(op, addr, len, data);
        const int rc = lnxI2cSktClient(&b);
        const LnxI2cRetDatType &r = b.fromDaemon;
        lines.push_back("ask| " + scenario + (scenario.empty() ? "" : ": ") + "op " +
                        std::to_string(op) + " addr " + std::to_string(addr) + " length " +
                        std::to_string(len) +
                        (data.empty() ? "" : " " + bbutest::hex(data.data(), data.size())));
        lines.push_back(
            "reply| rc " + std::to_string(rc) + ", total " + std::to_string(r.totalSize) +
            ", status " + std::to_string(r.status) + ", error " + std::to_string(r.error) +
            ", length " + std::to_string(r.dataLength) +
            (r.dataLength > 0 ? ": " + bbutest::hex(r.buff, std::min(r.dataLength, 40U)) : ""));
        for (const std::string &line : bbusim::transcript())
            lines.push_back("bus| " + line);
    };
    const auto log_lines = [&](Daemon &d, int sig) {
        lines.push_back("exit| " + std::to_string(finish(d, sig)));
        add_log(lines, d);
    };
    constexpr std::uint32_t R = OS_I2C_TRAN_READ, W = OS_I2C_TRAN_WRITE;
    Daemon &d = start("--lock-wait", "0");
    const int fd = open_I2C_device(0);
    ASSERT_EQ(lock_I2C_device(fd, 0), 0);
    lines.emplace_back("adapter| held by another program");
    ask_line("", R, 0x40, 33);
    unlock_I2C_device(fd);
    close_I2C_device(fd);
    lines.emplace_back("adapter| free");
    ask_line("", R, 0x40, 33);
    ask_line("", W, 0x40, 3, std::string("\xc8\x00\xc8", 3));
    ask_line("", 3, 0x40, 33);
    ask_line("", R, 0x40, 1025);
    ask_line("", W, 0x80, 1);
    ask_line("", R, 0x50, 1);
    ask_line("", W, 0x50, 1);
    ask_line("fault fail 40 read EIO", R, 0x40, 33);
    ask_line("fault fail 40 ETIMEDOUT", W, 0x40, 3);
    ask_line("fault fail 40 ENOMEM", R, 0x40, 33);
    ask_line("fault short 40 read 20", R, 0x40, 33);
    log_lines(d, SIGTERM);

    // Bad clients get a closed connection and the service goes on.
    Daemon &b = start("--receive-timeout-ms", "100");
    LnxI2cAccSockBufType whole = request(R, 0x40, 33);
    char reply[1];
    const int vanished = client_socket(true);  // 24 bytes, then gone
    send(vanished, &whole, 24, 0);
    close(vanished);
    wait_log(b, "hung up after 24");
    const int silent = client_socket(true);
    lines.push_back("silent client| recv " + std::to_string(recv(silent, reply, 1, 0)));
    close(silent);
    // A client gone before its reply: the daemon's reply must not kill it.
    // The test holds the adapter until the client has gone.
    const int held = open_I2C_device(0);
    ASSERT_EQ(lock_I2C_device(held, 0), 0);
    const int gone = client_socket(true);
    send(gone, &whole, sizeof whole, 0);
    close(gone);
    unlock_I2C_device(held);
    close_I2C_device(held);
    wait_log(b, "not sent");
    ask_line("", R, 0x40, 33);
    log_lines(b, SIGTERM);
    e2e::check_golden("daemon", "requests", lines);
}

// Ids for the daemon run as its unit runs it: a user such as systemd makes
// for it, the group that stands for bbu, a member of that group, and nobody.
constexpr unsigned DAEMON_UID = 61184, BBU_GID = 61185, MEMBER_UID = 61186, NOBODY = 65534;

// The peer for the group checks. As root: user and group `id`, with `groups`
// beside them, keeping only the right to search directories, so that the
// socket stays reachable from a build tree under a private home such as
// /root; the daemon judges a peer by its credentials alone. As another user:
// that user, unchanged. False when the change failed.
bool become_peer(unsigned id, const std::vector<gid_t> &groups = {})
{
    if (geteuid() != 0)
        return true;
    if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setgroups(groups.size(), groups.data()) != 0 ||
        setgid(id) != 0 || setuid(id) != 0)
        return false;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> caps{};
    caps[0].effective = caps[0].permitted = 1U << CAP_DAC_READ_SEARCH;
    return syscall(SYS_capset, &header, caps.data()) == 0;
}

// True when a peer that becomes `id` with `groups` finds what it asks: a
// status read through the library's client served, or (`refused_at_once`) its
// connection closed unanswered within reply_comes' bound, though it sends
// nothing. `peer_pid`, when given, gets the peer's pid.
bool served_as(unsigned id, const std::vector<gid_t> &groups = {}, bool refused_at_once = false,
               pid_t *peer_pid = nullptr)
{
    const pid_t peer = fork();
    if (peer == 0) {
        LnxI2cAccSockBufType b = request(OS_I2C_TRAN_READ, 0x40, 33);
        if (!become_peer(id, groups))
            _exit(2);
        if (!refused_at_once)
            _exit(lnxI2cSktClient(&b) == 0 && b.fromDaemon.status == OS_I2C_TRANS_COMPLETED ? 0
                                                                                            : 3);
        const int fd = client_socket(true);
        char c;
        _exit(fd >= 0 && reply_comes(fd) && recv(fd, &c, 1, 0) <= 0 ? 0 : 3);
    }
    int status = 0;
    waitpid(peer, &status, 0);
    if (peer_pid != nullptr)
        *peer_pid = peer;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(DaemonTest, ServesRootAndItsGroupOnlyAndRefusesOthersAtOnce)
{
    // A peer that is not root: let in by a daemon of the peer's group; refused
    // by one without a group as soon as it connects, though it sends nothing
    // and its time for a request is ten minutes.
    const bool root = geteuid() == 0;
    const gid_t peer_group = root ? NOBODY : getgid();
    for (const bool in_group : {false, true}) {
        const std::string group = std::to_string(peer_group);
        Daemon &d = in_group ? start("--group", group.c_str()) : start("-t", "600000", -1, false);
        if (!in_group)
            chmod(LNX_I2C_SKT_PATH, 0666);  // a socket left open to all: the daemon still checks
        pid_t peer = -1;
        EXPECT_TRUE(served_as(NOBODY, {}, !in_group, &peer))
            << (in_group ? "not served" : "not closed at once");
        finish(d);
        const std::string refused = "refused peer pid " + std::to_string(peer) + " uid " +
                                    std::to_string(root ? 65534 : getuid());
        EXPECT_EQ(d.log.find(refused) != std::string::npos, !in_group) << d.log;
    }
}

// True when other users may pass every folder down to `path`.
bool open_to_all(const std::filesystem::path &path)
{
    for (std::filesystem::path p = path; p != p.root_path(); p = p.parent_path()) {
        struct stat st {};
        if (stat(p.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)
            return false;
    }
    return true;
}

// A socket path another user owns is kept off, even by root, who could
// remove it. Then the daemon as its unit runs it, without systemd: a user of
// its own, the group bbu beside it, no capability and no new privilege. It
// reaches the adapter through the group alone, as the tools' udev rule gives
// it, and serves the group's members.
TEST_F(DaemonTest, KeepsOffAnotherUsersSocketAndServesItsGroupSandboxed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "runs the daemon as another user with setpriv, which takes root";
    if (!open_to_all(root_))
        GTEST_SKIP() << "other users cannot reach " << root_ << ", where the daemon's world is";
    close(client_socket(false));  // left behind by nobody
    ASSERT_EQ(lchown(LNX_I2C_SKT_PATH, NOBODY, NOBODY), 0);
    Daemon &kept_off = start();
    EXPECT_EQ(finish(kept_off), 1);  // SIGTERM: only for a daemon that did start
    EXPECT_THAT(kept_off.log, HasSubstr("bbu-i2cd: /tmp/i2c_skt belongs to uid 65534, not to "
                                        "this daemon's uid 0: not starting\n"));
    EXPECT_EQ(access(LNX_I2C_SKT_PATH, F_OK), 0) << "another user's socket removed";
    unlink(LNX_I2C_SKT_PATH);

    close(open("/dev/i2c-0b", O_RDWR));  // the adapter's file, root's
    for (const char *file : {"/bbusim.adapter.0", "/bbusim.world", "/bbusim.transcript"}) {
        ASSERT_EQ(chown((root_ + file).c_str(), 0, BBU_GID), 0) << file;
        ASSERT_EQ(chmod((root_ + file).c_str(), 0660), 0) << file;
    }
    ASSERT_EQ(chmod((root_ + "/tmp").c_str(), 01777), 0);  // as the machine's /tmp
    const std::string id = std::to_string(DAEMON_UID), bbu = std::to_string(BBU_GID);
    run_as_ = {"setpriv", "--reuid=" + id, "--regid=" + id, "--groups=" + bbu, "--inh-caps=-all"};
    run_as_.insert(run_as_.end(), {"--bounding-set=-all", "--no-new-privs", "--pdeathsig=SIGKILL"});
    run_as_.emplace_back("--");
    Daemon &d = start("--group", bbu.c_str());
    struct stat st {};
    EXPECT_EQ(lstat(LNX_I2C_SKT_PATH, &st), 0);
    EXPECT_EQ(st.st_uid, DAEMON_UID);
    EXPECT_EQ(st.st_gid, BBU_GID);
    EXPECT_TRUE(served_as(MEMBER_UID, {BBU_GID}));
    EXPECT_FALSE(served_as(NOBODY));  // kept out by the socket file's mode
    finish(d);
}

TEST_F(DaemonTest, SlowAndSilentClientsHoldUpNoOther)
{
    Daemon &d = start("--receive-timeout-ms", "600000");
    const LnxI2cAccSockBufType whole = request(OS_I2C_TRAN_READ, 0x40, 33);
    const auto *bytes = reinterpret_cast<const char *>(&whole);
    const int silent = client_socket(true);
    const int slow = client_socket(true);
    ASSERT_EQ(send(slow, bytes, 24, MSG_NOSIGNAL), 24);

    // Answered while the other two still hold their connections.
    const int quick = client_socket(true);
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

// Where it starts, how it stops, the limits it takes and the socket systemd
// hands over, as one golden session (tests/data/golden/daemon/starts.txt).
TEST_F(DaemonTest, StartsSession)
{
    std::vector<std::string> lines;
    const auto ended = [&](const std::string &what, Daemon &d, int sig) {
        const int status = finish(d, sig);
        lines.push_back("daemon| " + what + ": exit " + std::to_string(status) + ", socket file " +
                        (access(LNX_I2C_SKT_PATH, F_OK) == 0 ? "left" : "gone"));
        add_log(lines, d);
    };
    close(client_socket(false));  // a stale socket file
    Daemon &first = start();
    ended("a second daemon", start(), 0);
    wait_log(first, "hung up");  // the second's probe
    ended("the first, on SIGTERM", first, SIGTERM);
    close(open(LNX_I2C_SKT_PATH, O_CREAT | O_WRONLY, 0600));
    ended("a file on the socket's path", start(), 0);
    unlink(LNX_I2C_SKT_PATH);
    const char *const limits[][2] = {{"--receive-timeout-ms", "0"},
                                     {"-t", "600000"},
                                     {"-t", "600001"},
                                     {"--lock-wait", "0"},
                                     {"-w", "86400"},
                                     {"--lock-wait", "86401"},
                                     {"-w", "-1"}};
    for (const auto &[option, value] : limits) {
        Daemon &d = start(option, value);
        ended(std::string(option) + " " + value, d,
              d.log.find("listening") != std::string::npos ? SIGTERM : 0);
    }
    ended("--systemd-socket, none handed over", start("--systemd-socket"), SIGTERM);
    const int listening = client_socket(false);
    Daemon &d = start("--systemd-socket", nullptr, listening);
    close(listening);
    LnxI2cAccSockBufType b = request(OS_I2C_TRAN_READ, 0x40, 33);
    const int rc = lnxI2cSktClient(&b);
    lines.push_back("ask| rc " + std::to_string(rc) + ", status " +
                    std::to_string(b.fromDaemon.status));
    ended("the socket systemd handed over", d, SIGTERM);
    e2e::check_golden("daemon", "starts", lines);
}

}  // namespace
