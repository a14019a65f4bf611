// Status display: the hex dump, the decoded general status and the plain
// (unchecked) status reads that feed them. Every item printed also goes to the
// trace log as a line of its own.
#include <bbu/bbu.h>
#include <bbu/status_bits.h>

#include "library_internal.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// The dump line under construction: 32 hex digits and 3 blanks at most.
constexpr std::size_t DUMP_LINE_LEN = 128;
constexpr int BYTES_PER_LINE = 16;
constexpr int BYTES_PER_GROUP = 4;

// The status bytes that get a line of their own; byte 1 is only the
// complement of byte 0 and appears in the dump alone.
constexpr std::array<int, 6> DISPLAYED_BYTES{0, 2, 3, 4, 5, 6};

// Shows a line item on standard output and writes it to the trace log.
void show(const char *text)
{
    std::fputs(text, stdout);
    LogTrace("%s", text);
}

}  // namespace

void print_buffer(const char *msg, const void *bufptr1, int len)
{
    const auto *bytes = static_cast<const unsigned char *>(bufptr1);
    std::array<char, DUMP_LINE_LEN> temp{};
    std::size_t used = 0;

    std::printf("%s length = %d\n", msg, len);
    LogTrace("%s length = %d\n", msg, len);

    for (int i = 0; i < len; ++i) {
        std::printf("%02x", bytes[i]);
        used += static_cast<std::size_t>(
            std::snprintf(temp.data() + used, temp.size() - used, "%02x", bytes[i]));
        if (i % BYTES_PER_LINE == BYTES_PER_LINE - 1) {
            // Only complete lines reach the trace log.
            LogTrace("%s", temp.data());
            temp[0] = '\0';
            used = 0;
            std::printf("\n");
        } else if (i % BYTES_PER_GROUP == BYTES_PER_GROUP - 1) {
            temp[used++] = ' ';
            temp[used] = '\0';
            std::printf(" ");
        }
    }
    std::printf("\n");
}

void print_general_status(const char *msg, const char *stat)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(stat);
    std::array<char, 64> item{};

    print_buffer(msg, stat, BBU_STATUS_DISPLAY_LEN);

    std::printf("general status======= %s\n", msg);
    LogTrace("general status======= %s\n", msg);

    for (const int n : DISPLAYED_BYTES) {
        std::snprintf(item.data(), item.size(), "byte%d %02x ", n, bytes[n]);
        show(item.data());
        // Bits without a label are never named; byte 4 is read as its i2c flag only.
        for (const bbu_status::Bit &bit : bbu_status::BITS) {
            if (bit.byte == n && bit.label != nullptr && (bytes[n] & bit.mask) != 0) {
                show(bit.label);
            }
        }
        show("\n");
    }
}

void read_and_print_status_with_retry(int retry, int fd, const char *msg, sarbuf_t *outbuf,
                                      int verbose)
{
    const int local_verbose = bbu_status_verbose(verbose);
    std::array<char, BBU_STATUS_WORK_LEN> sar_buff{};

    // The result is not examined: what the read left (zeros where it failed)
    // is what is shown and copied.
    if (retry == 0) {
        do_i2c_read(fd, BBU_SAR_ADDR, BBU_GSS_LEN, sar_buff.data(), local_verbose);
    } else {
        I2C_command_with_retry(I2C_RETRY_READ, fd, BBU_SAR_ADDR, BBU_GSS_LEN, sar_buff.data(),
                               local_verbose);
    }

    if (verbose != 0) {
        print_general_status(msg, sar_buff.data());
    }
    if (outbuf != nullptr) {
        std::memcpy(outbuf->buffer, sar_buff.data(), sar_buff.size());
    }
}

void read_and_print_status(int fd, const char *msg, sarbuf_t *outbuf, int verbose)
{
    read_and_print_status_with_retry(0, fd, msg, outbuf, verbose);
}
