// connections.h - bbu-i2cd's clients: accepting them, judging each peer at
// once, and reading every pending request against its own deadline.
#ifndef BBU_I2CD_CONNECTIONS_H
#define BBU_I2CD_CONNECTIONS_H

#include <csignal>

#include "request.h"

// Serves clients on `listen_fd` until `stop` is set by a stop signal. Stop
// signals are held back while a request is served and delivered only in the
// wait for clients, with the signal mask `waiting`. Returns the exit status:
// 0 after a stop, 1 when waiting for clients fails.
int serve_clients(int listen_fd, const ServeSettings &settings, const sigset_t &waiting,
                  const volatile std::sig_atomic_t &stop);

#endif  // BBU_I2CD_CONNECTIONS_H
