// request.cpp - bbu-i2cd's service of one connection (request.h).
//
// One request per connection, one transfer at a time: the peer is checked,
// the whole request read (so a client is never answered with a reset while
// its bytes lie unread), the request checked, the adapter locked against
// other programs, one i2c-dev transfer made and the reply sent in the
// fromDaemon layout.
#include "request.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr std::size_t MESSAGE_LEN = sizeof(LnxI2cAccSockBufType);
constexpr std::uint32_t MAX_ADDRESS = 0x7f;  // 7-bit addresses only
constexpr int MAX_PEER_GROUPS = 1024;        // a peer in more groups is judged by its own group

// What a reply says: an OsI2cTranStatus and a lnxI2cPCAErrValue (0: none).
struct Outcome {
    std::uint32_t status;
    std::uint32_t error;
};

// The kernel's answer to a failed transfer, in the reply's terms.
struct ErrnoOutcome {
    int err;
    std::uint32_t status;
    std::uint32_t read_error;
    std::uint32_t write_error;
};

constexpr ErrnoOutcome ERRNO_OUTCOMES[] = {
    {ENXIO, OS_I2C_TRANS_NO_ADS, PCA_ARNACK, PCA_AWNACK},  // no device acknowledged
    {EREMOTEIO, OS_I2C_TRANS_NO_ADS, PCA_ARNACK, PCA_AWNACK},
    {ETIMEDOUT, OS_I2C_TRANS_FAILED, PCA_BUSTIME, PCA_BUSTIME},
    {EAGAIN, OS_I2C_TRANS_FAILED, PCA_ARBT, PCA_ARBT},  // arbitration lost
    {EPROTO, OS_I2C_TRANS_FAILED, PCA_BUS, PCA_BUS},
    {EIO, OS_I2C_TRANS_FAILED, PCA_EIO, PCA_EIO},
    {EINVAL, OS_I2C_TRANS_FAILED, PCA_EINVAL, PCA_EINVAL},
    {EBUSY, OS_I2C_BUSY, PCA_EBUSY, PCA_EBUSY},
    {EFAULT, OS_I2C_TRANS_FAILED, PCA_EFAULT, PCA_EFAULT},
    {ENODEV, OS_I2C_TRANS_FAILED, PCA_NOINIT, PCA_NOINIT},  // the adapter has gone
};

long long monotonic_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool stop_pending()
{
    sigset_t pending;
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1);
}

// Root, or a member of the daemon's group (as its own group or a supplementary one).
bool peer_allowed(int conn, const ServeSettings &s, ucred &cred)
{
    socklen_t len = sizeof cred;
    if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    if (cred.uid == 0)
        return true;
    if (!s.has_group)
        return false;
    if (cred.gid == s.group)
        return true;
    gid_t groups[MAX_PEER_GROUPS];
    socklen_t groups_len = sizeof groups;
    if (getsockopt(conn, SOL_SOCKET, SO_PEERGROUPS, groups, &groups_len) != 0)
        return false;
    for (socklen_t i = 0; i < groups_len / sizeof(gid_t); ++i) {
        if (groups[i] == s.group)
            return true;
    }
    return false;
}

// Reads up to the whole request within the receive timeout, however it is
// cut up. Returns the bytes read; `closed` tells that the peer closed first.
std::size_t receive_request(int conn, LnxI2cAccSockBufType &request, int timeout_ms, bool &closed)
{
    auto *bytes = reinterpret_cast<char *>(&request);
    const long long deadline = monotonic_us() + 1000LL * timeout_ms;
    std::size_t got = 0;
    closed = false;
    while (got < MESSAGE_LEN) {
        const long long left_ms = (deadline - monotonic_us() + 999) / 1000;
        pollfd pfd{conn, POLLIN, 0};
        if (left_ms <= 0 || poll(&pfd, 1, static_cast<int>(left_ms)) <= 0)
            break;
        const ssize_t n = recv(conn, bytes + got, MESSAGE_LEN - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            closed = true;
            break;
        }
    }
    return got;
}

// The outcome of a transfer whose request failed with `err`.
Outcome failed_transfer(int err, bool is_read)
{
    for (const ErrnoOutcome &o : ERRNO_OUTCOMES) {
        if (o.err == err)
            return {o.status, is_read ? o.read_error : o.write_error};
    }
    return {OS_I2C_TRANS_FAILED, PCA_UNKNOWN};
}

enum class LockResult { held, timed_out, failed, stopping };

