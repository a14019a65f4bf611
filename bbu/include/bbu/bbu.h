/*
 * bbu/bbu.h - the BBU service library: register protocol, checksums and the
 * general status records.
 *
 * The BBU microcontroller answers on two I2C addresses: commands are written
 * and the general status (GSS) is read at 0x40 (SAR); response blocks are read
 * and flash blocks written at 0x60 (SARX).
 *
 * Multi-byte values in the BBU's status and blocks are big-endian (first byte
 * most significant). The records below keep them as byte arrays wrapped in
 * bbu_be16 / bbu_be32, so they can only be read through bbu_be16_value() and
 * bbu_be32_value(), never through a host-order integer by accident.
 *
 * This header compiles as C (C99) and as C++.
 */
#ifndef BBU_BBU_H
#define BBU_BBU_H

#include <stddef.h>
#include <stdint.h>

#include <bbu/i2c.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
/* Bit-fields of unsigned char are a GNU extension in C99; say so once here. */
#define BBU_EXTENSION __extension__
#else
#define BBU_EXTENSION
#endif

/**
 * @defgroup protocol Register protocol
 * @{
 */

/** Fixed-width unsigned types of the capture tool's records. */
typedef uint8_t ui8;
typedef uint16_t ui16;
typedef uint32_t ui32;

#define BBU_SAR_ADDR 0x40  /**< command frames in, general status out */
#define BBU_SARX_ADDR 0x60 /**< response blocks out, flash blocks in */
#define BBU_VPD_ADDR 0x54  /**< VPD EEPROM */
#define BBU_RTC_ADDR 0x68  /**< the BBU's real-time clock */

#define BBU_GSS_LEN 32      /**< general status bytes, without the check byte */
#define BBU_GSS_READ_LEN 33 /**< general status bytes and their sumcheck byte */

/** A big-endian 16-bit value as the BBU sends it. */
typedef struct bbu_be16 {
    uint8_t be[2];
} bbu_be16;

/** A big-endian 32-bit value as the BBU sends it. */
typedef struct bbu_be32 {
    uint8_t be[4];
} bbu_be32;

/** The value of a big-endian 16-bit field. */
static inline uint16_t bbu_be16_value(bbu_be16 v)
{
    return (uint16_t)((v.be[0] << 8) | v.be[1]);
}

/** The value of a big-endian 32-bit field. */
static inline uint32_t bbu_be32_value(bbu_be32 v)
{
    return ((uint32_t)v.be[0] << 24) | ((uint32_t)v.be[1] << 16) | ((uint32_t)v.be[2] << 8) |
           (uint32_t)v.be[3];
}

/**
 * 8-bit end-around-carry sum of @p nbytes bytes: a carry out of 8 bits is
 * added back in. Not complemented. Pure; 0 for no bytes. The check byte of
 * every command frame, response block and general status.
 */
BBU_API unsigned char sumcheck(const unsigned char *bp, unsigned int nbytes);

/** XOR of @p nbytes bytes. Pure; 0 for no bytes. */
BBU_API unsigned char xorcheck(const unsigned char *bp, unsigned int nbytes);

/**
 * Header of a response block read from 0x60: the block is the header, the
 * data the command defines, and a sumcheck byte over header and data.
 */
typedef struct BbuHdr {
    ui8 cmdEcho;   /**< command code being answered */
    ui8 ctr;       /**< counter byte, not examined */
    ui8 len;       /**< length byte, not examined */
    ui8 blkNbr;    /**< number of this block, from 0 */
    ui8 blkSetNbr; /**< number of blocks in the answer */
} BbuHdr;

/** @} */

/**
 * @defgroup status General status
 * @{
 *
 * The 32 status bytes read from 0x40, followed on the bus by their sumcheck
 * byte. GENERAL_STATUS is the library's view (bit bytes as unions of the
 * whole BYTE and the named BIT fields, bit 0x01 first); BbuGeneralStatus is the
 * capture tool's byte-by-byte view of all 33 bytes.
 */

typedef union BYTE00 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char non_zero : 1;          /* 0x01 */
        unsigned char least_capacity : 1;    /* 0x02 */
        unsigned char charging : 1;          /* 0x04 */
        unsigned char testing : 1;           /* 0x08 */
        unsigned char actual_connection : 1; /* 0x10 */
        unsigned char proper_connection : 1; /* 0x20 */
        unsigned char check : 1;             /* 0x40 */
        unsigned char commandInProgress : 1; /* 0x80 */
    } BIT;
} BYTE00;

