/*
 * bbu/i2c.h - device access for the BBU service library: single-message
 * transfers on a Linux i2c-dev adapter, the retried transfers over them, and
 * the timestamped trace log.
 *
 * Every access to the bus goes through do_i2c_read() and do_i2c_write().
 * The caller owns the descriptor returned by open_I2C_device() and passes it
 * to every call; the library never opens or closes it on its own.
 *
 * This header compiles as C (C99) and as C++. The man page libbbu(3) gives
 * an overview and shows how to build against the library.
 */
#ifndef BBU_I2C_H
#define BBU_I2C_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define BBU_API __attribute__((visibility("default")))
#define BBU_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define BBU_API
#define BBU_PRINTF(fmt, args)
#endif

/**
 * @defgroup transfers Transfers and trace log
 * @{
 *
 * One transfer is one struct i2c_msg passed to the I2C_RDWR request of
 * i2c-dev. The BBU operations transfer 1 to 256 bytes at a time.
 *
 * Process-wide state: I2C_Adapter, and the buffers of the trace log, so
 * LogTrace() and every transfer that traces belong to one thread at a time.
 */

/**
 * Adapter device opened by open_I2C_device(); initially "/dev/i2c-0b". Set it
 * before the open to use another adapter; the library only reads it.
 */
BBU_API extern char *I2C_Adapter;

/** Result of a transfer whose I2C_RDWR request failed. */
#define I2C_TRANSFER_FAILED (-6)

/**
 * Open the adapter named by I2C_Adapter for reading and writing.
 * @param verbose Has no effect: a failed open is always reported.
 * @return The descriptor (0 or greater), or the negative result of the open.
 *         The caller owns the descriptor: it passes it to every operation and
 *         closes it with close_I2C_device().
 *
 * On failure the system error is reported on standard error with the prefix
 * "i2c open failed", and "I2C open failed, rc = %d \n" goes to standard
 * output and to the trace log.
 */
BBU_API int open_I2C_device(int verbose);

/** Close @p fd, a descriptor returned by open_I2C_device(). Silent. */
BBU_API void close_I2C_device(int fd);

/**
 * Read @p len bytes from device @p addr into @p buffer in one transfer.
 * @param i2c_fd  The caller's open adapter descriptor.
 * @param addr    7-bit device address.
 * @param len     Bytes to read, 1 to 256 for the BBU's devices.
 * @param buffer  Caller-owned, at least @p len bytes: receives the bytes read.
 * @param verbose Non-zero prints the outcome (standard output for success,
 *                standard error for failures) and traces it; 0 prints and
 *                traces nothing, also on failure.
 * @return The message's length field after the transfer (equal to @p len for
 *         a complete transfer), or I2C_TRANSFER_FAILED (-6) when the
 *         I2C_RDWR request fails (with @p verbose 0, errno is then the
 *         request's).
 */
BBU_API int do_i2c_read(int i2c_fd, int addr, int len, char *buffer, int verbose);

/**
 * Write the @p len bytes of @p buffer to device @p addr in one transfer.
 * Parameters as do_i2c_read(); @p buffer is only read. With @p verbose
 * non-zero the address and first byte are shown before the transfer, and the
 * outcome after it.
 * @return As do_i2c_read(): the length carried, or -6 on failure.
 */
BBU_API int do_i2c_write(int i2c_fd, int addr, int len, const char *buffer, int verbose);

/** The trace log file; every line is appended to it. */
#define BBU_TRACE_LOG_PATH "/opt/Logs/bbu/logs/BBU.log"

/**
 * Format a printf-style message and append it to the trace log as one line:
 * "YYYY-MM-DD HH:MM:SS.<microseconds> <message>\n". The file is opened and
 * closed on every call; a message longer than 512 characters is truncated.
 * When the file cannot be opened, "Can't open Log File - <path>" is printed
 * on standard error and the message is lost; the caller is never told.
 * Uses process-wide buffers: not reentrant, call from one thread at a time.
 * @param szTemplate printf format of the message, followed by its arguments.
 */
BBU_API void LogTrace(const char *szTemplate, ...) BBU_PRINTF(1, 2);

/** @} */

/**
 * @defgroup retry Retried transfers
 * @{
 *
 * The library's one retry layer over do_i2c_read() and do_i2c_write(). It
 * keeps no state between calls and adds no delay: pacing between BBU
 * operations is the caller's business.
 */

#define I2C_RETRY_READ 1          /**< @p rw of I2C_command_with_retry(): read */
#define I2C_RETRY_WRITE 2         /**< @p rw of I2C_command_with_retry(): write */
#define I2C_RETRY_ATTEMPTS 3      /**< attempts in all, not retries after a first one */
#define I2C_RETRY_BAD_OPTION (-2) /**< result for an @p rw that is neither read nor write */

