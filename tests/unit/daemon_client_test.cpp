// lnxI2cSktClient against daemons of the test's making on the mapped socket:
// none at all, one that hangs up after the request, one with a short and one
// with a whole reply.
#include <bbu/i2c.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "sim_world_fixture.h"

namespace {

constexpr std::size_t kMessageLen = sizeof(LnxI2cAccSockBufType);

std::string pattern(int mul, int add)
{
    std::string bytes(kMessageLen, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * mul + add);
    return bytes;
}

// Takes one connection on the client's socket, reads the whole request,
// answers with `reply` (nothing: it closes without a reply).
class FakeDaemon {
public:
    explicit FakeDaemon(const std::string &reply)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, LNX_I2C_SKT_PATH);
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listen_fd_, 1), 0);
        thread_ = std::thread([this, reply] {
            const int conn = accept(listen_fd_, nullptr, nullptr);
            const timeval patience{2, 0};  // a client that sends less is not waited for forever
            setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            char buf[2 * kMessageLen];
            ssize_t n = 0;
            while (received_.size() < kMessageLen && (n = recv(conn, buf, sizeof buf, 0)) > 0)
                received_.append(buf, static_cast<std::size_t>(n));
            if (!reply.empty())
                send(conn, reply.data(), reply.size(), 0);
            close(conn);
        });
    }
    ~FakeDaemon()
    {
        received();
        close(listen_fd_);
    }
    // The request as it arrived, once the connection is over.
    const std::string &received()
    {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

private:
    int listen_fd_ = -1;
    std::string received_;
    std::thread thread_;
};

struct ClientCase {
    const char *name;
    bool daemon;
    std::size_t reply_len;  // bytes the daemon answers with
    int result;
    const char *out;  // standard output, with %d for the pid and the socket
    const char *err;
};

class DaemonClientTest : public SimWorldTest, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(DaemonClientTest, SendsTheWholeBufferAndKeepsWhatTheReplyLeaves)
{
    const ClientCase &c = GetParam();
    const std::string request = pattern(7, 3), reply = pattern(11, 5);
    std::optional<FakeDaemon> daemon;
    if (c.daemon)
        daemon.emplace(reply.substr(0, c.reply_len));
    const int free_fd = fcntl(0, F_DUPFD, 0);  // the lowest free number: the client's socket
    close(free_fd);

    LnxI2cAccSockBufType buff;
    std::memcpy(&buff, request.data(), kMessageLen);
    bbutest::CaptureStdout();
    bbutest::CaptureStderr();
    EXPECT_EQ(lnxI2cSktClient(&buff), c.result);
    const std::string out = bbutest::GetCapturedStdout(), err = bbutest::GetCapturedStderr();

    char expected_out[128];
    std::snprintf(expected_out, sizeof expected_out, c.out, static_cast<int>(getpid()), free_fd);
    EXPECT_EQ(out, expected_out);
    EXPECT_EQ(err, c.err);
    if (daemon) {
        EXPECT_EQ(daemon->received(), request) << "all 1044 bytes go, the last 4 too";
    }
    const std::string now(reinterpret_cast<const char *>(&buff), kMessageLen);
    EXPECT_EQ(now, reply.substr(0, c.reply_len) + request.substr(c.reply_len));
}

INSTANTIATE_TEST_SUITE_P(Replies, DaemonClientTest,
                         ::testing::Values(ClientCase{"no_daemon", false, 0, -1, "",
                                                      "connect : No such file or directory\n"},
                                           ClientCase{"hangs_up", true, 0, -1,
                                                      "client %d: socket %d hung up\n", ""},
                                           ClientCase{"short_reply", true, 24, 0, "", ""},
                                           ClientCase{"whole_reply", true, kMessageLen, 0, "", ""}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
