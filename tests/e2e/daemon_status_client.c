/*
 * daemon_status_client - a small C program built against the installed BBU
 * library that reads the BBU's general status through the access daemon:
 * one lnxI2cSktClient request for 33 bytes at 0x40.
 *
 * Exit status 0 when the daemon read the status, 1 otherwise.
 */
#include <bbu/bbu.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    LnxI2cAccSockBufType msg;
    LnxI2cRetDatType *reply = &msg.fromDaemon;

    memset(&msg, 0, sizeof msg);
    msg.toDaemon.totalSize = sizeof msg.toDaemon;
    msg.toDaemon.in.opAddress = BBU_SAR_ADDR;
    msg.toDaemon.in.op = OS_I2C_TRAN_READ;
    msg.toDaemon.in.dataLength = BBU_GSS_READ_LEN;
    if (lnxI2cSktClient(&msg) != 0) {
        return 1;
    }
    printf("status %u error %u bytes %u firmware %02x.%02x check byte %02x\n",
           (unsigned)reply->status, (unsigned)reply->error, (unsigned)reply->dataLength,
           (unsigned char)reply->buff[30], (unsigned char)reply->buff[31],
           (unsigned char)reply->buff[BBU_GSS_LEN]);
    return reply->status == OS_I2C_TRANS_COMPLETED ? 0 : 1;
}
