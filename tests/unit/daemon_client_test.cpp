// lnxI2cSktClient against daemons of the test's making on the mapped socket:
// none at all, one that hangs up after the request, one with a short and one
// with a whole reply.
#include <bbu/i2c.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "sim_world.h"

namespace {

constexpr std::size_t kMessageLen = sizeof(LnxI2cAccSockBufType);

struct ClientCase {
    const char *name;
    int reply_len;  // bytes the daemon answers with; -1: no daemon
    int result;
    const char *out;  // standard output, with %d for the pid and the socket
    const char *err;
};

class DaemonClientTest : public SimWorldTest, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(DaemonClientTest, SendsTheWholeBufferAndKeepsWhatTheReplyLeaves)
{
    const ClientCase &c = GetParam();
    std::string request(kMessageLen, '\0'), reply(kMessageLen, '\0'), received;
    for (std::size_t i = 0; i < kMessageLen; ++i) {
        request[i] = static_cast<char>(i * 7 + 3);
        reply[i] = static_cast<char>(i * 11 + 5);
    }
    // The daemon: one connection, the whole request read, reply_len bytes answered.
    const sockaddr_un addr{AF_UNIX, LNX_I2C_SKT_PATH};
    const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    std::thread daemon;
    if (c.reply_len >= 0) {
        ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listening, 1), 0);
        daemon = std::thread([&] {
            const int conn = accept(listening, nullptr, nullptr);
            const timeval patience{2, 0};  // a client that sends less is not waited for forever
            setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
            char buf[kMessageLen];
            for (ssize_t n = 0;
                 received.size() < kMessageLen && (n = recv(conn, buf, sizeof buf, 0)) > 0;)
                received.append(buf, static_cast<std::size_t>(n));
            send(conn, reply.data(), static_cast<std::size_t>(c.reply_len), 0);
            close(conn);
        });
    }
    LnxI2cAccSockBufType buff;
    std::memcpy(&buff, request.data(), kMessageLen);
    int result = 0;
    int free_fd = -1;
    const bbutest::Output captured = bbutest::capture([&] {
        free_fd = fcntl(0, F_DUPFD, 0);  // the lowest free number: the client's socket
        close(free_fd);
        result = lnxI2cSktClient(&buff);
    });
    EXPECT_EQ(result, c.result);
    const std::string &out = captured.out, &err = captured.err;
    if (daemon.joinable())
        daemon.join();
    close(listening);

    char expected_out[128];
    std::snprintf(expected_out, sizeof expected_out, c.out, static_cast<int>(getpid()), free_fd);
    EXPECT_EQ(out, expected_out);
    EXPECT_EQ(err, c.err);
    EXPECT_EQ(received, c.reply_len >= 0 ? request : "") << "all 1044 bytes go, the last 4 too";
    const std::size_t replaced = c.reply_len > 0 ? static_cast<std::size_t>(c.reply_len) : 0;
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&buff), kMessageLen),
              reply.substr(0, replaced) + request.substr(replaced));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DaemonClientTest,
    ::testing::Values(ClientCase{"no_daemon", -1, -1, "", "connect : No such file or directory\n"},
                      ClientCase{"hangs_up", 0, -1, "client %d: socket %d hung up\n", ""},
                      ClientCase{"short_reply", 24, 0, "", ""},
                      ClientCase{"whole_reply", kMessageLen, 0, "", ""}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
