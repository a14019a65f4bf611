// request.h - bbu-i2cd's service of one connection: the peer's credentials,
// its 1044-byte request, the transfer on the adapter and the reply.
#ifndef BBU_I2CD_REQUEST_H
#define BBU_I2CD_REQUEST_H

#include <bbu/i2c.h>

#include <sys/types.h>

struct ServeSettings {
    int adapter_fd = -1;            // the open adapter the daemon owns
    const char *adapter = nullptr;  // its path, for messages
    bool has_group = false;         // peers of this group are let in, beside root
    gid_t group = 0;
    int receive_timeout_ms = 2000;  // for the whole request, however it trickles in
    int lock_wait_seconds = 600;    // for another program's work on the bus
};

// Serves one accepted connection and closes it: a refused peer, an
// incomplete request or a client that has gone ends in a log line, never in
// a failure of the daemon. A stop signal waiting to be delivered cuts a wait
// for the adapter short.
void serve_connection(int conn, const ServeSettings &settings);

// One line on standard error, prefixed with the program's name.
void daemon_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif  // BBU_I2CD_REQUEST_H
