// request.cpp - bbu-i2cd's service of one request (request.h).
//
// One transfer at a time: the request checked, the adapter locked against
// other programs, one i2c-dev transfer made and the reply sent in the
// fromDaemon layout. The connections themselves, and the reading of the
// requests, are connections.cpp's.
#include "request.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sys/socket.h>
#include <unistd.h>

namespace {

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

void answer_request(int conn, const LnxI2cAccSockBufType &request, pid_t peer_pid,
                    const ServeSettings &s)
{
    LnxI2cAccSockBufType reply{};
    const Outcome o = perform(request.toDaemon, reply.fromDaemon, s);
    reply.fromDaemon.totalSize = REQUEST_LEN;
    reply.fromDaemon.status = o.status;
    reply.fromDaemon.error = o.error;
    // A client that has gone must not kill the daemon with SIGPIPE; one that
    // reads nothing must not hold it (the reply fits an empty socket buffer).
    if (send(conn, &reply, REQUEST_LEN, MSG_NOSIGNAL | MSG_DONTWAIT) !=
        static_cast<ssize_t>(REQUEST_LEN))
        daemon_log("reply to peer pid %d not sent: %s", static_cast<int>(peer_pid),
                   std::strerror(errno));
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