// The adapter's lock, waited for in one-second slices so that a stop signal
// is not held up by another program's long work on the bus.
LockResult lock_adapter(const ServeSettings &s)
{
    for (int waited = 0;; ++waited) {
        const int rc = lock_I2C_device(s.adapter_fd, waited < s.lock_wait_seconds ? 1 : 0);
        if (rc == 0)
            return LockResult::held;
        if (rc != I2C_LOCK_TIMEOUT)
            return LockResult::failed;
        if (waited >= s.lock_wait_seconds)
            return LockResult::timed_out;
        if (stop_pending())
            return LockResult::stopping;
    }
}

// The transfer a checked request asks for, under the adapter's lock.
Outcome transfer(const LnxI2cOpDatType &request, LnxI2cRetDatType &reply, const ServeSettings &s)
{
    switch (lock_adapter(s)) {
    case LockResult::held:
        break;
    case LockResult::timed_out:
        daemon_log("adapter %s still in use by another program after %d s: request refused",
                   s.adapter, s.lock_wait_seconds);
        return {OS_I2C_BUSY, PCA_EBUSY};
    case LockResult::stopping:
        return {OS_I2C_BUSY, PCA_EBUSY};
    case LockResult::failed:
        daemon_log("cannot lock adapter %s: %s", s.adapter, std::strerror(errno));
        return {OS_I2C_TRANS_FAILED, PCA_ERROR};
    }
    const bool is_read = request.in.op == OS_I2C_TRAN_READ;
    const auto addr = static_cast<int>(request.in.opAddress);
    const auto len = static_cast<int>(request.in.dataLength);
    const long long start = monotonic_us();
    // With verbose 0 a failed transfer returns right after the request, errno intact.
    const int carried = is_read ? do_i2c_read(s.adapter_fd, addr, len, reply.buff, 0)
                                : do_i2c_write(s.adapter_fd, addr, len, request.buff, 0);
    const int err = errno;
    reply.invocTime = static_cast<std::uint32_t>(monotonic_us() - start);
    unlock_I2C_device(s.adapter_fd);
    if (carried == I2C_TRANSFER_FAILED)
        return failed_transfer(err, is_read);
    reply.dataLength = static_cast<std::uint32_t>(carried);
    if (carried != len)
        return {OS_I2C_TRANS_UNDERFLOW, is_read ? PCA_XFERPARTR : PCA_XFERPART};
    return {OS_I2C_TRANS_COMPLETED, 0};
}

// Checks the request and performs it; nothing reaches the bus for a bad one.
Outcome perform(const LnxI2cOpDatType &request, LnxI2cRetDatType &reply, const ServeSettings &s)
{
    if (request.in.op != OS_I2C_TRAN_READ && request.in.op != OS_I2C_TRAN_WRITE)
        return {OS_I2C_BAD_OP, PCA_INVALID};
    if (request.in.dataLength > LNX_I2C_DATA_LEN)
        return {OS_I2C_TRANS_OVERFLOW, PCA_EINVAL};
    if (request.in.opAddress > MAX_ADDRESS)
        return {OS_I2C_BAD_OP, PCA_EINVAL};
    return transfer(request, reply, s);
}

}  // namespace

void serve_connection(int conn, const ServeSettings &s)
{
    const timeval send_timeout{s.receive_timeout_ms / 1000,
                               static_cast<suseconds_t>(s.receive_timeout_ms % 1000) * 1000};
    setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    ucred cred{};
    const bool allowed = peer_allowed(conn, s, cred);

    LnxI2cAccSockBufType request{};
    bool closed = false;
    const std::size_t got = receive_request(conn, request, s.receive_timeout_ms, closed);
    if (!allowed) {
        daemon_log("refused peer pid %d uid %u gid %u: neither root nor in the daemon's group",
                   static_cast<int>(cred.pid), static_cast<unsigned>(cred.uid),
                   static_cast<unsigned>(cred.gid));
    } else if (got < MESSAGE_LEN) {
        daemon_log("peer pid %d %s after %zu of %zu request bytes: closed without a reply",
                   static_cast<int>(cred.pid), closed ? "hung up" : "timed out", got, MESSAGE_LEN);
    } else {
        LnxI2cAccSockBufType reply{};
        const Outcome o = perform(request.toDaemon, reply.fromDaemon, s);
        reply.fromDaemon.totalSize = MESSAGE_LEN;
        reply.fromDaemon.status = o.status;
        reply.fromDaemon.error = o.error;
        // A client that has gone must not kill the daemon with SIGPIPE.
        if (send(conn, &reply, MESSAGE_LEN, MSG_NOSIGNAL) != static_cast<ssize_t>(MESSAGE_LEN))
            daemon_log("reply to peer pid %d not sent: %s", static_cast<int>(cred.pid),
                       std::strerror(errno));
    }
    close(conn);
}

void daemon_log(const char *fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "bbu-i2cd: %s\n", line);
}
