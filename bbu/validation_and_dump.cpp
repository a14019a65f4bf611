// The BBU's memory read through the read-memory command, and the BBU's own
// validation of the image it holds.
#include <bbu/bbu.h>

#include "library_internal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int READ_MEMORY_FRAME_LEN = 8;
constexpr int READ_MEMORY_RESPONSE_LEN = 256;
constexpr int READ_MEMORY_DATA_AT = 6;  // the bytes asked for start here in the response
constexpr unsigned VALIDATE_SECONDS = 10;

// Writes all of @p len bytes to the dump file, if one is open; a failed
// write loses the rest of the chunk, as a file that cannot be opened does.
void write_all(const FileGuard &file, const char *bytes, int len)
{
    while (file.fd >= 0 && len > 0) {
        const ssize_t n = write(file.fd, bytes, static_cast<size_t>(len));
        if (n <= 0)
            return;
        bytes += n;
        len -= static_cast<int>(n);
    }
}

}  // namespace

void set_address(unsigned char *buffer, unsigned long address)
{
    buffer[0] = static_cast<unsigned char>((address >> 24) & 0xffu);
    buffer[1] = static_cast<unsigned char>((address >> 16) & 0xffu);
    buffer[2] = static_cast<unsigned char>((address >> 8) & 0xffu);
    buffer[3] = static_cast<unsigned char>(address & 0xffu);
}

void dump_memory(int i2c_fd, unsigned long start_addr, int length, const char *filename,
                 unsigned char *outbuf, int verbose)
{
    // Not truncated: a dump overwrites an existing file from its start. Never
    // through a planted link.
    const FileGuard file(filename == nullptr
                             ? -1
                             : open(filename, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    while (length > 0) {
        const int chunk = std::min(length, BBU_READ_MEMORY_MAX);
        std::array<unsigned char, READ_MEMORY_FRAME_LEN> frame{0xE0, 0x90,
                                                               static_cast<unsigned char>(chunk)};
        set_address(&frame[3], start_addr);
        frame[7] = sumcheck(frame.data(), READ_MEMORY_FRAME_LEN - 1);
        std::array<char, READ_MEMORY_RESPONSE_LEN> response{};

        int rc = do_i2c_write(i2c_fd, BBU_SAR_ADDR, READ_MEMORY_FRAME_LEN,
                              reinterpret_cast<const char *>(frame.data()), verbose);
        trace_and_show(stdout, verbose != 0, "read memory cmd rc = %d\n", rc);
        // At once: the BBU offers the bytes as soon as it has the command.
        rc = do_i2c_read(i2c_fd, BBU_SARX_ADDR, READ_MEMORY_RESPONSE_LEN, response.data(), verbose);
        trace_and_show(stdout, verbose != 0, "sarx read rc = %d\n", rc);

        const char *data = response.data() + READ_MEMORY_DATA_AT;
        if (verbose != 0) {
            char heading[32];
            std::snprintf(heading, sizeof heading, "addr %08lx data", start_addr);
            print_buffer(heading, data, chunk);
        }
        write_all(file, data, chunk);
        if (outbuf != nullptr) {
            std::memcpy(outbuf, data, static_cast<size_t>(chunk));
            outbuf += chunk;
        }
        start_addr += static_cast<unsigned long>(chunk);
        length -= chunk;
    }
}

int validate_img(int fd, int verbose)
{
    static const char Validate_Image_CMD[] = {'\x8C', '\x8C'};
    sarbuf_t status{};
    read_and_print_status_with_checks(fd, "initial status", &status, verbose);
    char frame[sizeof Validate_Image_CMD];
    std::memcpy(frame, Validate_Image_CMD, sizeof frame);
    I2C_command_with_retry(I2C_RETRY_WRITE, fd, BBU_SAR_ADDR, sizeof frame, frame, verbose);
    sleep(VALIDATE_SECONDS);

    // A verdict only from the status read after the command: one that failed
    // or came corrupt left the older status in the buffer.
    const int rc = read_and_print_status_with_checks(fd, "validate results", &status, verbose);
    if (rc != BBU_STATUS_CLEAN && rc != BBU_STATUS_ERROR_BITS)
        return 0;

    GENERAL_STATUS gss;
    std::memcpy(&gss, status.buffer, sizeof gss);
    if (gss.byte00.BIT.non_zero == 0)
        return 0;
    trace_and_show(stdout, verbose != 0, "nonzero bit is on, good\n");
    if (gss.byte06.BIT.reprogram_req != 0) {
        trace_and_show(stdout, true, "reprogram bit is on\n");
        return 0;
    }
    LogTrace("reprogram bit is off, good\n");
    return 1;
}
