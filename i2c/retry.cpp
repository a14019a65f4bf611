// Retried transfers: the same single-message transfer made up to three times in
// a row. Everything this layer says goes to the trace log only; the transfers'
// own console messages stay under the caller's verbose flag.
#include <bbu/i2c.h>

namespace {

constexpr int MAX_RETRY = I2C_RETRY_ATTEMPTS;

}  // namespace

int I2C_command_with_retry(int rw, int fd, int addr, int length, char *buffer, int verbose)
{
    LogTrace("Performing I2C commands with retry");

    int rc = 0;
    int retryCount = 0;
    for (; retryCount < MAX_RETRY; ++retryCount) {
        if (rw == I2C_RETRY_READ) {
            rc = do_i2c_read(fd, addr, length, buffer, verbose);
        } else if (rw == I2C_RETRY_WRITE) {
            rc = do_i2c_write(fd, addr, length, buffer, verbose);
        } else {
            // No transfer has been made yet, so the value shown is the result itself.
            LogTrace("Invalid I2C retry option, rc = %d\n", I2C_RETRY_BAD_OPTION);
            return I2C_RETRY_BAD_OPTION;
        }
        // A result of 0 carried nothing: only a positive length counts as done.
        if (rc > 0) {
            break;
        }
    }

    if (retryCount == MAX_RETRY) {
        LogTrace(rw == I2C_RETRY_READ ? "I2C Read with retry failed to read"
                                      : "I2C Write with retry failed to write");
    }
    LogTrace("I2C command with retry, rc = %d\n", rc);
    return rc;
}