/**
 * Make the same transfer up to three times in a row, stopping at the first
 * attempt whose result is greater than 0.
 * @param rw      I2C_RETRY_READ (each attempt is a do_i2c_read()) or
 *                I2C_RETRY_WRITE (each attempt is a do_i2c_write()). Any other
 *                value is rejected before any transfer.
 * @param fd      The caller's open adapter descriptor.
 * @param addr    7-bit device address, passed on unchanged.
 * @param length  Bytes to transfer, passed on unchanged. With 0 no attempt can
 *                succeed, so three transfers are made and the call fails.
 * @param buffer  Caller-owned: the bytes to write, or where the read bytes go.
 *                Every attempt uses it; a failed read attempt leaves it as the
 *                transfer left it.
 * @param verbose Passed to every attempt: switches the transfers' own
 *                messages only.
 * @return The result of the last attempt made: the transferred length on
 *         success, the last failure value (0 or negative) when all three
 *         attempts failed, or -2 for a bad @p rw (buffer untouched).
 *
 * Writes to the trace log only, whatever @p verbose is:
 * "Performing I2C commands with retry" first; then, for a bad @p rw,
 * "Invalid I2C retry option, rc = -2" and nothing more; after three failed
 * attempts "I2C Read with retry failed to read" or "I2C Write with retry
 * failed to write"; and last "I2C command with retry, rc = <result>".
 */
BBU_API int I2C_command_with_retry(int rw, int fd, int addr, int length, char *buffer, int verbose);

/** @} */

/**
 * @defgroup daemon_client Access daemon client and adapter lock
 * @{
 *
 * A second road to the bus: one request and one reply exchanged with an I2C
 * access daemon (such as bbu-i2cd(8)) that owns the adapter and listens on
 * the local stream socket LNX_I2C_SKT_PATH. The message is one 1044-byte
 * union in the host's byte order: the caller fills the request view
 * toDaemon, and after a successful call reads the reply view fromDaemon.
 *
 * And the rule that one program at a time drives the BBU: every program that
 * works on the bus holds an advisory exclusive lock on its open adapter
 * (flock(2) on the descriptor) for the whole of its work, a capture, a
 * daemon request or a flash load (a flash load must be done under it).
 */

#define LNX_I2C_SKT_PATH "/tmp/i2c_skt" /**< the daemon's socket */
#define LNX_I2C_DATA_LEN 1024           /**< data bytes a message can carry */

/** Operation of a request (LnxArchArea.op). */
typedef enum OsTransType {
    OS_I2C_TRAN_READ = 1, /**< read dataLength bytes from opAddress */
    OS_I2C_TRAN_WRITE = 2 /**< write dataLength bytes of buff to opAddress */
} OsTransType;

/** Transfer status of a reply (LnxI2cRetDatType.status). */
typedef enum OsI2cTranStatus {
    OS_I2C_TRANS_IN_PROG = 0,
    OS_I2C_TRANS_COMPLETED = 1,
    OS_I2C_TRANS_FAILED = 2,
    OS_I2C_BAD_OP = 4,
    OS_I2C_BUSY = 16,
    OS_I2C_TRANS_UNDERFLOW = 32,
    OS_I2C_TRANS_OVERFLOW = 64,
    OS_I2C_TRANS_NO_ADS = 128
} OsI2cTranStatus;

/** Error code of a reply (LnxI2cRetDatType.error). */
typedef enum lnxI2cPCAErrValue {
    PCA_INIT = 1,
    PCA_NOINIT = 2,
    PCA_ERROR = 3,
    PCA_BUSTIME = 4,
    PCA_ARNACK = 5,
    PCA_AWNACK = 6,
    PCA_ARBT = 7,
    PCA_BUS = 8,
    PCA_EIO = 9,
    PCA_EINVAL = 10,
    PCA_EBUSY = 11,
    PCA_RESET = 12,
    PCA_NOSIO = 13,
    PCA_XFERPARTR = 14,
    PCA_XFERPART = 15,
    PCA_EFAULT = 16,
    PCA_INVALID = 17,
    PCA_UNKNOWN = 255
} lnxI2cPCAErrValue;

/** The operation of a request (bytes 4 to 15 of the message). */
typedef struct LnxArchArea {
    uint32_t opAddress;  /**< 7-bit I2C device address */
    uint32_t op;         /**< an OsTransType */
    uint32_t dataLength; /**< data bytes to read or write, at most LNX_I2C_DATA_LEN */
} LnxArchArea;

/** The request view, toDaemon: 1040 bytes. */
typedef struct LnxI2cOpDatType {
    uint32_t totalSize;          /**< total size of the request */
    LnxArchArea in;              /**< the operation */
    char buff[LNX_I2C_DATA_LEN]; /**< data to write */
} LnxI2cOpDatType;

