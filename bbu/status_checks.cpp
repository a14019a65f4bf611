// Checked status reads: the whole general status read with retries, its check
// byte verified and the error bits of status bytes 4, 5 and 6 traced. The
// flash load relies on global_GSS and checksumError between its reads.
#include <bbu/bbu.h>

#include "library_internal.h"

#include <array>
#include <cstring>
#include <span>

char global_GSS[BBU_STATUS_WORK_LEN];
int checksumError = 0;

namespace {

struct ErrorBit {
    unsigned char mask;
    const char *message;
    bool raises_checksum_error;  // the BBU saw a bad checksum in what it last received
};

// Each byte's checked bits, from the highest mask down: the order they are traced in.
constexpr std::array<ErrorBit, 6> BYTE4_BITS{{
    {TFB_BLOCK_SYNC, "ERROR, Byte4, Bit7 is ON", false},
    {WRITE_CNT_SYNC, "ERROR, Byte4, Bit6 is ON", false},
    {NUMOFBYTE_ERR, "ERROR, Byte4, Bit5 is ON", false},
    {DATA_BLK_ERR, "ERROR, Byte4, Bit4 is ON", false},
    {EEPROM_FULL, "ERROR, Byte4, Bit3 is ON", false},
    {EEPROM_CHKSUM, "ERROR, Byte4, Bit2 is ON", false},
}};

constexpr std::array<ErrorBit, 8> BYTE5_BITS{{
    {MULTI_CMD, "ERROR, Byte5, Bit7 is ON", false},
    {SAR_OVERRUN, "ERROR, Byte5, Bit6 is ON", false},
    {SARX_OVERRUN, "ERROR, Byte5, Bit5 is ON", false},
    {INVALID_LEN, "ERROR, Byte5, Bit4 is ON", false},
    {INVALID_CMD, "ERROR, Byte5, Bit3 is ON", false},
    {FLASH_CHKSUM, "ERROR, Byte5, Bit2 is ON", false},
    {INVALID_PARM, "ERROR, Byte5, Bit1 is ON", false},
    {CHKSUM_ERR, "ERROR, Byte5, Bit0 is ON", true},
}};

constexpr std::array<ErrorBit, 2> BYTE6_BITS{{
    {FLASH_ERASE, "ERROR, Byte6, Bit6 is ON", false},
    {FLASH_PROGRAM, "ERROR, Byte6, Bit5 is ON", false},
}};

int check_byte(const char *gss, int index, std::span<const ErrorBit> bits)
{
    const auto value = static_cast<unsigned char>(gss[index]);
    int rc = 0;
    for (const ErrorBit &bit : bits) {
        if ((value & bit.mask) == bit.mask) {
            rc = 1;
            if (bit.raises_checksum_error) {
                checksumError = 1;
            }
            LogTrace("%s", bit.message);
        }
    }
    return rc;
}

}  // namespace

int checkByte4(const char *gss)
{
    return check_byte(gss, 4, BYTE4_BITS);
}

int checkByte5(const char *gss)
{
    return check_byte(gss, 5, BYTE5_BITS);
}

int checkByte6(const char *gss)
{
    return check_byte(gss, 6, BYTE6_BITS);
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
