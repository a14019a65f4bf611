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
 *         I2C_RDWR request fails.
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

#ifdef __cplusplus
}
#endif

#endif /* BBU_I2C_H */