typedef union BYTE02 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char : 1;                  /* 0x01 */
        unsigned char interrupt_masked : 1; /* 0x02 */
        unsigned char power_up : 1;         /* 0x04 */
        unsigned char incompat_level : 1;   /* 0x08 */
        unsigned char ps1_epow : 1;         /* 0x10 */
        unsigned char ps0_epow : 1;         /* 0x20 */
        unsigned char threshold_two : 1;    /* 0x40 */
        unsigned char threshold_one : 1;    /* 0x80 */
    } BIT;
} BYTE02;

typedef union BYTE03 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char : 3;                  /* 0x01 to 0x04 */
        unsigned char defer_disconnect : 1; /* 0x08 */
        unsigned char delayed_fault : 1;    /* 0x10 */
        unsigned char state_save_avail : 1; /* 0x20 */
        unsigned char need_vpd : 1;         /* 0x40 */
        unsigned char need_tod : 1;         /* 0x80 */
    } BIT;
} BYTE03;

typedef union BYTE04 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char : 1;                     /* 0x01 */
        unsigned char operation_mode : 1;      /* 0x02: flash-program mode */
        unsigned char : 1;                     /* 0x04 */
        unsigned char i2c_cmd_in_progress : 1; /* 0x08 */
        unsigned char current_state_num : 1;   /* 0x10 */
        unsigned char charge_update : 1;       /* 0x20 */
        unsigned char bat_temp_sample : 1;     /* 0x40 */
        unsigned char cont_switch_test : 1;    /* 0x80 */
    } BIT;
} BYTE04;

typedef union BYTE05 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char checksum_error : 1;    /* 0x01 */
        unsigned char invalid_parameter : 1; /* 0x02 */
        unsigned char flash_checksum : 1;    /* 0x04 */
        unsigned char invalid_command : 1;   /* 0x08 */
        unsigned char invalid_length : 1;    /* 0x10 */
        unsigned char sarx_overrun : 1;      /* 0x20 */
        unsigned char sar_overrun : 1;       /* 0x40 */
        unsigned char multiple_command : 1;  /* 0x80 */
    } BIT;
} BYTE05;

typedef union BYTE06 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char : 3;                     /* 0x01 to 0x04 */
        unsigned char reprogram_req : 1;       /* 0x08 */
        unsigned char valid_image : 1;         /* 0x10 */
        unsigned char flash_program : 1;       /* 0x20 */
        unsigned char flash_erase : 1;         /* 0x40 */
        unsigned char vbat_control_switch : 1; /* 0x80 */
    } BIT;
} BYTE06;

typedef union BYTE07 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char bat3_check : 1;     /* 0x01 */
        unsigned char bat2_check : 1;     /* 0x02 */
        unsigned char bat1_check : 1;     /* 0x04 */
        unsigned char : 2;                /* 0x08, 0x10 */
        unsigned char all_battery_ok : 1; /* 0x20 */
        unsigned char all_charger_ok : 1; /* 0x40 */
        unsigned char all_acok : 1;       /* 0x80 */
    } BIT;
} BYTE07;

typedef union BYTE0E {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char ServiceFaultLED : 4;  /* 0x0F */
        unsigned char ChargingStateLED : 4; /* 0xF0 */
    } BIT;
} BYTE0E;

typedef union BYTE0F {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char : 4;
        unsigned char DataInCacheLED : 4; /* 0xF0 */
    } BIT;
} BYTE0F;

typedef union BYTE12 {
    unsigned char BYTE;
    BBU_EXTENSION struct {
        unsigned char : 4;
        unsigned char num_strings : 4; /* 0xF0 */
    } BIT;
} BYTE12;

/** The library's view of the 32 general status bytes. */
typedef struct GENERAL_STATUS {
    BYTE00 byte00;                     /* 0 */
    unsigned char Invertbyte00;        /* 1: complement of byte 0 */
    BYTE02 byte02;                     /* 2 */
    BYTE03 byte03;                     /* 3 */
    BYTE04 byte04;                     /* 4 */
    BYTE05 byte05;                     /* 5 */
    BYTE06 byte06;                     /* 6 */
    BYTE07 byte07;                     /* 7 */
    bbu_be32 elapsed_time;             /* 8 to 11: seconds */
    unsigned char spare1[2];           /* 12, 13: change when a flash block is taken */
    BYTE0E byte0E;                     /* 14: indicator light */
    BYTE0F byte0F;                     /* 15 */
    bbu_be16 TCBLA;                    /* 16, 17 */
    BYTE12 byte12;                     /* 18 */
    unsigned char Command_in_progress; /* 19 */
    bbu_be16 avg_temp_all;             /* 20, 21 */
    bbu_be16 BBU_Capacity_Period;      /* 22, 23 */
    bbu_be16 Backup_Discharge_Current; /* 24, 25 */
    bbu_be16 FET_Sense_A;              /* 26, 27 */
    bbu_be16 AD_Testpoint;             /* 28, 29 */
    unsigned char version;             /* 30: firmware version */
    unsigned char sub_version;         /* 31: firmware sub-version */
} GENERAL_STATUS;

