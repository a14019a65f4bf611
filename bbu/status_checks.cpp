// Checked status reads: the whole general status read with retries, its check
// byte verified and the error bits of status bytes 4, 5 and 6 traced. The
// flash load relies on global_GSS and checksumError between its reads.
#include <bbu/bbu.h>
#include <bbu/status_bits.h>

#include "library_internal.h"

#include <array>
#include <bit>
#include <cstring>

char global_GSS[BBU_STATUS_WORK_LEN];
int checksumError = 0;

namespace {

// Traces each set error bit of status byte @p n, from the highest mask down;
// 1 when one was set.
int check_byte(const char *gss, int n)
{
    const auto value = static_cast<unsigned char>(gss[n]);
    int rc = 0;
    for (const bbu_status::Bit &bit : bbu_status::BITS) {
        if (bit.byte != n || bit.role != bbu_status::Role::error || (value & bit.mask) != bit.mask)
            continue;
        rc = 1;
        // The BBU saw a bad checksum in what it last received.
        if (n == 5 && bit.mask == CHKSUM_ERR) {
            checksumError = 1;
        }
        LogTrace("ERROR, Byte%d, Bit%d is ON", n, std::countr_zero(bit.mask));
    }
    return rc;
}

}  // namespace

int checkByte4(const char *gss)
{
    return check_byte(gss, 4);
}

int checkByte5(const char *gss)
{
    return check_byte(gss, 5);
}

int checkByte6(const char *gss)
{
    return check_byte(gss, 6);
}

int read_and_print_status_with_checks(int fd, const char *msg, sarbuf_t *outbuf, int verbose)
{
    const int local_verbose = bbu_status_verbose(verbose);

    std::memset(global_GSS, 0, sizeof global_GSS);
    int rc = I2C_command_with_retry(I2C_RETRY_READ, fd, BBU_SAR_ADDR, BBU_GSS_READ_LEN, global_GSS,
                                    local_verbose);
    if (rc != BBU_GSS_READ_LEN) {
        LogTrace("***I2C Read GSS failed, rc = %d***\n", rc);
        return rc;
    }

    rc = BBU_STATUS_CLEAN;
    const unsigned char calculated =
        sumcheck(reinterpret_cast<const unsigned char *>(global_GSS), BBU_GSS_LEN);
    const auto actual = static_cast<unsigned char>(global_GSS[BBU_GSS_LEN]);
    if (calculated != actual) {
        // A corrupt status is never shown nor handed on; global_GSS keeps it.
        LogTrace("***GSS returned bad checksum***");
        LogTrace("Calculate checksum = %02x Actual chksum %02x\n", calculated, actual);
        return BBU_STATUS_BAD_CHECKSUM;
    }

    // All three checks run, so every set bit is traced, not just the first byte's.
    if (checkByte4(global_GSS) != 0) {
        LogTrace("One of the bit is ON for BYTE04");
        rc = BBU_STATUS_ERROR_BITS;
    }
    if (checkByte5(global_GSS) != 0) {
        LogTrace("One of the bit is ON for BYTE05");
        rc = BBU_STATUS_ERROR_BITS;
    }
    if (checkByte6(global_GSS) != 0) {
        LogTrace("One of the bit is ON for BYTE06");
        rc = BBU_STATUS_ERROR_BITS;
    }

    if (verbose != 0) {
        print_general_status(msg, global_GSS);
    }
    if (outbuf != nullptr) {
        std::memcpy(outbuf->buffer, global_GSS, sizeof global_GSS);
    }
    return rc;
}
