// The command handshake of the flash load: the ready and accept polls of the
// general status, the clear-status command, and the two re-sends, of a Take
// Flash Block the BBU did not take and of a block it received with a bad
// checksum.
#include <bbu/bbu.h>

#include "library_internal.h"

#include <array>

#include <unistd.h>

int TFB_delay = 0;
int TFB_delaytime = 0;
char byte12_beforeTFB;
char byte13_beforeTFB;
char byte12_afterTFB;
char byte13_afterTFB;

namespace {

constexpr int MAX_RETRIES = 15;      // status reads of one poll
constexpr useconds_t POLL_US = 100;  // between them
constexpr int COMPLETE_READ = 30;    // a read carrying more is a status
constexpr int MAX_RETRY = 3;         // re-sends of a TFB or a block

// Poll buffer: the status display reads 48 bytes.
using PollBuffer = std::array<char, BBU_STATUS_DISPLAY_LEN>;

int read_status(int fd_i2c, PollBuffer &buffer, int verbose)
{
    buffer.fill(0);
    return do_i2c_read(fd_i2c, BBU_SAR_ADDR, BBU_GSS_LEN, buffer.data(), verbose);
}

}  // namespace

void note_status_before_tfb()
{
    // Bytes 12 and 13 change when the BBU takes the block: remember them
    // from the status read just before the TFB.
    byte12_beforeTFB = global_GSS[12];
    byte13_beforeTFB = global_GSS[13];
}

int wait_for_cmd_ready(int fd_i2c, int verbose)
{
    PollBuffer buffer;
    int cmd_ready = 0;
    for (int retries = 0; cmd_ready == 0 && retries < MAX_RETRIES; ++retries) {
        if (retries > 0)
            usleep(POLL_US);
        const int read_len = read_status(fd_i2c, buffer, verbose);
        if (read_len > COMPLETE_READ && (buffer[0] & SAR0_CMD_IN_PROGRESS) == 0) {
            cmd_ready = 1;
        } else if (read_len > COMPLETE_READ) {
            if (verbose != 0)
                print_general_status("not ready, delaying", buffer.data());
        } else {
            trace_and_show(stdout, verbose != 0, "not ready, delaying, read_len %d\n", read_len);
        }
    }
    return cmd_ready;
}

int wait_for_cmd_accept(int fd_i2c, int verbose)
{
    PollBuffer buffer;
    for (int retries = 0; retries < MAX_RETRIES;) {
        if (retries > 0)
            usleep(POLL_US);
        const int read_len = read_status(fd_i2c, buffer, verbose);
        if (read_len <= COMPLETE_READ) {
            // Bytes 12 and 13 of a read that did not fill the buffer say
            // nothing: a lost TFB must not look taken from them.
            trace_and_show(stdout, verbose != 0, "wait for ack read_len %d\n", read_len);
            ++retries;
            continue;
        }
        byte12_afterTFB = buffer[12];
        byte13_afterTFB = buffer[13];
        if (verbose != 0)
            print_general_status("wait for ack", buffer.data());
        // The first complete status decides; commandInProgress is not looked at.
        return buffer[5] == 0 ? 1 : -1;
    }
    return -1;
}

int clear_status(int fd_i2c, int verbose)
{
    static constexpr char Clear_Status_CMD[] = {'\xE9', '\xE9'};
    usleep(POLL_US);
    return do_i2c_write(fd_i2c, BBU_SAR_ADDR, sizeof Clear_Status_CMD, Clear_Status_CMD, verbose);
}

int check_and_retryTFB(int i2c_fd, const char *sar_buf, int verbose)
{
    std::array<char, 2> tfb{sar_buf[0], sar_buf[1]};
    int rc = BBU_TFB_TAKEN;
    int retryCount = 0;
    for (; retryCount < MAX_RETRY; ++retryCount) {
        // Taken only when both bytes moved; always against the status seen
        // before the first TFB of this block.
        if (byte12_beforeTFB != byte12_afterTFB && byte13_beforeTFB != byte13_afterTFB)
            break;
        LogTrace("***TFB command lost, retry TFB***");
        if (I2C_command_with_retry(I2C_RETRY_WRITE, i2c_fd, BBU_SAR_ADDR,
                                   static_cast<int>(tfb.size()), tfb.data(), verbose) < 0) {
            LogTrace("TFB RE-WRITE failed, exit processCodeLoad");
            return BBU_TFB_FAILED;
        }
        tfb_delay();
        LogTrace("tfb command read status\n");
        if (read_and_print_status_with_checks(i2c_fd, "sar write", nullptr, verbose) ==
            BBU_STATUS_ERROR_BITS) {
            LogTrace("GSS check failed after TFB RE-WRITE, exit processCodeLoad");
            return BBU_TFB_FAILED;
        }
        // Refreshes the after-values; an unaccepted TFB does not stop the retries.
        wait_for_cmd_accept(i2c_fd, verbose);
        rc = BBU_TFB_RESENT;
    }
    if (retryCount == MAX_RETRY) {
        LogTrace("TFB RE-WRITE reached max retry");
        rc = BBU_TFB_RESENT;
    }
    return rc;
}

int rewriteToSARX(int i2c_fd, int length, const char *buffer, int verbose)
{
    int rc = 0;
    int retryCount = 0;
    for (; retryCount < MAX_RETRY; ++retryCount) {
        LogTrace("***Checksum error, rewrite to SARX***");
        checksumError = 0;
        if (do_i2c_write(i2c_fd, BBU_SARX_ADDR, length, buffer, verbose) < 0)
            LogTrace("SARX WRITE FAILED");
        trace_and_show(stdout, verbose != 0, "read and print status\n");
        rc = read_and_print_status_with_checks(i2c_fd, "sarx write", nullptr, verbose);
        // Clean, or an error other than a bad checksum: the re-sends are over.
        if (rc == BBU_STATUS_CLEAN || checksumError == 0)
            break;
    }
    if (retryCount == MAX_RETRY) {
        LogTrace("RE-WRITE to SARX reached max retry");
        rc = 1;
    }
    return rc;
}