/** The capture tool's view of the 33 bytes read from 0x40, check byte included. */
typedef struct BbuGeneralStatus {
    ui8 status1;         /* 0 */
    ui8 status1ChkSum;   /* 1: complement of byte 0 */
    ui8 status2;         /* 2 */
    ui8 status3;         /* 3 */
    ui8 status4;         /* 4 */
    ui8 status5;         /* 5 */
    ui8 status6;         /* 6 */
    ui8 status7;         /* 7 */
    ui8 seconds0;        /* 8: most significant */
    ui8 seconds1;        /* 9 */
    ui8 seconds2;        /* 10 */
    ui8 seconds3;        /* 11 */
    ui8 rsvd0C;          /* 12 */
    ui8 rsvd0D;          /* 13 */
    ui8 stateLED;        /* 14 */
    ui8 dataInCacheLED;  /* 15 */
    ui8 statusTCBLA0;    /* 16 */
    ui8 statusTCBLA1;    /* 17 */
    ui8 numStrings;      /* 18 */
    ui8 cmdInProgress;   /* 19 */
    ui8 avgTemp0;        /* 20 */
    ui8 avgTemp1;        /* 21 */
    ui8 capacityPeriod0; /* 22 */
    ui8 capacityPeriod1; /* 23 */
    ui8 BkupDischgCur0;  /* 24 */
    ui8 BkupDischgCur1;  /* 25 */
    ui8 FETsenseA0;      /* 26 */
    ui8 FETsenseA1;      /* 27 */
    ui8 A_D_TestPoint0;  /* 28 */
    ui8 A_D_TestPoint1;  /* 29 */
    ui8 version;         /* 30 */
    ui8 sub_version;     /* 31 */
    ui8 GenStatChkSum;   /* 32: sumcheck of bytes 0 to 31 */
} BbuGeneralStatus;

/* Masks of status bytes 0, 4, 5 and 6 tested by the library's own logic. */

/** Byte 0: a command is still being executed. */
static const unsigned char SAR0_CMD_IN_PROGRESS = 0x80;

/** Byte 4 read as flash-load error flags. */
static const unsigned char TFB_BLOCK_SYNC = 0x80;
static const unsigned char WRITE_CNT_SYNC = 0x40;
static const unsigned char NUMOFBYTE_ERR = 0x20;
static const unsigned char DATA_BLK_ERR = 0x10;
static const unsigned char EEPROM_FULL = 0x08;
static const unsigned char EEPROM_CHKSUM = 0x04;

/** Byte 5: errors in what the BBU last received. */
static const unsigned char MULTI_CMD = 0x80;
static const unsigned char SAR_OVERRUN = 0x40;
static const unsigned char SARX_OVERRUN = 0x20;
static const unsigned char INVALID_LEN = 0x10;
static const unsigned char INVALID_CMD = 0x08;
static const unsigned char FLASH_CHKSUM = 0x04;
static const unsigned char INVALID_PARM = 0x02;
static const unsigned char CHKSUM_ERR = 0x01;

/** Byte 6: flash errors. */
static const unsigned char FLASH_ERASE = 0x40;
static const unsigned char FLASH_PROGRAM = 0x20;

/** @} */

/**
 * @defgroup display Status display
 * @{
 *
 * Hex dumps and the decoded general status, on standard output and, item by
 * item, in the trace log; and the plain status reads that feed them. The
 * plain reads take 32 bytes from 0x40 and neither read nor verify the check
 * byte (see read_and_print_status_with_checks() for that).
 *
 * Process-wide state: none of its own. These functions write to standard
 * output and append to the trace log; none returns a result or reports a
 * failure to its caller.
 */

