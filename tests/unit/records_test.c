/* The status records seen from C: the mask of each named bit of the bit
 * bytes, and where the records lay the bytes off the bus, printed for the
 * golden file records.txt (each mask as the BBU documents it). Compiled as
 * C99 with -Wpedantic, so it also proves the headers are clean C: the masks
 * are constant expressions (case labels below), and the capture tool's names
 * are not declared (each typedef here would clash with one). */
#include <bbu/bbu.h>

#include <stdio.h>
#include <string.h>

typedef int ui8;
typedef int ui16;
typedef int ui32;
typedef int BbuHdr;
typedef int BbuGeneralStatus;

#define BIT(type, field)                                                                           \
    do {                                                                                           \
        type u;                                                                                    \
        memset(&u, 0, sizeof u);                                                                   \
        u.BIT.field = 1;                                                                           \
        printf("%s.%s %02x\n", #type, #field, (unsigned)u.BYTE);                                   \
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
    BYTE0E led;
    BYTE12 strings;
    int i;

    BIT(BYTE00, commandInProgress);
    BIT(BYTE00, check);
    BIT(BYTE00, proper_connection);
    BIT(BYTE00, actual_connection);
    BIT(BYTE00, testing);
    BIT(BYTE00, charging);
    BIT(BYTE00, least_capacity);
    BIT(BYTE00, non_zero);
    BIT(BYTE02, threshold_one);
    BIT(BYTE02, threshold_two);
    BIT(BYTE02, ps0_epow);
    BIT(BYTE02, ps1_epow);
    BIT(BYTE02, incompat_level);
    BIT(BYTE02, power_up);
    BIT(BYTE02, interrupt_masked);
    BIT(BYTE03, need_tod);
    BIT(BYTE03, need_vpd);
    BIT(BYTE03, state_save_avail);
    BIT(BYTE03, delayed_fault);
    BIT(BYTE03, defer_disconnect);
    BIT(BYTE04, cont_switch_test);
    BIT(BYTE04, bat_temp_sample);
    BIT(BYTE04, charge_update);
    BIT(BYTE04, current_state_num);
    BIT(BYTE04, i2c_cmd_in_progress);
    BIT(BYTE04, operation_mode);
    /* Every bit of byte 5 has a mask, and the mask selects that bit's field. */
    for (i = 0; i < 8; ++i) {
        BYTE05 u;
        u.BYTE = (unsigned char)(1u << i);
        printf("BYTE05 field of mask %02x: %d\n", 1u << i, byte5_bit(u, 1u << i));
    }
    BIT(BYTE06, vbat_control_switch);
    BIT(BYTE06, flash_erase);
    BIT(BYTE06, flash_program);
    BIT(BYTE06, valid_image);
    BIT(BYTE06, reprogram_req);
    BIT(BYTE07, all_acok);
    BIT(BYTE07, all_charger_ok);
    BIT(BYTE07, all_battery_ok);
    BIT(BYTE07, bat1_check);
    BIT(BYTE07, bat2_check);
    BIT(BYTE07, bat3_check);
    printf("FLASH_ERASE %02x FLASH_PROGRAM %02x\n", FLASH_ERASE, FLASH_PROGRAM);
    led.BYTE = 0x5a;
    strings.BYTE = 0x30;
    printf("0x5a: ChargingStateLED %x ServiceFaultLED %x; 0x30: num_strings %u\n",
           (unsigned)led.BIT.ChargingStateLED, (unsigned)led.BIT.ServiceFaultLED,
           (unsigned)strings.BIT.num_strings);
    printf("SAR0_CMD_IN_PROGRESS %02x TFB_BLOCK_SYNC %02x WRITE_CNT_SYNC %02x NUMOFBYTE_ERR %02x\n",
           SAR0_CMD_IN_PROGRESS, TFB_BLOCK_SYNC, WRITE_CNT_SYNC, NUMOFBYTE_ERR);
    printf("DATA_BLK_ERR %02x EEPROM_FULL %02x EEPROM_CHKSUM %02x\n", DATA_BLK_ERR, EEPROM_FULL,
           EEPROM_CHKSUM);

    /* The record over the 32 status bytes off the bus, a0 a1 ... bf. */
    for (i = 0; i < BBU_GSS_LEN; ++i)
        raw[i] = (unsigned char)(0xa0 + i);
    memcpy(&gss, raw, sizeof gss);
    printf("byte05 %02x spare1[1] %02x sub_version %02x elapsed_time %08lx AD_Testpoint %04x\n",
           gss.byte05.BYTE, gss.spare1[1], gss.sub_version,
           (unsigned long)bbu_be32_value(gss.elapsed_time),
           (unsigned)bbu_be16_value(gss.AD_Testpoint));
    return 0;
}
