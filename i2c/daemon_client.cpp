// The access daemon's client: one request and one reply over the local socket.
#include <bbu/i2c.h>

#include <cstdio>
#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

extern "C" int lnxI2cSktClient(LnxI2cAccSockBufType *buff)
{
    int skt = socket(AF_UNIX, SOCK_STREAM, 0);
    if (skt < 0) {
        perror("socket ");
        return -1;
    }
    sockaddr_un daemon{};
    daemon.sun_family = AF_UNIX;
    std::strncpy(daemon.sun_path, LNX_I2C_SKT_PATH, sizeof daemon.sun_path - 1);
    if (connect(skt, reinterpret_cast<const sockaddr *>(&daemon), sizeof daemon) < 0) {
        perror("connect ");
        close(skt);
        return -1;
    }
    // The whole union goes, the bytes past the request view too. A daemon
    // that has gone must not kill the caller with SIGPIPE.
    if (send(skt, buff, sizeof *buff, MSG_NOSIGNAL) < 0)
        perror("Error sending Notif ReqWord");  // the reply is waited for all the same
    ssize_t got = recv(skt, buff, sizeof *buff, MSG_NOSIGNAL);
    if (got > 0) {
        close(skt);
        return 0;
    }
    if (got == 0)
        printf("client %d: socket %d hung up\n", static_cast<int>(getpid()), skt);
    else
        perror("recv");
    close(skt);
    return -1;
}