/** The reply view, fromDaemon: 1044 bytes. */
typedef struct LnxI2cRetDatType {
    uint32_t totalSize;          /**< total size of the reply */
    uint32_t status;             /**< an OsI2cTranStatus */
    uint32_t dataLength;         /**< data bytes carried */
    uint32_t error;              /**< a lnxI2cPCAErrValue */
    uint32_t invocTime;          /**< invocation time, as the daemon defines it */
    char buff[LNX_I2C_DATA_LEN]; /**< data read */
} LnxI2cRetDatType;

/** One message to or from the daemon: the request, overwritten by the reply. */
typedef union LnxI2cAccSockBufType {
    LnxI2cOpDatType toDaemon;
    LnxI2cRetDatType fromDaemon;
} LnxI2cAccSockBufType;

/**
 * Send the request in @p buff to the daemon on LNX_I2C_SKT_PATH and store
 * its reply in the same buffer: one connection, all 1044 bytes sent in one
 * call, one receive of up to 1044 bytes, the connection closed again. A
 * reply shorter than 1044 bytes replaces only the bytes that came. No
 * broken-pipe signal is raised.
 * @param buff Caller-owned for the call: toDaemon filled in, fromDaemon read
 *             after a return of 0.
 * @return 0 when a reply of at least one byte arrived, -1 otherwise.
 *
 * Failures are reported as perror(3) reports them, with the prefixes
 * "socket " and "connect " (then nothing is sent), "Error sending Notif
 * ReqWord" (the reply is still waited for) and "recv"; a daemon that closes
 * without replying gives "client <pid>: socket <fd> hung up\n" on standard
 * output. Writes no trace.
 */
BBU_API int lnxI2cSktClient(LnxI2cAccSockBufType *buff);

#define I2C_LOCK_WAIT_FOREVER (-1) /**< @p wait_seconds: wait as long as the holder works */
#define I2C_LOCK_TIMEOUT (-2)      /**< lock_I2C_device(): the wait expired */

/**
 * Take the exclusive lock on the adapter open as @p i2c_fd, waiting while
 * another program holds it. The lock belongs to the open adapter: it is
 * shared with duplicated and inherited descriptors and released by
 * unlock_I2C_device(), or when the last of them is closed (at exit, say).
 * Programs must open the same device node for the lock to keep them apart.
 * @param i2c_fd       The caller's open adapter descriptor.
 * @param wait_seconds I2C_LOCK_WAIT_FOREVER, 0 for one try, or the longest
 *                     wait in real time (the clock, not the process's sleeps).
 * @return 0 when held; I2C_LOCK_TIMEOUT when another program still held it
 *         at the end of the wait; -1 with errno set when the lock cannot be
 *         taken (a bad descriptor; EINTR: a signal handler ran while waiting).
 *
 * Silent: the caller words its own message.
 */
BBU_API int lock_I2C_device(int i2c_fd, int wait_seconds);

/** Release the lock taken by lock_I2C_device(). 0, or -1 with errno set. */
BBU_API int unlock_I2C_device(int i2c_fd);

/** @} */

#ifdef __cplusplus
}
#define BBU_STATIC_ASSERT static_assert
#else
#define BBU_STATIC_ASSERT _Static_assert
#endif

/* The daemon's message is the same 1044 bytes on both sides of the socket. */
BBU_STATIC_ASSERT(sizeof(LnxArchArea) == 12, "LnxArchArea is 12 bytes");
BBU_STATIC_ASSERT(sizeof(LnxI2cOpDatType) == 1040, "toDaemon is 1040 bytes");
BBU_STATIC_ASSERT(offsetof(LnxI2cOpDatType, in) == 4, "in at byte 4");
BBU_STATIC_ASSERT(offsetof(LnxI2cOpDatType, in.op) == 8, "in.op at byte 8");
BBU_STATIC_ASSERT(offsetof(LnxI2cOpDatType, in.dataLength) == 12, "in.dataLength at byte 12");
BBU_STATIC_ASSERT(offsetof(LnxI2cOpDatType, buff) == 16, "request data at byte 16");
BBU_STATIC_ASSERT(sizeof(LnxI2cRetDatType) == 1044, "fromDaemon is 1044 bytes");
BBU_STATIC_ASSERT(offsetof(LnxI2cRetDatType, status) == 4, "status at byte 4");
BBU_STATIC_ASSERT(offsetof(LnxI2cRetDatType, dataLength) == 8, "dataLength at byte 8");
BBU_STATIC_ASSERT(offsetof(LnxI2cRetDatType, error) == 12, "error at byte 12");
BBU_STATIC_ASSERT(offsetof(LnxI2cRetDatType, invocTime) == 16, "invocTime at byte 16");
BBU_STATIC_ASSERT(offsetof(LnxI2cRetDatType, buff) == 20, "reply data at byte 20");
BBU_STATIC_ASSERT(sizeof(LnxI2cAccSockBufType) == 1044, "the message is 1044 bytes");

#endif /* BBU_I2C_H */
