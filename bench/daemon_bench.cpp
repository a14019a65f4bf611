// daemon_bench - load on bbu-i2cd, run under bbusim (daemon_bench.sh): 20
// concurrent clients x 50 status reads through lnxI2cSktClient, beside the
// same read made directly on i2c-dev. Every reply is checked against the
// direct read; requests per second and latency percentiles are printed.
// Local only: the daemon is reached on its local socket, started by this
// program with the listening socket handed over as systemd does.
//
//   daemon_bench BBU_I2CD
#include <bbu/i2c.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int CLIENTS = 20;
constexpr int REQUESTS = 50;
constexpr int STATUS_LEN = 33;

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void report(const char *what, std::vector<double> us, double seconds)
{
    std::sort(us.begin(), us.end());
    auto at = [&](double p) {
        return us[static_cast<std::size_t>(p * (us.size() - 1))];
    };
    std::printf("%-18s %10.0f %9.1f %9.1f %9.1f %9.1f\n", what, us.size() / seconds, at(0.5),
                at(0.9), at(0.99), us.back());
}

// bbu-i2cd started on a listening socket of ours, as systemd starts it.
pid_t start_daemon(const char *path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, LNX_I2C_SKT_PATH);
    unlink(LNX_I2C_SKT_PATH);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        std::perror("daemon_bench: socket");
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 3);
        setenv("LISTEN_FDS", "1", 1);
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        execl(path, path, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fd);
    return pid;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: daemon_bench BBU_I2CD\n");
        return 2;
    }
    // Direct transfers first: the reference bytes and the baseline latency.
    const int fd = open_I2C_device(0);
    char expected[STATUS_LEN];
    std::vector<double> direct;
    const auto direct_start = Clock::now();
    for (int i = 0; i < CLIENTS * REQUESTS; ++i) {
        const auto t = Clock::now();
        if (do_i2c_read(fd, 0x40, STATUS_LEN, expected, 0) != STATUS_LEN)
            return 1;
        direct.push_back(micros(Clock::now() - t));
    }
    const double direct_s = micros(Clock::now() - direct_start) / 1e6;
    close_I2C_device(fd);

    const pid_t daemon = start_daemon(argv[1]);
    std::vector<std::vector<double>> latencies(CLIENTS);
    std::atomic<int> correct{0}, failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < CLIENTS; ++c) {
        clients.emplace_back([&, c] {
            for (int r = 0; r < REQUESTS; ++r) {
                LnxI2cAccSockBufType msg{};
                msg.toDaemon.totalSize = sizeof msg.toDaemon;
                msg.toDaemon.in = {0x40, OS_I2C_TRAN_READ, STATUS_LEN};
                const auto t = Clock::now();
                const int rc = lnxI2cSktClient(&msg);
                latencies[c].push_back(micros(Clock::now() - t));
                const LnxI2cRetDatType &reply = msg.fromDaemon;
                const bool good = rc == 0 && reply.status == OS_I2C_TRANS_COMPLETED &&
                                  reply.dataLength == STATUS_LEN &&
                                  std::memcmp(reply.buff, expected, STATUS_LEN) == 0;
                ++(good ? correct : failed);
            }
        });
    }
    for (std::thread &t : clients)
        t.join();
    const double daemon_s = micros(Clock::now() - start) / 1e6;
    kill(daemon, SIGTERM);
    int status = 0;
    waitpid(daemon, &status, 0);

    std::vector<double> all;
    for (const auto &l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    std::printf("%d clients x %d requests: %d replies correct, %d wrong or lost\n\n", CLIENTS,
                REQUESTS, correct.load(), failed.load());
    std::printf("%-18s %10s %9s %9s %9s %9s\n", "33-byte status", "req/s", "p50 us", "p90 us",
                "p99 us", "max us");
    report("through bbu-i2cd", all, daemon_s);
    report("direct i2c-dev", direct, direct_s);
    return failed == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
