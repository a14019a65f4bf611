/* The status records seen from C: each named bit of the bit bytes is the mask
 * the BBU documents, and the records lay the bytes where the bus puts them.
 * Compiled as C99 with -Wpedantic, so it also proves the headers are clean C:
 * the masks are constant expressions (case labels below), and the capture
 * tool's names are not declared (each typedef here would clash with one). */
#include <bbu/bbu.h>

#include <stdio.h>
#include <string.h>

typedef int ui8;
typedef int ui16;
typedef int ui32;
typedef int BbuHdr;
typedef int BbuGeneralStatus;

static int failures;
static int checks;

static void expect_byte(const char *what, unsigned char got, unsigned char want)
{
    ++checks;
    if (got != want) {
        ++failures;
        printf("FAILED: %s is 0x%02x, expected 0x%02x\n", what, got, want);
    }
}

#define BIT_IS(type, field, mask)                                                                  \
    do {                                                                                           \
        type u;                                                                                    \
        memset(&u, 0, sizeof u);                                                                   \
        u.BIT.field = 1;                                                                           \
        expect_byte(#type "." #field, u.BYTE, mask);                                               \
    } while (0)

/* The named bit of byte 5 that a mask of byte 5 selects; -1 for no name. */
static int byte5_bit(BYTE05 u, unsigned mask)
{
    switch (mask) {
    case MULTI_CMD:
        return u.BIT.multiple_command;
    case SAR_OVERRUN:
        return u.BIT.sar_overrun;
    case SARX_OVERRUN:
        return u.BIT.sarx_overrun;
    case INVALID_LEN:
        return u.BIT.invalid_length;
    case INVALID_CMD:
        return u.BIT.invalid_command;
    case FLASH_CHKSUM:
        return u.BIT.flash_checksum;
    case INVALID_PARM:
        return u.BIT.invalid_parameter;
    case CHKSUM_ERR:
        return u.BIT.checksum_error;
    default:
        return -1;
    }
}

int main(void)
{
    unsigned char raw[BBU_GSS_LEN];
    GENERAL_STATUS gss;
    int i;

    BIT_IS(BYTE00, commandInProgress, 0x80);
    BIT_IS(BYTE00, check, 0x40);
    BIT_IS(BYTE00, proper_connection, 0x20);
    BIT_IS(BYTE00, actual_connection, 0x10);
    BIT_IS(BYTE00, testing, 0x08);
    BIT_IS(BYTE00, charging, 0x04);
    BIT_IS(BYTE00, least_capacity, 0x02);
    BIT_IS(BYTE00, non_zero, 0x01);
    BIT_IS(BYTE02, threshold_one, 0x80);
    BIT_IS(BYTE02, threshold_two, 0x40);
    BIT_IS(BYTE02, ps0_epow, 0x20);
    BIT_IS(BYTE02, ps1_epow, 0x10);
    BIT_IS(BYTE02, incompat_level, 0x08);
    BIT_IS(BYTE02, power_up, 0x04);
    BIT_IS(BYTE02, interrupt_masked, 0x02);
    BIT_IS(BYTE03, need_tod, 0x80);
    BIT_IS(BYTE03, need_vpd, 0x40);
    BIT_IS(BYTE03, state_save_avail, 0x20);
    BIT_IS(BYTE03, delayed_fault, 0x10);
    BIT_IS(BYTE03, defer_disconnect, 0x08);
    BIT_IS(BYTE04, cont_switch_test, 0x80);
    BIT_IS(BYTE04, bat_temp_sample, 0x40);
    BIT_IS(BYTE04, charge_update, 0x20);
    BIT_IS(BYTE04, current_state_num, 0x10);
    BIT_IS(BYTE04, i2c_cmd_in_progress, 0x08);
    BIT_IS(BYTE04, operation_mode, 0x02);
    /* Every bit of byte 5 has a mask, and the mask selects that bit's field. */
    for (i = 0; i < 8; ++i) {
        BYTE05 u;
        u.BYTE = (unsigned char)(1u << i);
        expect_byte("byte 5 field of its mask", (unsigned char)byte5_bit(u, 1u << i), 1);
    }
    BIT_IS(BYTE06, vbat_control_switch, 0x80);
    BIT_IS(BYTE06, flash_erase, FLASH_ERASE);
    BIT_IS(BYTE06, flash_program, FLASH_PROGRAM);
    BIT_IS(BYTE06, valid_image, 0x10);
    BIT_IS(BYTE06, reprogram_req, 0x08);
    BIT_IS(BYTE07, all_acok, 0x80);
    BIT_IS(BYTE07, all_charger_ok, 0x40);
    BIT_IS(BYTE07, all_battery_ok, 0x20);
    BIT_IS(BYTE07, bat1_check, 0x04);
    BIT_IS(BYTE07, bat2_check, 0x02);
    BIT_IS(BYTE07, bat3_check, 0x01);

    {
        BYTE0E led;
        led.BYTE = 0x5a;
        expect_byte("ChargingStateLED of 0x5a", led.BIT.ChargingStateLED, 0x5);
        expect_byte("ServiceFaultLED of 0x5a", led.BIT.ServiceFaultLED, 0xa);
    }
    {
        BYTE12 strings;
        strings.BYTE = 0x30;
        expect_byte("num_strings of 0x30", strings.BIT.num_strings, 3);
    }
    expect_byte("SAR0_CMD_IN_PROGRESS", SAR0_CMD_IN_PROGRESS, 0x80);
    expect_byte("TFB_BLOCK_SYNC", TFB_BLOCK_SYNC, 0x80);
    expect_byte("WRITE_CNT_SYNC", WRITE_CNT_SYNC, 0x40);
    expect_byte("NUMOFBYTE_ERR", NUMOFBYTE_ERR, 0x20);
    expect_byte("DATA_BLK_ERR", DATA_BLK_ERR, 0x10);
    expect_byte("EEPROM_FULL", EEPROM_FULL, 0x08);
    expect_byte("EEPROM_CHKSUM", EEPROM_CHKSUM, 0x04);

    /* The record over the 32 status bytes off the bus. */
    for (i = 0; i < BBU_GSS_LEN; ++i)
        raw[i] = (unsigned char)(0xa0 + i);
    memcpy(&gss, raw, sizeof gss);
    expect_byte("byte05 (byte 5)", gss.byte05.BYTE, 0xa5);
    expect_byte("spare1[1] (byte 13)", gss.spare1[1], 0xad);
    expect_byte("sub_version (byte 31)", gss.sub_version, 0xbf);
    ++checks;
    if (bbu_be32_value(gss.elapsed_time) != 0xa8a9aaabu) {
        ++failures;
        printf("FAILED: elapsed_time is 0x%08x\n", (unsigned)bbu_be32_value(gss.elapsed_time));
    }
    ++checks;
    if (bbu_be16_value(gss.AD_Testpoint) != 0xbcbdu) {
        ++failures;
        printf("FAILED: AD_Testpoint is 0x%04x\n", (unsigned)bbu_be16_value(gss.AD_Testpoint));
    }

    printf("%d passed, %d failed\n", checks - failures, failures);
    return failures ? 1 : 0;
}
