// request.h - bbu-i2cd's service of one request: the peer's credentials, the
// check of its 1044-byte request, the transfer on the adapter and the reply.
#ifndef BBU_I2CD_REQUEST_H
#define BBU_I2CD_REQUEST_H

#include <bbu/i2c.h>

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

struct ServeSettings {
    int adapter_fd = -1;            // the open adapter the daemon owns
    const char *adapter = nullptr;  // its path, for messages
    bool has_group = false;         // peers of this group are let in, beside root
    gid_t group = 0;
    int receive_timeout_ms = 2000;  // for each client's whole request, however it trickles in
    int lock_wait_seconds = 600;    // for another program's work on the bus
};

constexpr std::size_t REQUEST_LEN = sizeof(LnxI2cAccSockBufType);

// True for root and for a member of the daemon's group (its own group or a
// supplementary one); `cred` gets the peer's credentials for messages.
bool peer_allowed(int conn, const ServeSettings &settings, ucred &cred);

// Performs a whole request received on `conn` (checked first: nothing
// reaches the bus for a bad one) and sends the reply; a client that has gone
// ends in a log line. A stop signal waiting to be delivered cuts a wait for
// the adapter short. Does not close `conn`.
void answer_request(int conn, const LnxI2cAccSockBufType &request, pid_t peer_pid,
                    const ServeSettings &settings);

// One line on standard error, prefixed with the program's name.
void daemon_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif  // BBU_I2CD_REQUEST_H