#define BBU_SARBUF_LEN 1024       /**< size of a caller's status buffer */
#define BBU_STATUS_WORK_LEN 256   /**< bytes a status read hands to the caller */
#define BBU_STATUS_DISPLAY_LEN 48 /**< bytes print_general_status() dumps */

/**
 * The caller's status buffer, filled by the status reads. After a read its
 * first 256 bytes hold what the read produced; the first 32 of them are the
 * general status (view them as GENERAL_STATUS). Bytes 256 and up are never
 * written by the library: they keep whatever the caller left there.
 */
typedef struct SARBUF {
    char buffer[BBU_SARBUF_LEN];
} SARBUF;
typedef SARBUF sarbuf_t;

/**
 * Hex dump of @p len bytes at @p bufptr1, headed by @p msg.
 *
 * Prints "<msg> length = <len>" and then the bytes as lower-case hex, 16 to a
 * line in four groups of 8 digits separated by one blank, and a final newline
 * (so a length that is a multiple of 16 ends with an empty line, and a last
 * line whose byte count is a multiple of 4 ends with a blank).
 * The trace log receives the header line and one line per complete 16-byte
 * line; a last line of fewer than 16 bytes is printed only. Never fails.
 */
BBU_API void print_buffer(const char *msg, const void *bufptr1, int len);

/**
 * Show a general status block headed by @p msg: a 48-byte print_buffer()
 * dump, "general status======= <msg>", then one line for each of status
 * bytes 0, 2, 3, 4, 5 and 6: "byteN <hex> " followed by the label of each
 * set bit that has one ("command ", "charging ", "multi ", "bad chksum ", ...,
 * each ending in a blank), in a fixed order. Every item is printed and also
 * written to the trace log as a line of its own.
 * @param stat At least 48 readable bytes (the dump covers 48; the decoding
 *             reads bytes 0 to 6). Size shorter status buffers to 48 bytes.
 */
BBU_API void print_general_status(const char *msg, const char *stat);

/**
 * Read the 32 status bytes from 0x40 with one do_i2c_read(), show them with
 * print_general_status() when @p verbose is non-zero, and copy 256 bytes
 * (the status, then zeros) to the start of @p outbuf when it is not NULL.
 *
 * The read's result is not examined and no failure is reported: after a
 * failed read the zeros of the working buffer are shown and copied, just as
 * a status of all zeros would be. @p verbose 2 is handed to the transfer as 1.
 */
BBU_API void read_and_print_status(int fd, const char *msg, sarbuf_t *outbuf, int verbose);

/**
 * As read_and_print_status(); with @p retry non-zero the read is made through
 * I2C_command_with_retry() (up to three attempts), with 0 it is one
 * do_i2c_read(). The result of the read is not examined either way.
 */
BBU_API void read_and_print_status_with_retry(int retry, int fd, const char *msg, sarbuf_t *outbuf,
                                              int verbose);

/** @} */

/**
 * @defgroup checks Checked status reads
 * @{
 *
 * The verified read of the whole general status (32 bytes and the check
 * byte), with the error bits of status bytes 4, 5 and 6 (the masks
 * TFB_BLOCK_SYNC ... FLASH_PROGRAM above) written to the trace log. The
 * flash load calls it after every command and block it sends.
 *
 * Process-wide state: global_GSS and checksumError below. Neither is
 * synchronised; use them from the thread that makes the checked reads.
 */

/**
 * The bytes of the latest checked read: zeroed at the start of each one, then
 * the 32 status bytes and the check byte; bytes 33 to 255 stay zero. Kept
 * until the next checked read, also after a failed one (then it holds what
 * the failed read left, corrupt bytes included).
 */
BBU_API extern char global_GSS[BBU_STATUS_WORK_LEN];

/**
 * 1 once a checked read has found bit 0x01 of status byte 5 (CHKSUM_ERR: the
 * BBU received data with a bad checksum); 0 at program start. The checked
 * read only ever sets it: a later clean read leaves the 1 standing, and it is
 * the caller that sets it back to 0 before re-sending a block.
 */
BBU_API extern int checksumError;

/** Results of read_and_print_status_with_checks() besides a failed read's value. */
#define BBU_STATUS_CLEAN 0           /**< valid status, no checked error bit set */
#define BBU_STATUS_ERROR_BITS 1      /**< valid status, at least one error bit set */
#define BBU_STATUS_BAD_CHECKSUM (-1) /**< status read, but its check byte is wrong */

/**
 * Check status byte 4, 5 or 6 of the general status block @p gss.
 *
 * For each error bit of that byte that is set, from the highest mask down,
 * "ERROR, ByteN, BitB is ON" is written to the trace log (B is the bit's
 * position, 7 for 0x80). checkByte5() also sets checksumError to 1 when
 * CHKSUM_ERR is set. Byte 4 bits 0x02 and 0x01 and byte 6 bits other than
 * FLASH_ERASE and FLASH_PROGRAM are not checked.
 * @return 1 when at least one checked bit is set, else 0.
 */
BBU_API int checkByte4(const char *gss);
BBU_API int checkByte5(const char *gss);
BBU_API int checkByte6(const char *gss);

/**
 * Read the 33-byte general status from 0x40 into global_GSS with
 * I2C_command_with_retry(), verify its check byte and check its error bits.
 *
 * @param fd      The open adapter descriptor.
 * @param msg     Heading of the display.
 * @param outbuf  NULL, or the caller's status buffer: on a valid status its
 *                first 256 bytes receive global_GSS (the 33 bytes read, then
 *                zeros). After a failed read or a bad check byte it is not
 *                touched.
 * @param verbose Non-zero shows a valid status with print_general_status();
 *                2 is handed to the transfers as 1.
 * @return
 *  - the read's result when it is not 33 (the status was not read); traced
 *    as "***I2C Read GSS failed, rc = <rc>***";
 *  - -1 when the check byte is wrong; traced as "***GSS returned bad
 *    checksum***" and "Calculate checksum = <hex> Actual chksum <hex>";
 *    nothing is shown, even when @p verbose;
 *  - 1 when the status is valid and at least one checked error bit is set;
 *    each byte's bit messages are followed by "One of the bit is ON for
 *    BYTE04" (05, 06);
 *  - 0 when the status is valid and clean.
 *
 * Side effects: global_GSS is overwritten on every call; checksumError may
 * be set (never cleared). All messages go to the trace log only; standard
 * output is used by the display alone.
 */
BBU_API int read_and_print_status_with_checks(int fd, const char *msg, sarbuf_t *outbuf,
                                              int verbose);

/** @} */

#ifdef __cplusplus
} /* extern "C" */
#define BBU_STATIC_ASSERT static_assert
#else
#define BBU_STATIC_ASSERT _Static_assert
#endif

/* The records mirror the bytes on the bus: sizes and offsets are fixed. */
BBU_STATIC_ASSERT(sizeof(bbu_be16) == 2 && sizeof(bbu_be32) == 4, "big-endian fields");
BBU_STATIC_ASSERT(sizeof(BbuHdr) == 5, "BbuHdr is 5 bytes");
BBU_STATIC_ASSERT(offsetof(BbuHdr, blkSetNbr) == 4, "blkSetNbr at byte 4");
BBU_STATIC_ASSERT(sizeof(BYTE00) == 1 && sizeof(BYTE06) == 1 && sizeof(BYTE12) == 1, "bit bytes");
BBU_STATIC_ASSERT(sizeof(GENERAL_STATUS) == 32, "GENERAL_STATUS is 32 bytes");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, elapsed_time) == 8, "elapsed_time at byte 8");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, spare1) == 12, "spare1 at byte 12");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, byte0E) == 14, "indicator light at byte 14");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, TCBLA) == 16, "TCBLA at byte 16");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, byte12) == 18, "strings at byte 18");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, avg_temp_all) == 20, "avg_temp_all at byte 20");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, AD_Testpoint) == 28, "AD_Testpoint at byte 28");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, version) == 30, "version at byte 30");
BBU_STATIC_ASSERT(sizeof(BbuGeneralStatus) == 33, "BbuGeneralStatus is 33 bytes");
BBU_STATIC_ASSERT(offsetof(BbuGeneralStatus, seconds0) == 8, "seconds at byte 8");
BBU_STATIC_ASSERT(offsetof(BbuGeneralStatus, numStrings) == 18, "numStrings at byte 18");
BBU_STATIC_ASSERT(offsetof(BbuGeneralStatus, version) == 30, "version at byte 30");
BBU_STATIC_ASSERT(offsetof(BbuGeneralStatus, GenStatChkSum) == 32, "check byte at byte 32");
BBU_STATIC_ASSERT(sizeof(SARBUF) == BBU_SARBUF_LEN, "SARBUF is 1024 bytes");
BBU_STATIC_ASSERT(BBU_STATUS_DISPLAY_LEN <= BBU_STATUS_WORK_LEN,
                  "a status read's buffer covers the display");

#endif /* BBU_BBU_H */
