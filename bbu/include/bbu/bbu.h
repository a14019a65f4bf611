/*
 * bbu/bbu.h - the BBU service library: checksums and the general status
 * record, the status display and the checked status reads; the firmware
 * image, the command handshake, validation and memory dump, the resets and
 * the flash load; and the checked operations, which report success only when
 * they have seen it on the device.
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
 * Every operation that talks to the bus takes the caller's open adapter
 * descriptor (see open_I2C_device() in <bbu/i2c.h>) and never opens or closes
 * one on its own. Buffers are the caller's; the library keeps nothing between
 * calls apart from the process-wide variables named in each group.
 *
 * This header compiles as C (C99) and as C++. The man page libbbu(3) gives
 * an overview and shows how to build against the library.
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
/* Bit-fields of uint8_t are a GNU extension in C99; say so once here. */
#define BBU_EXTENSION __extension__
#else
#define BBU_EXTENSION
#endif

/**
 * @defgroup status Checksums and general status
 * @{
 *
 * The BBU's addresses, the two check functions of its protocol and the
 * library's record of the 32 general status bytes read from 0x40 (followed
 * on the bus by their sumcheck byte): bit bytes as unions of the whole
 * BYTE and the named BIT fields (bit 0x01 first), and the masks the
 * library's own checks test. Pure: no process-wide state, no I/O.
 */

#define BBU_SAR_ADDR 0x40  /**< command frames in, general status out */
#define BBU_SARX_ADDR 0x60 /**< response blocks out, flash blocks in */
#define BBU_VPD_ADDR 0x54  /**< VPD EEPROM */
#define BBU_RTC_ADDR 0x68  /**< the BBU's real-time clock */

#define BBU_GSS_LEN 32      /**< general status bytes, without the check byte */
#define BBU_GSS_READ_LEN 33 /**< general status bytes and their sumcheck byte */

/** A big-endian 16-bit value as the BBU sends it. */
typedef struct bbu_be16 {
    uint8_t be[2]; /**< most significant byte first */
} bbu_be16;

/** A big-endian 32-bit value as the BBU sends it. */
typedef struct bbu_be32 {
    uint8_t be[4]; /**< most significant byte first */
} bbu_be32;

/** The value of big-endian 16-bit field @p v. Pure. */
static inline uint16_t bbu_be16_value(bbu_be16 v)
{
    return (uint16_t)((v.be[0] << 8) | v.be[1]);
}

/** The value of big-endian 32-bit field @p v. Pure. */
static inline uint32_t bbu_be32_value(bbu_be32 v)
{
    return ((uint32_t)v.be[0] << 24) | ((uint32_t)v.be[1] << 16) | ((uint32_t)v.be[2] << 8) |
           (uint32_t)v.be[3];
}

/**
 * 8-bit end-around-carry sum of the @p nbytes bytes at @p bp: a carry out of
 * 8 bits is added back in; not complemented. The check byte of every command
 * frame, response block and general status.
 * @return The sum; 0 for no bytes. Pure: reads exactly @p nbytes bytes.
 */
BBU_API unsigned char sumcheck(const unsigned char *bp, unsigned int nbytes);

/**
 * XOR of the @p nbytes bytes at @p bp.
 * @return The XOR; 0 for no bytes. Pure: reads exactly @p nbytes bytes.
 */
BBU_API unsigned char xorcheck(const unsigned char *bp, unsigned int nbytes);

/** Status byte 0. */
typedef union BYTE00 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's bits by name. */
    BBU_EXTENSION struct {
        uint8_t non_zero : 1;          /**< 0x01 */
        uint8_t least_capacity : 1;    /**< 0x02 */
        uint8_t charging : 1;          /**< 0x04 */
        uint8_t testing : 1;           /**< 0x08 */
        uint8_t actual_connection : 1; /**< 0x10 */
        uint8_t proper_connection : 1; /**< 0x20 */
        uint8_t check : 1;             /**< 0x40 */
        uint8_t commandInProgress : 1; /**< 0x80: SAR0_CMD_IN_PROGRESS */
    } BIT;
} BYTE00;

/** Status byte 2. */
typedef union BYTE02 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's bits by name. */
    BBU_EXTENSION struct {
        uint8_t : 1;                  /* 0x01 */
        uint8_t interrupt_masked : 1; /**< 0x02 */
        uint8_t power_up : 1;         /**< 0x04 */
        uint8_t incompat_level : 1;   /**< 0x08 */
        uint8_t ps1_epow : 1;         /**< 0x10 */
        uint8_t ps0_epow : 1;         /**< 0x20 */
        uint8_t threshold_two : 1;    /**< 0x40 */
        uint8_t threshold_one : 1;    /**< 0x80 */
    } BIT;
} BYTE02;

/** Status byte 3. */
typedef union BYTE03 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's bits by name. */
    BBU_EXTENSION struct {
        uint8_t : 3;                  /* 0x01 to 0x04 */
        uint8_t defer_disconnect : 1; /**< 0x08 */
        uint8_t delayed_fault : 1;    /**< 0x10 */
        uint8_t state_save_avail : 1; /**< 0x20 */
        uint8_t need_vpd : 1;         /**< 0x40 */
        uint8_t need_tod : 1;         /**< 0x80 */
    } BIT;
} BYTE03;

/** Status byte 4; its error reading is enum bbu_status4_error. */
typedef union BYTE04 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's bits by name. */
    BBU_EXTENSION struct {
        uint8_t : 1;                     /* 0x01 */
        uint8_t operation_mode : 1;      /**< 0x02: flash-program mode */
        uint8_t : 1;                     /* 0x04 */
        uint8_t i2c_cmd_in_progress : 1; /**< 0x08 */
        uint8_t current_state_num : 1;   /**< 0x10 */
        uint8_t charge_update : 1;       /**< 0x20 */
        uint8_t bat_temp_sample : 1;     /**< 0x40 */
        uint8_t cont_switch_test : 1;    /**< 0x80 */
    } BIT;
} BYTE04;

/** Status byte 5: errors in what the BBU last received (enum bbu_status5_error). */
typedef union BYTE05 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's bits by name. */
    BBU_EXTENSION struct {
        uint8_t checksum_error : 1;    /**< 0x01: CHKSUM_ERR */
        uint8_t invalid_parameter : 1; /**< 0x02: INVALID_PARM */
        uint8_t flash_checksum : 1;    /**< 0x04: FLASH_CHKSUM */
        uint8_t invalid_command : 1;   /**< 0x08: INVALID_CMD */
        uint8_t invalid_length : 1;    /**< 0x10: INVALID_LEN */
        uint8_t sarx_overrun : 1;      /**< 0x20: SARX_OVERRUN */
        uint8_t sar_overrun : 1;       /**< 0x40: SAR_OVERRUN */
        uint8_t multiple_command : 1;  /**< 0x80: MULTI_CMD */
    } BIT;
} BYTE05;

/** Status byte 6: the flash and the image. */
typedef union BYTE06 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's bits by name. */
    BBU_EXTENSION struct {
        uint8_t : 3;                     /* 0x01 to 0x04 */
        uint8_t reprogram_req : 1;       /**< 0x08 */
        uint8_t valid_image : 1;         /**< 0x10 */
        uint8_t flash_program : 1;       /**< 0x20: FLASH_PROGRAM */
        uint8_t flash_erase : 1;         /**< 0x40: FLASH_ERASE */
        uint8_t vbat_control_switch : 1; /**< 0x80 */
    } BIT;
} BYTE06;

/** Status byte 7: the battery strings. */
typedef union BYTE07 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's bits by name. */
    BBU_EXTENSION struct {
        uint8_t bat3_check : 1;     /**< 0x01 */
        uint8_t bat2_check : 1;     /**< 0x02 */
        uint8_t bat1_check : 1;     /**< 0x04 */
        uint8_t : 2;                /* 0x08, 0x10 */
        uint8_t all_battery_ok : 1; /**< 0x20 */
        uint8_t all_charger_ok : 1; /**< 0x40 */
        uint8_t all_acok : 1;       /**< 0x80 */
    } BIT;
} BYTE07;

/** Status byte 14: the indicator light. */
typedef union BYTE0E {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's nibbles by name. */
    BBU_EXTENSION struct {
        uint8_t ServiceFaultLED : 4;  /**< 0x0F */
        uint8_t ChargingStateLED : 4; /**< 0xF0 */
    } BIT;
} BYTE0E;

/** Status byte 15. */
typedef union BYTE0F {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's nibbles by name. */
    BBU_EXTENSION struct {
        uint8_t : 4;
        uint8_t DataInCacheLED : 4; /**< 0xF0 */
    } BIT;
} BYTE0F;

/** Status byte 18. */
typedef union BYTE12 {
    uint8_t BYTE; /**< the whole byte */
    /** The byte's nibbles by name. */
    BBU_EXTENSION struct {
        uint8_t : 4;
        uint8_t num_strings : 4; /**< 0xF0: battery strings */
    } BIT;
} BYTE12;

/** The 32 general status bytes as the BBU sends them, byte 0 first. */
typedef struct GENERAL_STATUS {
    BYTE00 byte00;                     /**< 0 */
    uint8_t Invertbyte00;              /**< 1: complement of byte 0 */
    BYTE02 byte02;                     /**< 2 */
    BYTE03 byte03;                     /**< 3 */
    BYTE04 byte04;                     /**< 4 */
    BYTE05 byte05;                     /**< 5 */
    BYTE06 byte06;                     /**< 6 */
    BYTE07 byte07;                     /**< 7 */
    bbu_be32 elapsed_time;             /**< 8 to 11: seconds */
    uint8_t spare1[2];                 /**< 12, 13: change when a flash block is taken */
    BYTE0E byte0E;                     /**< 14: indicator light */
    BYTE0F byte0F;                     /**< 15 */
    bbu_be16 TCBLA;                    /**< 16, 17 */
    BYTE12 byte12;                     /**< 18 */
    uint8_t Command_in_progress;       /**< 19 */
    bbu_be16 avg_temp_all;             /**< 20, 21 */
    bbu_be16 BBU_Capacity_Period;      /**< 22, 23 */
    bbu_be16 Backup_Discharge_Current; /**< 24, 25 */
    bbu_be16 FET_Sense_A;              /**< 26, 27 */
    bbu_be16 AD_Testpoint;             /**< 28, 29 */
    uint8_t version;                   /**< 30: firmware version */
    uint8_t sub_version;               /**< 31: firmware sub-version */
} GENERAL_STATUS;

/** Status byte 0: the mask the command polls test. */
enum bbu_status0_bit {
    SAR0_CMD_IN_PROGRESS = 0x80 /**< a command is still being executed */
};

/** Status byte 4 read as flash-load error flags (checkByte4()). */
enum bbu_status4_error {
    TFB_BLOCK_SYNC = 0x80, /**< Bit7 */
    WRITE_CNT_SYNC = 0x40, /**< Bit6 */
    NUMOFBYTE_ERR = 0x20,  /**< Bit5 */
    DATA_BLK_ERR = 0x10,   /**< Bit4 */
    EEPROM_FULL = 0x08,    /**< Bit3 */
    EEPROM_CHKSUM = 0x04   /**< Bit2 */
};

/** Status byte 5: errors in what the BBU last received (checkByte5()). */
enum bbu_status5_error {
    MULTI_CMD = 0x80,    /**< Bit7 */
    SAR_OVERRUN = 0x40,  /**< Bit6 */
    SARX_OVERRUN = 0x20, /**< Bit5 */
    INVALID_LEN = 0x10,  /**< Bit4 */
    INVALID_CMD = 0x08,  /**< Bit3 */
    FLASH_CHKSUM = 0x04, /**< Bit2 */
    INVALID_PARM = 0x02, /**< Bit1 */
    CHKSUM_ERR = 0x01    /**< Bit0: what the BBU received had a bad checksum */
};

/** Status byte 6: flash errors (checkByte6()). */
enum bbu_status6_error {
    FLASH_ERASE = 0x40,  /**< Bit6 */
    FLASH_PROGRAM = 0x20 /**< Bit5 */
};

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
    char buffer[BBU_SARBUF_LEN]; /**< raw bytes, as the status functions take them */
} SARBUF;
typedef SARBUF sarbuf_t; /**< the name the status reads use */

/**
 * Hex dump of @p len bytes at @p bufptr1, headed by @p msg.
 *
 * Prints "<msg> length = <len>" and then the bytes as lower-case hex, 16 to a
 * line in four groups of 8 digits separated by one blank, and a final newline
 * (so a length that is a multiple of 16 ends with an empty line, and a last
 * line whose byte count is a multiple of 4 ends with a blank).
 * The trace log receives the header line and one line per complete 16-byte
 * line; a last line of fewer than 16 bytes is printed only.
 * @param msg     Heading, printed as given.
 * @param bufptr1 At least @p len readable bytes; only read.
 * @param len     Bytes to dump; 0 prints the heading and an empty line.
 */
BBU_API void print_buffer(const char *msg, const void *bufptr1, int len);

/**
 * Show a general status block headed by @p msg: a 48-byte print_buffer()
 * dump, "general status======= <msg>", then one line for each of status
 * bytes 0, 2, 3, 4, 5 and 6: "byteN <hex> " followed by the label of each
 * set bit that has one ("command ", "charging ", "multi ", "bad chksum ", ...,
 * each ending in a blank), in a fixed order. Every item is printed and also
 * written to the trace log as a line of its own.
 * @param msg  Heading, printed as given.
 * @param stat At least 48 readable bytes (the dump covers 48; the decoding
 *             reads bytes 0 to 6); only read. Size shorter status buffers
 *             to 48 bytes.
 */
BBU_API void print_general_status(const char *msg, const char *stat);

/**
 * Read the 32 status bytes from 0x40 with one do_i2c_read(), show them with
 * print_general_status() when @p verbose is non-zero, and copy 256 bytes
 * (the status, then zeros) to the start of @p outbuf when it is not NULL.
 * @param fd      The caller's open adapter descriptor.
 * @param msg     Heading of the display.
 * @param outbuf  NULL, or the caller's status buffer; bytes 256 and up are
 *                left as they were.
 * @param verbose Non-zero shows the status; 2 is handed to the transfer as 1.
 *
 * The read's result is not examined and no failure is reported: after a
 * failed read the zeros of the working buffer are shown and copied, just as
 * a status of all zeros would be.
 */
BBU_API void read_and_print_status(int fd, const char *msg, sarbuf_t *outbuf, int verbose);

/**
 * As read_and_print_status(); with @p retry non-zero the read is made through
 * I2C_command_with_retry() (up to three attempts, traced), with 0 it is one
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
 * byte), with the error bits of status bytes 4, 5 and 6 (enum
 * bbu_status4_error, bbu_status5_error and bbu_status6_error) written to the
 * trace log. The flash load calls it after every command and block it sends.
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
 * 1 once a checked read has found CHKSUM_ERR in status byte 5 (the BBU
 * received data with a bad checksum); 0 at program start. The checked read
 * only ever sets it: a later clean read leaves the 1 standing, and it is the
 * caller that sets it back to 0 before re-sending a block.
 */
BBU_API extern int checksumError;

/** Results of read_and_print_status_with_checks() besides a failed read's value. */
#define BBU_STATUS_CLEAN 0           /**< valid status, no checked error bit set */
#define BBU_STATUS_ERROR_BITS 1      /**< valid status, at least one error bit set */
#define BBU_STATUS_BAD_CHECKSUM (-1) /**< status read, but its check byte is wrong */

/**
 * Check status byte 4 of the general status block @p gss against
 * enum bbu_status4_error: for each of those bits that is set, from 0x80
 * down, "ERROR, Byte4, BitB is ON" goes to the trace log (B is the bit's
 * position, 7 for 0x80). Bits 0x02 and 0x01 are not checked.
 * @param gss At least 5 readable bytes, byte 0 first; only read.
 * @return 1 when at least one checked bit is set, else 0.
 */
BBU_API int checkByte4(const char *gss);

/**
 * Check status byte 5 of @p gss against enum bbu_status5_error, tracing
 * "ERROR, Byte5, BitB is ON" for each set bit from 0x80 down, as
 * checkByte4(). Sets checksumError to 1 when CHKSUM_ERR is set (never
 * clears it).
 * @param gss At least 6 readable bytes, byte 0 first; only read.
 * @return 1 when at least one bit is set, else 0.
 */
BBU_API int checkByte5(const char *gss);

/**
 * Check status byte 6 of @p gss against enum bbu_status6_error (FLASH_ERASE,
 * then FLASH_PROGRAM), tracing "ERROR, Byte6, BitB is ON" for each set one,
 * as checkByte4(). The byte's other bits are not checked.
 * @param gss At least 7 readable bytes, byte 0 first; only read.
 * @return 1 when at least one checked bit is set, else 0.
 */
BBU_API int checkByte6(const char *gss);

/**
 * Read the 33-byte general status from 0x40 into global_GSS with
 * I2C_command_with_retry(), verify its check byte and check its error bits.
 *
 * @param fd      The caller's open adapter descriptor.
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

/**
 * @defgroup vpd VPD
 * @{
 *
 * The vital product data (VPD): a 256-byte image of keyword fields and a
 * check byte kept in the EEPROM at BBU_VPD_ADDR (0x54). Byte 255 is the XOR
 * (xorcheck()) of bytes 0 to 254; the sumcheck() of the same bytes is shown
 * beside it in the diagnostics but decides nothing.
 *
 * The EEPROM is addressed by a 1-byte write of the word address (always 0x00
 * here) followed by a read, and written one byte at a time with 2-byte
 * writes (word address, data byte). The address is state of the device:
 * nothing else may use 0x54 between an address write and its read.
 *
 * Process-wide state: none of its own. A "shown" diagnostic goes to standard
 * output when @p verbose is non-zero and to the trace log always; the image
 * as text ("... string = <text>") runs from byte 2 to the first NUL and never
 * past byte 255.
 */

#define BBU_VPD_LEN 256     /**< bytes of the VPD image */
#define BBU_VPD_HEAD_LEN 16 /**< bytes the code-level update re-reads to check its first read */

#define BBU_VPD_CHECK_OK 0              /**< the image's check byte is right */
#define BBU_VPD_CHECK_BAD 0x20          /**< the image's check byte is wrong (32) */
#define BBU_VPD_READ_INCONSISTENT (-64) /**< the update's reads disagreed; nothing written */

/**
 * The VPD image by field. Keyword heads are ASCII without terminator, each
 * value follows its head directly. Only the first BBU_VPD_LEN bytes of the
 * record are the image: component_specific runs past the end of it, and the
 * check byte is component_specific[167] (image byte 255).
 */
typedef struct BBU_VPD_DATA {
    uint8_t dummy;                   /**< 0: 0x00 in a valid image */
    uint8_t length;                  /**< 1: 0xFD, written by the code-level update */
    char partnum_head[3];            /**< 2: "PN=" */
    char partnum[8];                 /**< 5: part number */
    char fru_head[3];                /**< 13: "FN=" */
    char frunum[8];                  /**< 16: FRU number */
    char serial_head[3];             /**< 24: "SN=" */
    char serial[12];                 /**< 27: serial number */
    char ec_head[3];                 /**< 39: "EC=" */
    char eclevel[10];                /**< 42: EC level */
    char mfr_head[4];                /**< 52: "MFR=" */
    char mfr[6];                     /**< 56: manufacturer */
    char codelevel_head[3];          /**< 62: "CL=" */
    char codelevel[8];               /**< 65: code level; the update rewrites bytes 71, 72 */
    char name_head[5];               /**< 73: "name=" */
    char name[10];                   /**< 78: name */
    uint8_t component_specific[254]; /**< 88: "DFL=" at 88, "PC=" at 97, "BAT=" at 108 */
} BBU_VPD_DATA;

/**
 * Read the VPD image and check its check byte: read_vpd_buff() without a
 * copy of the image.
 */
BBU_API int read_vpd(int fd, int verbose);

/**
 * Read the 256-byte VPD image (an address write of 0x00, then one 256-byte
 * do_i2c_read(); no retry, no pause) and check its check byte.
 * @param fd      The caller's open adapter descriptor.
 * @param verbose Non-zero dumps the image with print_buffer() ("read bbu vpd
 *                =") and prints its text ("read bbu vpd string = <text>");
 *                passed on to the transfers.
 * @param outbuff NULL, or BBU_VPD_LEN bytes that receive the image read,
 *                whatever the verdict.
 * @return BBU_VPD_CHECK_OK when byte 255 is the XOR of bytes 0 to 254, else
 *         BBU_VPD_CHECK_BAD (32).
 *
 * The transfers' results are not examined: an EEPROM that does not answer
 * leaves the cleared buffer all zero, which passes the check (0).
 * Side effects: the string line goes to the trace log always; "readvpd cal
 * chksum <sum> act chksum <byte 255>" and "readvpd cal xorchksum <xor> act
 * chksum <byte 255>" are shown.
 */
BBU_API int read_vpd_buff(int fd, int verbose, unsigned char *outbuff);

/**
 * Check the keyword layout of a VPD image in memory, in this order: "PN=" at
 * 2 (1), "FN=" at 13 (2), "SN=" at 24 (3), "EC=" at 39 (4), "MFR=" at 52
 * (5), "CL=" at 62 (6), "name=" at 73 (7), "DFL=" at 88 (8), "PC=" at 97
 * (9), "BAT=" at 108 (10), byte 0 equal to 0x00 (11). A NUL in a head is a
 * mismatch. The check byte is not examined.
 * @param thevpd BBU_VPD_LEN readable bytes; only read.
 * @return 0 for a well-formed image, else the number (1 to 11) of the first
 *         check that fails. Pure: no I/O.
 */
BBU_API int bad_vpd(const unsigned char *thevpd);

/**
 * Rewrite the last two characters of the code level (image bytes 71 and 72),
 * set the length byte (1) to 0xFD, write a new check byte and read the image
 * back to verify it.
 *
 * The image is read (address write, 1000 us pause, 256-byte read through
 * I2C_command_with_retry()), once more if its byte 0 is not 0x00; then its
 * first 16 bytes are read again and compared with it, and read a third time
 * at the first difference. If they still differ, "major error, stopping" is
 * printed and traced and nothing is written. Otherwise exactly five byte
 * writes go to the EEPROM, in this order: 0x01 (0xFD), 0x47 and 0x48 (the
 * two characters), 0xFE (byte 254 as read) and 0xFF (the XOR of the new
 * bytes 0 to 254), paced by 1000 us pauses. The image is then read twice
 * and the second read is checked. Transfer results are not examined.
 *
 * @param fd        The caller's open adapter descriptor.
 * @param codelevel At least two characters; exactly the first two are used.
 *                  Both are taken before the first transfer.
 * @param verbose   Non-zero dumps and prints the first and the final image
 *                  and their text; passed on to the transfers.
 * @param fixup     Accepted and ignored: the check byte is always recomputed
 *                  in full, so a wrong stored check byte is repaired.
 * @return BBU_VPD_CHECK_OK when the image read back has a correct check byte,
 *         BBU_VPD_CHECK_BAD (32) when not (there is no retry of the writes),
 *         or BBU_VPD_READ_INCONSISTENT (-64) when the reads disagreed.
 *
 * Side effects: the EEPROM's bytes 1, 71, 72, 254 and 255 are written (254
 * with the value it had); the image is dumped with print_buffer() ("updvpd
 * 1st read debug", "debug 16 read", ...) on standard output and in the
 * trace log whatever @p verbose is; the check sums of the first and the
 * final read and the new check byte ("force checksum update <hex>") are
 * shown. Blocks for 11 ms of pauses, 1 ms more for each extra read.
 */
BBU_API int update_vpd_codelevel(int fd, const char *codelevel, int verbose, int fixup);

/** @} */

/**
 * @defgroup image Firmware image
 * @{
 *
 * New BBU firmware comes as a flat binary image file, sent to the BBU whole
 * in 128-byte blocks. The file starts with a FirmwareHeader; bytes 24 to 127
 * are covered by no check; the CRC covers bytes 128 to 49,151 (the CRC
 * region) of a 49,152-byte image, read as zeros past the end of a shorter
 * file. A longer file is sent whole. All multi-byte values are big-endian.
 *
 * Process-wide state: none. check_firmware_image() reads the file and
 * writes nothing anywhere; the flash load reports what it found.
 */

#define BBU_IMAGE_MAGIC 0xFEEDFACEu /**< magicNum of every image */
#define BBU_IMAGE_LEN 49152         /**< an image: 384 blocks of 128 bytes */
#define BBU_IMAGE_BLOCKS 384        /**< blocks of an image, as reported */
#define BBU_IMAGE_CRC_OFFSET 128    /**< start of the CRC region */
#define BBU_IMAGE_CRC_LEN 49024     /**< length of the CRC region */
#define BBU_IMAGE_BUFFER_LEN 65536  /**< at most this much of a file is read for the checks */
#define BBU_FLASH_DATA_LEN 128      /**< file bytes in one flash block record */
#define BBU_TAKE_FLASH_BLOCK 0x8F   /**< command byte of a flash block record and of TFB */

/** The 24-byte header at the start of an image file. */
typedef struct FirmwareHeader {
    bbu_be32 magicNum; /**< BBU_IMAGE_MAGIC */
    bbu_be32 version;  /**< the firmware version is its low byte, version.be[3] (file byte 7) */
    bbu_be32 date;     /**< build date; not interpreted */
    bbu_be32 time;     /**< build time; not interpreted */
    bbu_be32 crc;      /**< crc32() of the CRC region */
    bbu_be32 checksum; /**< checksum32() of the five words before it */
} FirmwareHeader;

/** The 36-byte header of a bootstrap image; no operation reads it. */
typedef struct BootHeader {
    bbu_be32 magicNum;          /**< BBU_IMAGE_MAGIC */
    bbu_be32 version;           /**< the version is its low byte */
    bbu_be32 date;              /**< build date */
    bbu_be32 time;              /**< build time */
    bbu_be32 imageSize;         /**< bytes of the image */
    bbu_be32 primaryImageLoc;   /**< where the primary image lies */
    bbu_be32 secondaryImageLoc; /**< where the secondary image lies */
    bbu_be32 crc;               /**< the image's CRC */
    bbu_be32 checksum;          /**< the header's check */
} BootHeader;

/** The 5-byte header of a flash block record. */
typedef struct sarxhead {
    uint8_t command;       /**< BBU_TAKE_FLASH_BLOCK */
    uint8_t counter;       /**< records sent in this load before this one, modulo 256 */
    uint8_t length;        /**< file bytes in the record: 128, fewer in a last short block */
    uint8_t datablocknum;  /**< block number, high byte */
    uint8_t numdatablocks; /**< block number, low byte (not a count of blocks) */
} sarxhead;

/** A flash block record: 134 bytes written whole to 0x60 for each block. */
typedef struct codebuffer {
    sarxhead header;                  /**< bytes 0 to 4 */
    uint8_t data[BBU_FLASH_DATA_LEN]; /**< the block's file bytes, zeros past header.length */
    uint8_t chksum;                   /**< sumcheck() of bytes 0 to 132 */
} codebuffer;

/** What check_firmware_image() and the flash load make of an image file. */
enum bbu_image_error {
    BBU_IMAGE_UNREADABLE = 3,  /**< cannot be opened, or its read gave no data */
    BBU_IMAGE_BAD_MAGIC = 4,   /**< magicNum is not BBU_IMAGE_MAGIC */
    BBU_IMAGE_BAD_CRC = 5,     /**< the CRC region does not match the header's crc */
    BBU_IMAGE_BAD_CHECKSUM = 6 /**< the header's first five words do not match its checksum */
};

/** The file buffer of the checks could not be allocated; nothing was checked. */
#define BBU_IMAGE_NO_MEMORY (-12)

/**
 * The image CRC of @p length bytes at @p start: bit-serial over the
 * polynomial 0x04C11DB7, initial value 0, nothing reflected, no final XOR,
 * no augmenting zeros. Only bit 0 of each byte reaches it, shifted in eight
 * times, so bits 1 to 7 of the data do not change it.
 * @return The CRC; 0 for no bytes ("abc" gives 0x00FF00FF). Pure.
 */
BBU_API uint32_t crc32(const unsigned char *start, uint32_t length);

/**
 * The XOR (not a sum) of the big-endian words from @p start up to, not
 * including, @p end. Over a FirmwareHeader's first five words it gives the
 * header's checksum, so the XOR of all six words of a valid header is 0.
 * @return The XOR; 0 when @p start is not below @p end. Pure.
 */
BBU_API uint32_t checksum32(const bbu_be32 *start, const bbu_be32 *end);

/** What check_firmware_image() found in an image file. */
typedef struct FIRMWARE_IMAGE_CHECK {
    int open_errno;         /**< 0, or errno of a failed open: then nothing below is set */
    int size;               /**< what the read gave: bytes (at most 65,536), 0 or negative */
    int bytes_read;         /**< size, at most BBU_IMAGE_LEN: what the load reports */
    int numblocks;          /**< 128-byte blocks in bytes_read, a short one counted */
    uint32_t magic;         /**< the header's magicNum */
    uint32_t crc;           /**< crc32() computed over the CRC region */
    uint32_t file_crc;      /**< the header's crc */
    uint32_t checksum;      /**< checksum32() computed over the header */
    uint32_t file_checksum; /**< the header's checksum */
    uint8_t version;        /**< the image's firmware version, file byte 7 */
    uint8_t read_ok;        /**< 1 when the read gave data */
    uint8_t magic_ok;       /**< 1 when magic is BBU_IMAGE_MAGIC */
    uint8_t crc_ok;         /**< 1 when crc equals file_crc */
    uint8_t checksum_ok;    /**< 1 when checksum equals file_checksum */
} FIRMWARE_IMAGE_CHECK;

/**
 * Read the image file @p filename and check it, writing nothing to any
 * stream or the trace log. One read of up to 65,536 bytes into a zeroed heap
 * buffer, so a short file's CRC region is zeros past its end; the checks run
 * in the order read, magic, CRC, header check, each whatever the others
 * found. There is no size check: any length whose checks pass is an image.
 * @param filename Path of the image file, opened read-only.
 * @param found    Receives what was found (cleared first).
 * @return 0 when every check passes; otherwise the code of the last one that
 *         failed (enum bbu_image_error; BBU_IMAGE_UNREADABLE with
 *         found->open_errno set when the file cannot be opened), or
 *         BBU_IMAGE_NO_MEMORY.
 *
 * Side effects: none; the file is closed and the buffer released before the
 * call returns.
 */
BBU_API int check_firmware_image(const char *filename, FIRMWARE_IMAGE_CHECK *found);

/**
 * Turn @p record, whose data already holds @p length file bytes of block
 * @p block (zeros after them), into a flash block record: command
 * BBU_TAKE_FLASH_BLOCK, counter and numdatablocks the block number's low
 * byte, datablocknum its high byte, length @p length, and chksum the
 * sumcheck() of the 133 bytes before it.
 * @param record The record; only its header and chksum are written.
 * @param block  Block number, from 0 (block n carries file bytes 128n on).
 * @param length File bytes in the record, 1 to 128.
 */
BBU_API void make_flash_block(codebuffer *record, unsigned int block, unsigned int length);

/** @} */

/**
 * @defgroup light Indicator light
 * @{
 *
 * The BBU reports its lights in status byte 14 (GENERAL_STATUS.byte0E): the
 * charging-state light in the high nibble, the service/fault light in the
 * low nibble. The values are the BBU's 4-bit codes; the library passes them
 * through. Process-wide state: none.
 */

#define BBU_SET_LIGHT_CMD 0xC2    /**< the set-light command code */
#define BBU_SET_LIGHT_SELECT 0x20 /**< ORed into the value: the command's parameter byte */

/**
 * Read the general status once with read_and_print_status() (label "light",
 * shown when @p verbose is non-zero) and take the service/fault light.
 * @param fd      The caller's open adapter descriptor.
 * @param verbose Non-zero shows the status; passed on to the read.
 * @return The ServiceFaultLED nibble, 0 to 15; 0 also when the read failed.
 *
 * Prints "BBU Light Status = full <byte 14> specific <nibble>" on standard
 * output whatever @p verbose is, and writes it to the trace log.
 */
BBU_API int get_light_status(int fd, int verbose);

/**
 * Command a new service/fault light value and read it back.
 *
 * Writes "set light to value <newcondition>" to the trace log (and first to
 * standard output when @p verbose), sends the frame BBU_SET_LIGHT_CMD,
 * BBU_SET_LIGHT_SELECT | (newcondition & 0xFF), sumcheck of the two, pauses
 * 1 us (no command handshake) and calls get_light_status().
 * @param fd           The caller's open adapter descriptor.
 * @param newcondition The light value, 0 to 15; any other value is still
 *                     sent (its low 8 bits) and can never be read back.
 * @param verbose      Non-zero echoes the request; passed on to the
 *                     transfer and the status read.
 * @return 0 when the value read back equals @p newcondition, else -1. The
 *         write's result is not examined, nor retried: a BBU that does not
 *         answer reads back 0.
 */
BBU_API int set_light(int fd, int newcondition, int verbose);

/** @} */

/**
 * @defgroup handshake Command handshake and block retries
 * @{
 *
 * The polls of the general status around each command of a flash load, the
 * re-sends of a Take_Flash_Block (TFB) the BBU did not take and of a block
 * it received with a bad checksum, and the optional pause after each TFB.
 * A TFB counts as taken when status bytes 12 and 13 both differ from what
 * they were before it.
 *
 * Process-wide state: TFB_delay and TFB_delaytime (the caller's settings),
 * the four before/after bytes below, and checksumError and global_GSS of
 * the checked status reads. Only one flash load may run in a process at a
 * time; change the settings only between loads.
 */

/** Non-zero: pause TFB_delaytime milliseconds after every TFB. Default 0. */
BBU_API extern int TFB_delay;
/** The pause after each TFB when TFB_delay is set, in milliseconds. Default 0. */
BBU_API extern int TFB_delaytime;
/** Status byte 12 as the flash load last saw it before writing a TFB. */
BBU_API extern char byte12_beforeTFB;
/** Status byte 13 as the flash load last saw it before writing a TFB. */
BBU_API extern char byte13_beforeTFB;
/** Status byte 12 of the latest complete read of wait_for_cmd_accept(). */
BBU_API extern char byte12_afterTFB;
/** Status byte 13 of the latest complete read of wait_for_cmd_accept(). */
BBU_API extern char byte13_afterTFB;

/** Results of check_and_retryTFB(). */
#define BBU_TFB_TAKEN 0     /**< taken at once: nothing re-sent */
#define BBU_TFB_RESENT 1    /**< re-sent at least once (taken or not in the end) */
#define BBU_TFB_FAILED (-5) /**< a re-send, or the status check after it, failed */

/**
 * Poll the status at 0x40 (32-byte reads, 100 microseconds apart, at most
 * 15) until one shows no command in progress (SAR0_CMD_IN_PROGRESS clear).
 * @param fd_i2c  The caller's open adapter descriptor.
 * @param verbose Non-zero shows each busy status ("not ready, delaying")
 *                and prints each incomplete read's line.
 * @return 1 when ready, 0 after 15 reads without it.
 *
 * A read of 30 bytes or fewer traces "not ready, delaying, read_len <n>".
 */
BBU_API int wait_for_cmd_ready(int fd_i2c, int verbose);

/**
 * Poll the status at 0x40 (as wait_for_cmd_ready()) until a complete read
 * (more than 30 bytes) comes: accepted when its byte 5 is 0, refused when
 * not; commandInProgress is not looked at.
 * @param fd_i2c  The caller's open adapter descriptor.
 * @param verbose Non-zero shows each complete status ("wait for ack") and
 *                prints each incomplete read's line.
 * @return 1 when accepted; -1 when refused or after 15 incomplete reads.
 *
 * Side effects: each complete read sets byte12_afterTFB and
 * byte13_afterTFB; an incomplete one leaves them as they were and traces
 * "wait for ack read_len <n>".
 */
BBU_API int wait_for_cmd_accept(int fd_i2c, int verbose);

/**
 * After a pause of 100 microseconds, write the clear-status frame E9 E9 to
 * 0x40 (one attempt).
 * @return The write's result: 2, fewer when short, or I2C_TRANSFER_FAILED.
 */
BBU_API int clear_status(int fd_i2c, int verbose);

/**
 * After a TFB and its acceptance poll: while status bytes 12 and 13 do not
 * both differ from byte12_beforeTFB and byte13_beforeTFB, re-send the TFB
 * (at most 3 times), each time through the retry layer, followed by the
 * TFB pause, a checked status read and an acceptance poll. The
 * before-values stay those of the first TFB.
 * @param i2c_fd  The caller's open adapter descriptor.
 * @param sar_buf The TFB frame in its first two bytes; only read.
 * @param verbose Passed to the transfers and status reads.
 * @return BBU_TFB_TAKEN, BBU_TFB_RESENT (also when the third re-send still
 *         looks lost: "TFB RE-WRITE reached max retry"), or BBU_TFB_FAILED
 *         when a re-send write or the status check after it fails.
 *
 * Traces "***TFB command lost, retry TFB***" before each re-send.
 */
BBU_API int check_and_retryTFB(int i2c_fd, const char *sar_buf, int verbose);

/**
 * Re-send a flash block record that the BBU reported with a bad checksum:
 * up to 3 times, each time clearing checksumError, writing @p length bytes
 * of @p buffer to 0x60 (one attempt) and making a checked status read,
 * until the status is clean or shows no checksum error.
 * @param i2c_fd  The caller's open adapter descriptor.
 * @param length  Bytes of the record (134).
 * @param buffer  The record; only read.
 * @param verbose Passed to the transfers and status reads.
 * @return The last checked read's result (0 when clean), or 1 when all
 *         three re-sends ended with a checksum error ("RE-WRITE to SARX
 *         reached max retry").
 *
 * Traces "***Checksum error, rewrite to SARX***" before each re-send.
 */
BBU_API int rewriteToSARX(int i2c_fd, int length, const char *buffer, int verbose);

/** @} */

/**
 * @defgroup memory Validation and memory dump
 * @{
 *
 * The BBU's memory is read with the 8-byte read-memory frame E0 90, a count
 * (1 to 128), a big-endian address and its sumcheck; the bytes are taken
 * from byte 6 of a 256-byte read at 0x60 made at once after it. The header
 * of the image the BBU holds lies at BBU_FIRST_IMAGE_ADDR.
 *
 * Process-wide state: none of its own (the checked reads write global_GSS).
 */

#define BBU_FIRST_IMAGE_ADDR 0x1000 /**< the header of the BBU's first image */
#define BBU_READ_MEMORY_MAX 128     /**< bytes one read-memory command returns at most */

/** Store the 32-bit @p address in @p buffer[0..3], most significant byte first. */
BBU_API void set_address(unsigned char *buffer, unsigned long address);

/**
 * Read @p length bytes of BBU memory from @p start_addr, in chunks of at most
 * 128 bytes: for each, the read-memory frame to 0x40 and a 256-byte read at
 * 0x60, neither retried.
 * @param i2c_fd     The caller's open adapter descriptor.
 * @param start_addr BBU memory address of the first byte.
 * @param length     Bytes to read; 0 or less reads nothing.
 * @param filename   NULL, or a file that receives the bytes from its start:
 *                   created with mode 0644 (less the umask) when missing,
 *                   not truncated, never through a symbolic link; a file
 *                   that cannot be opened is skipped silently.
 * @param outbuf     NULL, or @p length bytes that receive the bytes in order.
 * @param verbose    Non-zero prints each chunk's rc lines and a print_buffer()
 *                   dump headed "addr <start, 8 hex digits> data".
 *
 * No result: a failed transfer shows only in "read memory cmd rc = <rc>" and
 * "sarx read rc = <rc>" (traced always), and its chunk is taken from the
 * cleared response (zeros). The file is closed before the call returns.
 */
BBU_API void dump_memory(int i2c_fd, unsigned long start_addr, int length, const char *filename,
                         unsigned char *outbuf, int verbose);

/**
 * Ask the BBU to validate the image it holds: a checked status read, the
 * frame 8C 8C through the retry layer, 10 seconds, a second checked read.
 * @param fd      The caller's open adapter descriptor.
 * @param verbose Shows both statuses and prints "nonzero bit is on, good".
 * @return 1 when the second status shows non_zero set and reprogram_req
 *         clear; 0 otherwise, and 0 when that read fails or its check byte
 *         is wrong (no verdict from an older status). "reprogram bit is on"
 *         is printed on standard output whatever @p verbose.
 */
BBU_API int validate_img(int fd, int verbose);

/** @} */

/**
 * @defgroup resets Resets
 * @{
 *
 * The soft reset is the command 8A 8A to the BBU followed by a poll for its
 * power-up; the hard reset goes through the BBU's real-time clock at 0x68,
 * whose alarm 1, armed to match every second with its interrupt enabled,
 * resets the BBU processor. Both block for seconds.
 *
 * Process-wide state: none.
 */

/** The real-time clock's registers; a field's offset is its register address. */
typedef struct RTCdata {
    uint8_t seconds;   /**< 0x00 */
    uint8_t minutes;   /**< 0x01 */
    uint8_t hours;     /**< 0x02 */
    uint8_t day;       /**< 0x03 */
    uint8_t date;      /**< 0x04 */
    uint8_t months;    /**< 0x05 */
    uint8_t year;      /**< 0x06 */
    uint8_t secondsA1; /**< 0x07: alarm 1; bit 0x80 masks the match */
    uint8_t minutesA1; /**< 0x08: alarm 1 */
    uint8_t hoursA1;   /**< 0x09: alarm 1 */
    uint8_t dayA1;     /**< 0x0A: alarm 1 */
    uint8_t minutesA2; /**< 0x0B: alarm 2 */
    uint8_t hoursA2;   /**< 0x0C: alarm 2 */
    uint8_t dayA2;     /**< 0x0D: alarm 2 */
    bbu_be16 ctlFlags; /**< 0x0E control (high byte), 0x0F status (low byte) */
} RTCdata;

/** Masks of RTCdata.ctlFlags read as a 16-bit value. */
enum RTCflgs {
    EOSC_inverted = 0x8000, /**< control 0x80: oscillator stopped */
    RS2 = 0x1000,           /**< control 0x10 */
    RS1 = 0x0800,           /**< control 0x08 */
    INTCN = 0x0400,         /**< control 0x04: alarms drive the interrupt output */
    A2IE = 0x0200,          /**< control 0x02: alarm 2 interrupt enabled */
    A1IE = 0x0100,          /**< control 0x01: alarm 1 interrupt enabled */
    OSF = 0x0080,           /**< status 0x80: the oscillator stopped */
    A2F = 0x0002,           /**< status 0x02: alarm 2 matched */
    A1F = 0x0001            /**< status 0x01: alarm 1 matched */
};

/** Result of processor_reset_bbu() when a clock write fell short. */
#define BBU_HARD_RESET_FAILED (-1)

/**
 * Soft reset: write 8A 8A to 0x40 (result not examined), sleep 1 second,
 * then poll the status (read_and_print_status(), "reset test") once a
 * second until it shows power_up and non_zero with byte 1 the complement of
 * byte 0, 30 polls at most. Each failed poll traces "reset waiting retries
 * remaining = <n>", n from 30 down to 1, printed too when @p verbose.
 * @param i2c_fd  The caller's open adapter descriptor.
 * @param verbose Shows each status read and prints the waiting lines.
 *
 * No result: the caller cannot tell whether the BBU came back.
 */
BBU_API void reset_bbu(int i2c_fd, int verbose);

/**
 * Hard reset through the real-time clock at 0x68: alarm 1 set to match every
 * second (07 80 80 80 80), its interrupt enabled (0E 05), 2 seconds for the
 * alarm to reset the BBU processor, the interrupt disabled (0E 04), the
 * alarm flags cleared (0F 00), then 30 seconds for the processor to restart.
 * Each write is one transfer, not retried; its result is traced
 * ("Set Alarm 1 return <rc>", ...) and printed when @p verbose.
 * @param fd      The caller's open adapter descriptor.
 * @param verbose Prints the steps' lines on standard output too.
 * @return 0 after the 30 seconds; BBU_HARD_RESET_FAILED at once when a
 *         write carries anything but its full length, with that step's
 *         message ("Set Alarm 1 does not return 5", ...) traced and printed
 *         whatever @p verbose. The later steps are not attempted.
 */
BBU_API int processor_reset_bbu(int fd, int verbose);

/**
 * The opening status check: read the status with retries ("initial status"),
 * dumped once (by print_buffer() when @p verbose is 0, by the read's display
 * otherwise). When the BBU was left in flash-program mode (operation_mode),
 * print and trace so, soft-reset it with reset_bbu() and wait 5 seconds.
 * @param fd      The caller's open adapter descriptor.
 * @param verbose Passed to the status read and the reset.
 * @return 1 when the status read first (before any reset) has non_zero set,
 *         else 0 (also when the read failed: the status is then all zero).
 */
BBU_API int get_BBU_status(int fd, int verbose);

/** @} */

/**
 * @defgroup flash Flash load
 * @{
 *
 * processCodeLoad() loads an image file into the BBU: it checks the file,
 * compares versions with the header the BBU holds at BBU_FIRST_IMAGE_ADDR,
 * soft-resets the BBU, sends Start_Flash_Load (89 89), then for each block a
 * flash block record to 0x60, the terminate byte 01 and a Take_Flash_Block
 * (8F 8F) to 0x40, each followed by a checked status read, with the
 * handshake's re-sends; at the end End_Flash_Load (8A 8A) and 10 seconds.
 *
 * Process-wide state: that of the handshake and the checked reads. One load
 * at a time per process, and nothing else on the BBU meanwhile.
 */

/** Results of processCodeLoad() besides the image errors and a failed transfer's value. */
#define BBU_LOAD_DONE 0           /**< the sequence ran to its end */
#define BBU_LOAD_SAME_VERSION 24  /**< the BBU holds this version and validates it */
#define BBU_LOAD_FAILED (-5)      /**< a status check, a TFB write or its recovery failed */
#define BBU_LOAD_SHORT_START (-7) /**< Start_Flash_Load carried fewer than 2 bytes */

/**
 * Load the firmware image file @p filename into the BBU.
 *
 * The image is checked first (check_firmware_image()) and its findings are
 * reported: "problem reading the file", "magic number does not match", "crc
 * does not match", "checksum does not match" for each failed check, then
 * "file read debug: ..." and "exp magic=..." (standard error when @p verbose,
 * the trace log always). An image that fails a check is never sent: the load
 * ends right after that report, before anything reaches the BBU.
 *
 * Without @p force, the BBU's version (byte 7 at BBU_FIRST_IMAGE_ADDR, read
 * again up to three times 2 seconds apart while the header does not start FE
 * ED, with a soft reset after the second re-read and a hard reset after the
 * third) is compared with the image's: "File FW Version: <hex> BBU FW
 * Version: <hex> " is printed whatever @p verbose. Equal versions print "BBU
 * already has this version of code" on standard error and ask the BBU to
 * validate its image: valid ends the load with BBU_LOAD_SAME_VERSION; not
 * valid prints "BBU secondary image is bad, loading anyway" and goes on.
 *
 * Without @p verbose, every 32nd block prints "data block <nnnn> of 383".
 *
 * @param i2c_fd   The caller's open adapter descriptor.
 * @param filename Path of the image file.
 * @param verbose  Non-zero prints progress and shows every status read.
 * @param force    Non-zero skips the version check: no read of the BBU's
 *                 memory, no validation.
 * @return
 *  - BBU_LOAD_DONE when the sequence ran to its end (all blocks sent, or the
 *    file's read failed part way);
 *  - BBU_IMAGE_UNREADABLE (3), BBU_IMAGE_BAD_MAGIC (4), BBU_IMAGE_BAD_CRC (5)
 *    or BBU_IMAGE_BAD_CHECKSUM (6): the image was refused (the last failing
 *    check decides); nothing was sent to the BBU;
 *  - BBU_IMAGE_NO_MEMORY: the file buffer could not be allocated; nothing
 *    was checked or sent;
 *  - BBU_LOAD_SAME_VERSION: nothing loaded;
 *  - the negative result of the 256-byte status read before the load, or of
 *    the Start_Flash_Load write;
 *  - BBU_LOAD_SHORT_START, or BBU_LOAD_FAILED with the trace line naming the
 *    step ("GSS check failed after Terminate, exit processCodeLoad", ...).
 *
 * Side effects: once Start_Flash_Load has been sent, any result but
 * BBU_LOAD_DONE leaves the BBU in the middle of a flash load (the next
 * get_BBU_status() resets it). The image file is closed and the file buffer
 * released on every return.
 */
BBU_API int processCodeLoad(int i2c_fd, const char *filename, int verbose, int force);

/** @} */

/**
 * @defgroup checked Checked operations
 * @{
 *
 * One function per device operation that a tool reports on, each saying
 * success only when it has seen the outcome on the device. Beside the
 * functions above, whose contract passes many failures over in silence, these
 * check every transfer's result (the length carried, not just its sign), take
 * a general status only as the whole 33-byte block with a correct check byte,
 * confirm that the BBU accepted a command where its status shows it, and
 * after a change read the device back and compare it with what was meant.
 * Every transfer is tried as I2C_command_with_retry() tries it (three
 * attempts in a row), so a fault those retries absorb still ends in success;
 * the checked operations make the attempts themselves, so that the errno of
 * the last one is the one reported.
 *
 * Every operation fills a bbu_checked_result: whether it succeeded, the step
 * that failed and why (with the library or transfer result and the errno
 * behind it), what the device holds now as far as it could be read, and the
 * values seen before and after. The operations print nothing themselves;
 * @p verbose is passed to the transfers, whose console output it switches on
 * as it does everywhere, and shows each status read with
 * print_general_status(). The trace log gets one line for each failure
 * ("checked operation failed <step>: <why>, rc = <rc>, errno = <errno>"),
 * and the flash load the handshake's lines for its re-sends. When the trace
 * log cannot be opened (its folder missing, no permission), those lines are
 * lost without a word: LogTrace()'s "Can't open Log File" message is left out
 * while an operation runs, since the result already says what failed (a
 * progress callback's own LogTrace() calls keep the message).
 *
 * The flash load, the resets and the validation take an optional progress
 * callback: a function pointer and a context pointer handed back to it; NULL
 * means none. Their fixed waits are slept in steps of at most one second so
 * that the callback can count them down.
 *
 * Process-wide state: none of their own; the flash load reads TFB_delay and
 * TFB_delaytime (and pauses after each Take_Flash_Block as the load does).
 * Nothing is kept between calls, nothing is allocated: every record here is
 * fixed-size and the caller's.
 */

/** Results of the checked operations (besides bbu_checked_open()). */
#define BBU_CHECKED_OK 0
#define BBU_CHECKED_FAILED (-1)
/**
 * The operation did what it was asked and sent everything, but nothing the
 * BBU shows can tell whether it took effect (a reset while power_up stayed
 * set from before and clear-status did not clear it): ok is 0, holds
 * BBU_HOLDS_NOT_VERIFIABLE, step and why name nothing.
 */
#define BBU_CHECKED_UNVERIFIED 1

/**
 * What an outcome rests on (bbu_checked_result.verified, a mask): only what
 * the BBU, the EEPROM and the clock show in the bytes whose meaning is fixed,
 * seen in this run. bbu_checked_evidence_text() gives each its words.
 */
#define BBU_EVIDENCE_STATUS 0x001u     /**< "status read": a whole status, its check byte right */
#define BBU_EVIDENCE_READ_TWICE 0x002u /**< "read back twice": two reads gave the same bytes */
#define BBU_EVIDENCE_HEADER 0x004u     /**< "header read back": the 32 bytes at 0x1000 */
#define BBU_EVIDENCE_VALIDATION 0x008u /**< "validation": non_zero set, reprogram_req clear */
#define BBU_EVIDENCE_RESTART 0x010u    /**< "restart seen": power_up seen clear, then set */
#define BBU_EVIDENCE_ALARM 0x020u      /**< "alarm read back": the clock's alarm disarmed */
#define BBU_EVIDENCE_LIGHT 0x040u      /**< "light read back": status byte 14's low nibble */
#define BBU_EVIDENCE_ACCEPTED 0x080u   /**< "command accepted": status byte 5 clear after it */
#define BBU_EVIDENCE_VPD 0x100u        /**< "VPD read back": the whole image, its check byte */
#define BBU_EVIDENCE_BITS 9            /**< the bits above are the low ones of this count */

/** The step of an operation that failed (bbu_checked_result.step). */
typedef enum bbu_checked_step {
    BBU_STEP_NONE = 0,           /**< nothing failed */
    BBU_STEP_ARGUMENT = 1,       /**< the arguments were refused before the bus */
    BBU_STEP_IMAGE_FILE = 2,     /**< reading the image file */
    BBU_STEP_IMAGE_CHECK = 3,    /**< checking the image */
    BBU_STEP_STATUS = 4,         /**< reading the general status */
    BBU_STEP_FIRST_IMAGE = 5,    /**< reading the header of the BBU's image */
    BBU_STEP_MEMORY = 6,         /**< reading the BBU's memory */
    BBU_STEP_CLEAR_STATUS = 7,   /**< clearing the status before a reset */
    BBU_STEP_SOFT_RESET = 8,     /**< sending the soft reset */
    BBU_STEP_ALARM_SET = 9,      /**< setting alarm 1 of the clock */
    BBU_STEP_ALARM_ENABLE = 10,  /**< enabling alarm 1 */
    BBU_STEP_ALARM_DISABLE = 11, /**< disabling alarm 1 */
    BBU_STEP_ALARM_CLEAR = 12,   /**< clearing the alarm flags */
    BBU_STEP_ALARM_VERIFY = 13,  /**< reading the clock's alarm registers back */
    BBU_STEP_RESTART = 14,       /**< waiting for the BBU to show its restart */
    BBU_STEP_COMMAND_READY = 15, /**< waiting until no command is in progress */
    BBU_STEP_START_LOAD = 16,    /**< starting the flash load */
    BBU_STEP_BLOCK_RECORD = 17,  /**< sending a flash block record */
    BBU_STEP_TERMINATE = 18,     /**< ending a flash block record */
    BBU_STEP_TAKE_BLOCK = 19,    /**< having a block taken (Take_Flash_Block) */
    BBU_STEP_END_LOAD = 20,      /**< ending the flash load */
    BBU_STEP_VALIDATE = 21,      /**< having the BBU validate its image */
    BBU_STEP_VERIFY_IMAGE = 22,  /**< comparing the BBU's image with the file */
    BBU_STEP_VPD_READ = 23,      /**< reading the VPD */
    BBU_STEP_VPD_WRITE = 24,     /**< writing a VPD byte */
    BBU_STEP_VPD_VERIFY = 25,    /**< reading the VPD back */
    BBU_STEP_LIGHT_SET = 26,     /**< sending the set-light command */
    BBU_STEP_LIGHT_VERIFY = 27   /**< reading the light back */
} bbu_checked_step;

/** Why a step failed (bbu_checked_result.why); rc and err say more. */
typedef enum bbu_checked_why {
    BBU_WHY_NONE = 0,
    BBU_WHY_TRANSFER_FAILED = 1, /**< the transfer failed: rc I2C_TRANSFER_FAILED, err its errno */
    BBU_WHY_SHORT_TRANSFER = 2,  /**< the transfer carried fewer bytes than asked: rc the bytes */
    BBU_WHY_BAD_CHECK_BYTE = 3,  /**< what was read has a wrong check byte */
    BBU_WHY_ERROR_BITS = 4,      /**< the status shows error bits: rc bytes 4, 5, 6 as 0xBBBBBB */
    BBU_WHY_NOT_ACCEPTED = 5,    /**< the BBU did not accept the command: rc status byte 5 */
    BBU_WHY_BUSY = 6,            /**< a command stayed in progress */
    BBU_WHY_NO_RESTART = 7,      /**< the BBU did not show a restart (power_up) */
    BBU_WHY_BLOCK_NOT_TAKEN = 8, /**< status bytes 12 and 13 did not move after the re-sends */
    BBU_WHY_BLOCK_CHECKSUM = 9,  /**< the block had a bad checksum at the BBU after the re-sends */
    BBU_WHY_FLASH_MODE = 10,     /**< the BBU is (still, or not) in flash-program mode */
    BBU_WHY_IMAGE_INVALID = 11,  /**< the BBU reports its image not valid */
    BBU_WHY_NO_VERDICT = 12,     /**< the BBU gave no verdict on its image */
    BBU_WHY_WRONG_VERSION = 13,  /**< the BBU runs another firmware version: rc the version byte */
    BBU_WHY_MISMATCH = 14, /**< read back differs from what was meant: rc the offset or value */
    BBU_WHY_READS_DISAGREE = 15, /**< reads of the same bytes disagree */
    BBU_WHY_BAD_RESPONSE = 16,   /**< the response block does not answer the command */
    BBU_WHY_VPD_LAYOUT = 17,     /**< the VPD is not laid out as expected: rc bad_vpd()'s result */
    BBU_WHY_WRITE_CYCLE = 18,    /**< the EEPROM did not end its write cycle in time */
    BBU_WHY_FILE = 19,           /**< the file cannot be opened or read: err its errno */
    BBU_WHY_NOT_REGULAR_FILE = 20, /**< the path is not a regular file */
    BBU_WHY_FILE_TOO_LONG = 21,    /**< the file is longer than BBU_IMAGE_BUFFER_LEN */
    BBU_WHY_FILE_CHANGED = 22,     /**< the file changed while it was read */
    BBU_WHY_IMAGE_REFUSED = 23,    /**< the image fails a check: rc the enum bbu_image_error code */
    BBU_WHY_IMAGE_TOO_LONG = 24,   /**< the image is longer than its BBU_IMAGE_BLOCKS blocks */
    BBU_WHY_BAD_ARGUMENT = 25      /**< an argument is out of range */
} bbu_checked_why;

/** What the device holds at the end, as far as it could be read (bbu_checked_result.holds). */
typedef enum bbu_checked_holds {
    BBU_HOLDS_UNCHANGED =
        0, /**< nothing was changed: a read, or a change refused before its first write */
    BBU_HOLDS_OLD_VALUE = 1,   /**< read back: the old value is still in place */
    BBU_HOLDS_NEW_VALUE = 2,   /**< read back: the new value is in place */
    BBU_HOLDS_OTHER_VALUE = 3, /**< read back: neither (a half-written VPD, another light value) */
    BBU_HOLDS_OLD_IMAGE = 4,   /**< the old image still runs */
    BBU_HOLDS_NEW_IMAGE = 5,   /**< the new image runs */
    BBU_HOLDS_NO_VALID_IMAGE =
        6, /**< the BBU reported its image not valid (reprogram_req after a validation) */
    BBU_HOLDS_RESTARTED = 7,     /**< the BBU showed its restart */
    BBU_HOLDS_NOT_RESTARTED = 8, /**< the BBU answers but showed no restart */
    BBU_HOLDS_NO_ANSWER = 9,     /**< the device does not answer */
    BBU_HOLDS_UNREADABLE = 10,   /**< it answers, but the value could not be read */
    BBU_HOLDS_NOT_VERIFIABLE = 11, /**< the reset was sent; no restart can be told (UNVERIFIED) */
    BBU_HOLDS_FLASH_MODE = 12      /**< the BBU is still in flash-program mode (operation_mode) */
} bbu_checked_holds;

/** Flags of bbu_checked_flash() and bbu_checked_check_image(). */
#define BBU_CHECKED_FLASH_FORCE 0x01u /**< load even when the BBU already runs this very image */
#define BBU_CHECKED_IMAGE_LONG 0x02u  /**< accept an image longer than BBU_IMAGE_BLOCKS blocks */

/** Result of bbu_checked_check_image() for an image longer than BBU_IMAGE_LEN. */
#define BBU_IMAGE_TOO_LONG 7

/**
 * What a checked operation did and saw. Filled by every operation (cleared
 * first); the caller owns it.
 *
 * before and after are the values seen, -1 where none was read:
 *  - status, validation, flash load, resets: the firmware as
 *    version * 256 + sub-version (status bytes 30 and 31), so 0x0512 is
 *    shown as "05.12";
 *  - light read and set: the service/fault light, 0 to 15;
 *  - code-level update and VPD read: the last two code-level characters
 *    (VPD bytes 71 and 72) as first * 256 + second;
 *  - memory dump: after is the count of bytes read.
 */
typedef struct bbu_checked_result {
    int ok;         /**< 1 when the outcome was seen on the device, else 0 */
    int step;       /**< enum bbu_checked_step: the step that failed; BBU_STEP_NONE when ok */
    int why;        /**< enum bbu_checked_why: why it failed; BBU_WHY_NONE when ok */
    int rc;         /**< the library or transfer result behind why (see each why) */
    int err;        /**< the errno of the failed transfer or file operation, else 0 */
    int block;      /**< flash load: the block (from 0) of the failed step, else -1 */
    int holds;      /**< enum bbu_checked_holds */
    int changed;    /**< 1 when a change was written to the device */
    int before;     /**< the value before the operation, -1 when not read */
    int after;      /**< the value after it, -1 when not read */
    int has_status; /**< 1 when status holds the last valid general status read */
    unsigned char status[BBU_GSS_READ_LEN]; /**< that status, check byte included */
    unsigned verified; /**< BBU_EVIDENCE_* bits: what this run's outcome rests on */
} bbu_checked_result;

/** The phase a long operation is in (bbu_checked_progress.phase). */
typedef enum bbu_checked_phase {
    BBU_PHASE_FIRST_IMAGE = 1, /**< reading the BBU's image header */
    BBU_PHASE_SOFT_RESET = 2,  /**< soft reset and the wait after it */
    BBU_PHASE_HARD_RESET = 3,  /**< hard reset: the alarm, the restart wait */
    BBU_PHASE_START_LOAD = 4,  /**< Start_Flash_Load and the waits after it */
    BBU_PHASE_BLOCKS = 5,      /**< sending the blocks */
    BBU_PHASE_END_LOAD = 6,    /**< End_Flash_Load and the wait after it */
    BBU_PHASE_VALIDATE = 7,    /**< the BBU validating its image */
    BBU_PHASE_VERIFY = 8,      /**< reading the new image back */
    BBU_PHASE_RECOVER = 9,     /**< after a failure: ending the load, finding what the BBU holds */
    BBU_PHASE_WAIT_IDLE = 10   /**< waiting for a command the BBU was already running */
} bbu_checked_phase;

/** One progress report. */
typedef struct bbu_checked_progress {
    int phase;        /**< enum bbu_checked_phase */
    int block;        /**< BBU_PHASE_BLOCKS: the block being sent, from 1; else 0 */
    int blocks;       /**< BBU_PHASE_BLOCKS: the blocks of the image; else 0 */
    int seconds_left; /**< the seconds left of the fixed wait under way, -1 outside one */
} bbu_checked_progress;

/**
 * A progress callback: called at each phase, each block and each second of
 * a fixed wait, from the calling thread, with @p context as given to the
 * operation. It must not use the adapter.
 */
typedef void (*bbu_checked_progress_fn)(const bbu_checked_progress *progress, void *context);

/** An image file as read once by bbu_checked_read_image(). */
typedef struct bbu_checked_image {
    uint32_t length;                           /**< bytes of the file */
    unsigned char bytes[BBU_IMAGE_BUFFER_LEN]; /**< the file, zeros past length */
} bbu_checked_image;

/**
 * Open the adapter for reading and writing, silently, and make sure it is
 * one: asked I2C_FUNCS before anything is sent, it must name I2C_FUNC_I2C,
 * the plain I2C messages every transfer sends.
 * @param adapter The device path; NULL for I2C_Adapter.
 * @return The descriptor (the caller owns it), the negative errno of the
 *         failed open, or -ENOTTY when the path opens but is not an I2C
 *         adapter that takes plain I2C messages (a regular file, a FIFO,
 *         /dev/null, an SMBus-only adapter; it is closed again). Prints and
 *         traces nothing.
 */
BBU_API int bbu_checked_open(const char *adapter);

/**
 * Read the general status: the 33-byte block carried whole with a correct
 * check byte, read once more when its check byte is wrong (verified
 * BBU_EVIDENCE_STATUS).
 * @param fd      The caller's open adapter descriptor.
 * @param status  NULL, or receives the 32 status bytes on success.
 * @param result  Receives the outcome; on success status holds the 33 bytes,
 *                before and after the firmware. Error bits in the status do
 *                not fail the read: they are the BBU's report.
 * @param verbose Passed to the status read.
 * @return BBU_CHECKED_OK, or BBU_CHECKED_FAILED (BBU_STEP_STATUS).
 */
BBU_API int bbu_checked_read_status(int fd, GENERAL_STATUS *status, bbu_checked_result *result,
                                    int verbose);

/**
 * Have the BBU validate the image it holds: a checked status read, the
 * validate-image frame 8C 8C (its acceptance seen in the next status read),
 * 10 seconds, and the status after them.
 * @return BBU_CHECKED_OK only when that status shows a finished command,
 *         non_zero set and reprogram_req clear (holds BBU_HOLDS_UNCHANGED,
 *         verified BBU_EVIDENCE_VALIDATION);
 *         BBU_CHECKED_FAILED otherwise: BBU_WHY_IMAGE_INVALID with holds
 *         BBU_HOLDS_NO_VALID_IMAGE for a verdict of not valid, or the failed
 *         step with what could be read.
 */
BBU_API int bbu_checked_validate(int fd, bbu_checked_progress_fn progress, void *context,
                                 bbu_checked_result *result, int verbose);

/**
 * Read @p length bytes of BBU memory from @p start: for each chunk of at
 * most BBU_READ_MEMORY_MAX bytes the read-memory frame and the 256-byte
 * response, both carried whole, the chunk taken from the response's byte 6
 * on. The response's other bytes mean nothing the BBU promises, so a chunk
 * is taken only when two responses give the same bytes: it is asked for
 * again until two agree, 2 * I2C_RETRY_ATTEMPTS times at most (verified
 * BBU_EVIDENCE_READ_TWICE; BBU_WHY_READS_DISAGREE when none agree).
 * @param length 1 or more, and @p start + @p length at most 2^32.
 * @param out    @p length bytes; on failure the chunks before the failed one
 *               are in place and result.after counts them.
 * @return BBU_CHECKED_OK or BBU_CHECKED_FAILED (BBU_STEP_MEMORY).
 */
BBU_API int bbu_checked_dump(int fd, uint32_t start, uint32_t length, unsigned char *out,
                             bbu_checked_result *result, int verbose);

/**
 * Read an image file once into @p image: opened without following a
 * symbolic link and without waiting on a FIFO, a regular file only, at most
 * BBU_IMAGE_BUFFER_LEN bytes, read to its end and compared with its size.
 * Nothing later reads the file again.
 * @return BBU_CHECKED_OK, or BBU_CHECKED_FAILED with BBU_STEP_IMAGE_FILE and
 *         BBU_WHY_FILE (err), BBU_WHY_NOT_REGULAR_FILE, BBU_WHY_FILE_TOO_LONG
 *         or BBU_WHY_FILE_CHANGED.
 */
BBU_API int bbu_checked_read_image(const char *path, bbu_checked_image *image,
                                   bbu_checked_result *result);

/**
 * Check an image in memory, without a BBU: every check of
 * check_firmware_image() (the CRC region read as zeros past @p length), and
 * its length: longer than BBU_IMAGE_LEN (BBU_IMAGE_BLOCKS blocks) only with
 * BBU_CHECKED_IMAGE_LONG in @p flags, since the BBU's memory may end there.
 * @param found NULL, or receives what was found, as check_firmware_image()
 *              fills it (size is @p length).
 * @return 0 when the image may be loaded; else the code (enum
 *         bbu_image_error) of the last check that failed, in the order read
 *         (BBU_IMAGE_UNREADABLE: no bytes), magic, CRC, header check, as
 *         check_firmware_image() gives it (an empty image is
 *         BBU_IMAGE_BAD_MAGIC); BBU_IMAGE_TOO_LONG decides over them all.
 *         Pure.
 */
BBU_API int bbu_checked_check_image(const unsigned char *bytes, size_t length, unsigned flags,
                                    FIRMWARE_IMAGE_CHECK *found);

/**
 * Load @p image into the BBU and see it hold it. The image is checked first
 * (bbu_checked_check_image() with @p flags): a refused image never reaches
 * the bus. A command the BBU is still running (left by a program that died,
 * such as a validation) is waited for, a second at a time, for up to 10
 * seconds (BBU_PHASE_WAIT_IDLE). Unless BBU_CHECKED_FLASH_FORCE, the header the BBU holds at
 * BBU_FIRST_IMAGE_ADDR is read and when its 32 bytes equal the image's,
 * status byte 30 agrees with its version byte and the BBU validates its
 * image, nothing is loaded (ok, changed 0); a status that disagrees makes it
 * load (loading the same image is harmless). The soft reset before the load
 * makes the restart visible first (power_up read, clear-status when it is
 * set); a restart that cannot be seen does not stop the load, whose polls
 * then run their 30 seconds: what the load rests on is Start_Flash_Load
 * taken with the flash mode on. Then the load
 * sequence of processCodeLoad() with its frames and pauses, strict: every
 * write carried whole, every status read checked, Start_Flash_Load seen
 * accepted with the BBU in flash-program mode, a block record the BBU still
 * reports with a bad checksum after three re-sends, a Take_Flash_Block still
 * not taken after three re-sends, a failed terminate byte or any error bit
 * ends the load. After End_Flash_Load and its 10 seconds the BBU must be out
 * of flash-program mode, hold the image's header at BBU_FIRST_IMAGE_ADDR and
 * validate it: verified BBU_EVIDENCE_HEADER and BBU_EVIDENCE_VALIDATION,
 * also when nothing was loaded. valid_image and status bytes 30 and 31 are
 * never taken for the image running.
 *
 * On a failure after Start_Flash_Load the load is ended (End_Flash_Load) so
 * that the BBU does not stay in flash-program mode, and what it holds is
 * found out by its status, its image header and a validation.
 * @param image    The image as read by bbu_checked_read_image(); only read.
 * @param progress NULL, or called with the phases, blocks and waits.
 * @return BBU_CHECKED_OK (holds BBU_HOLDS_NEW_IMAGE, or BBU_HOLDS_UNCHANGED
 *         when the image was there), or BBU_CHECKED_FAILED with holds one
 *         of BBU_HOLDS_UNCHANGED (refused before the bus),
 *         BBU_HOLDS_OLD_IMAGE or BBU_HOLDS_NEW_IMAGE (the header read back
 *         and a validation after the failure), BBU_HOLDS_NO_VALID_IMAGE
 *         (the BBU's validation reported its image not valid),
 *         BBU_HOLDS_FLASH_MODE (still in flash-program mode),
 *         BBU_HOLDS_NO_ANSWER or BBU_HOLDS_UNREADABLE (no telling).
 */
BBU_API int bbu_checked_flash(int fd, const bbu_checked_image *image, unsigned flags,
                              bbu_checked_progress_fn progress, void *context,
                              bbu_checked_result *result, int verbose);

/** What a load of an image would do, as bbu_checked_plan_flash() finds it. */
typedef enum bbu_flash_action {
    BBU_FLASH_LOAD = 1, /**< load it: another image is there, or the BBU is in a load */
    BBU_FLASH_NONE = 2, /**< the BBU holds this image's header: nothing to load if it validates */
    BBU_FLASH_DOWNGRADE = 3, /**< the image is older than the header's version */
    BBU_FLASH_UNKNOWN = 4    /**< the image header the BBU holds cannot be read: no telling */
} bbu_flash_action;

/** What bbu_checked_plan_flash() read and decided. */
typedef struct bbu_checked_flash_plan {
    int action;           /**< enum bbu_flash_action */
    int image_version;    /**< the image's version byte (header byte 7) */
    int running_version;  /**< the version byte of the header at BBU_FIRST_IMAGE_ADDR, or -1 */
    int blocks;           /**< the image's blocks */
    int expected_seconds; /**< how long its load is expected to take */
} bbu_checked_flash_plan;

/**
 * Find out, by reads only, what bbu_checked_flash() of @p image would have to
 * do: a checked status read (and, while a command the BBU was already running
 * goes on, one a second for up to 10 seconds), then, when the status shows no
 * load in progress (operation_mode clear), the image header at
 * BBU_FIRST_IMAGE_ADDR (read-memory commands until two agree). No command
 * that changes the BBU is sent.
 *
 * The BBU holds the image (BBU_FLASH_NONE) when that header's 32 bytes equal
 * the image's and status byte 30 equals its version byte; the load would
 * still have it validated first. Otherwise an image older than the header's
 * version is BBU_FLASH_DOWNGRADE; a header that does not start FE ED is
 * BBU_FLASH_UNKNOWN; anything else, and a BBU in a half-finished load, is
 * BBU_FLASH_LOAD (a load is its way back, whatever the versions).
 * valid_image and reprogram_req in a status are not read: the one means
 * nothing the BBU promises, the other only after a validation.
 *
 * expected_seconds counts the load's fixed waits (reset, Start_Flash_Load,
 * End_Flash_Load, the validation: 30 seconds) and 30 milliseconds of bus time
 * a block; it is an estimate for planning, not a limit.
 * @param flags As bbu_checked_check_image(); a refused image never reaches the bus.
 * @return BBU_CHECKED_OK (holds BBU_HOLDS_UNCHANGED, before the firmware), or
 *         BBU_CHECKED_FAILED (BBU_STEP_IMAGE_CHECK, BBU_STEP_STATUS or
 *         BBU_STEP_FIRST_IMAGE).
 */
BBU_API int bbu_checked_plan_flash(int fd, const bbu_checked_image *image, unsigned flags,
                                   bbu_checked_flash_plan *plan, bbu_checked_result *result,
                                   int verbose);

/**
 * Read the 256-byte VPD image: the address write and the read (retried)
 * carried whole, the check byte right; an image whose check byte is wrong is
 * read once more, and is reported with BBU_WHY_BAD_CHECK_BYTE (the bytes in
 * @p vpd) only when both reads agree.
 * @param vpd Receives BBU_VPD_LEN bytes (also on a wrong check byte).
 * @return BBU_CHECKED_OK or BBU_CHECKED_FAILED (BBU_STEP_VPD_READ).
 */
BBU_API int bbu_checked_read_vpd(int fd, unsigned char *vpd, bbu_checked_result *result,
                                 int verbose);

/**
 * Whether the code-level update to @p codelevel would leave the 256-byte VPD
 * image @p vpd as it is: its length byte already 0xFD, the last two
 * code-level characters already those, its check byte right. Pure.
 * @return 1 when nothing would be written, else 0 (also for anything but two
 *         printable characters).
 */
BBU_API int bbu_codelevel_in_place(const unsigned char *vpd, const char *codelevel);

/**
 * Set the last two code-level characters (VPD bytes 71 and 72) to the two
 * printable characters at @p codelevel, as update_vpd_codelevel() does: the
 * length byte 1 set to 0xFD, the same five byte writes in the same order, a
 * new check byte. Nothing is written unless two reads of the whole image
 * agree (a third may settle a disagreement) and the image is laid out as
 * bad_vpd() expects. Each write is carried whole and the EEPROM's write
 * cycle is waited out by acknowledge polling, so a part that is busy for
 * milliseconds after each write works. The whole image is then read back and
 * must equal what was meant, check byte included. An image the update would
 * leave as it is (bbu_codelevel_in_place()) gets no write at all.
 * @return BBU_CHECKED_OK (holds BBU_HOLDS_NEW_VALUE; changed 0 when nothing
 *         was written), or BBU_CHECKED_FAILED
 *         with holds BBU_HOLDS_UNCHANGED (nothing written),
 *         BBU_HOLDS_OLD_VALUE, BBU_HOLDS_OTHER_VALUE (partly written),
 *         BBU_HOLDS_NO_ANSWER or BBU_HOLDS_UNREADABLE.
 */
BBU_API int bbu_checked_set_codelevel(int fd, const char *codelevel, bbu_checked_result *result,
                                      int verbose);

/**
 * Read the service/fault light from a checked status read.
 * @param value NULL, or receives the light, 0 to 15, on success.
 * @return BBU_CHECKED_OK or BBU_CHECKED_FAILED (BBU_STEP_STATUS).
 */
BBU_API int bbu_checked_read_light(int fd, int *value, bbu_checked_result *result, int verbose);

/**
 * Set the service/fault light to @p value (0 to 15) and read it back: a
 * checked status read for the value before, the set-light frame carried
 * whole, the status after it showing the command accepted and the value.
 * A light that already shows @p value is left alone: nothing is sent.
 * @return BBU_CHECKED_OK (holds BBU_HOLDS_NEW_VALUE; changed 0 when nothing
 *         was sent), or BBU_CHECKED_FAILED
 *         with holds BBU_HOLDS_UNCHANGED (a value out of range: nothing
 *         sent), BBU_HOLDS_OLD_VALUE, BBU_HOLDS_OTHER_VALUE,
 *         BBU_HOLDS_NO_ANSWER or BBU_HOLDS_UNREADABLE.
 */
BBU_API int bbu_checked_set_light(int fd, int value, bbu_checked_result *result, int verbose);

/**
 * Soft reset, seen: power_up (set by the BBU after it restarts) read first,
 * and when it is set the status cleared (E9 E9) and read again; then the
 * reset frame 8A 8A, 1 second, and status reads once a second, 30 at most,
 * until one shows power_up and non_zero with byte 1 the complement of byte 0
 * after this run saw power_up clear (before the reset, or in the polls).
 * Whether clear-status clears power_up the BBU does not promise: when it
 * stays set throughout, no restart can be seen.
 * @return BBU_CHECKED_OK (holds BBU_HOLDS_RESTARTED, verified
 *         BBU_EVIDENCE_RESTART); BBU_CHECKED_UNVERIFIED (holds
 *         BBU_HOLDS_NOT_VERIFIABLE) when the reset was sent and the BBU
 *         answered, but power_up was never seen clear; or
 *         BBU_CHECKED_FAILED with holds BBU_HOLDS_NOT_RESTARTED,
 *         BBU_HOLDS_NO_ANSWER or BBU_HOLDS_UNREADABLE.
 */
BBU_API int bbu_checked_soft_reset(int fd, bbu_checked_progress_fn progress, void *context,
                                   bbu_checked_result *result, int verbose);

/**
 * Hard reset through the real-time clock, seen: power_up made visible first
 * as for the soft reset, then the four clock writes of processor_reset_bbu()
 * with its 2 and 30 seconds, each write carried whole (retried), alarm 1's
 * interrupt and flag read back clear from the clock, and the restart polled
 * for as the soft reset does. A failure after the alarm was enabled still
 * disables it when the clock answers.
 * @return As bbu_checked_soft_reset(); verified also BBU_EVIDENCE_ALARM.
 */
BBU_API int bbu_checked_hard_reset(int fd, bbu_checked_progress_fn progress, void *context,
                                   bbu_checked_result *result, int verbose);

/** A short text of @p step ("reading the general status"); "" for BBU_STEP_NONE or unknown. */
BBU_API const char *bbu_checked_step_text(int step);
/** A short text of @p why ("the transfer failed"); "" for BBU_WHY_NONE or unknown. */
BBU_API const char *bbu_checked_why_text(int why);
/** A short text of @p holds ("the old image still runs"); "" for an unknown value. */
BBU_API const char *bbu_checked_holds_text(int holds);
/** A short text of @p phase ("sending the blocks"); "" for an unknown value. */
BBU_API const char *bbu_checked_phase_text(int phase);
/** The words of one BBU_EVIDENCE_* bit ("header read back"); "" for anything else. */
BBU_API const char *bbu_checked_evidence_text(unsigned bit);

/** @} */

#ifdef __cplusplus
} /* extern "C" */
#define BBU_STATIC_ASSERT static_assert
#else
#define BBU_STATIC_ASSERT _Static_assert
#endif

/* The records mirror the bytes on the bus: sizes and offsets are fixed. */
BBU_STATIC_ASSERT(sizeof(bbu_be16) == 2 && sizeof(bbu_be32) == 4, "big-endian fields");
BBU_STATIC_ASSERT(sizeof(BYTE00) == 1 && sizeof(BYTE06) == 1 && sizeof(BYTE12) == 1, "bit bytes");
BBU_STATIC_ASSERT(sizeof(GENERAL_STATUS) == BBU_GSS_LEN, "GENERAL_STATUS is 32 bytes");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, elapsed_time) == 8, "elapsed_time at byte 8");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, spare1) == 12, "spare1 at byte 12");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, byte0E) == 14, "indicator light at byte 14");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, TCBLA) == 16, "TCBLA at byte 16");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, byte12) == 18, "strings at byte 18");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, avg_temp_all) == 20, "avg_temp_all at byte 20");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, AD_Testpoint) == 28, "AD_Testpoint at byte 28");
BBU_STATIC_ASSERT(offsetof(GENERAL_STATUS, version) == 30, "version at byte 30");
BBU_STATIC_ASSERT(sizeof(SARBUF) == BBU_SARBUF_LEN, "SARBUF is 1024 bytes");
BBU_STATIC_ASSERT(BBU_STATUS_DISPLAY_LEN <= BBU_STATUS_WORK_LEN,
                  "a status read's buffer covers the display");
BBU_STATIC_ASSERT(sizeof(FirmwareHeader) == 24, "FirmwareHeader is 24 bytes");
BBU_STATIC_ASSERT(offsetof(FirmwareHeader, crc) == 16, "crc at byte 16");
BBU_STATIC_ASSERT(offsetof(FirmwareHeader, checksum) == 20, "checksum at byte 20");
BBU_STATIC_ASSERT(sizeof(BootHeader) == 36, "BootHeader is 36 bytes");
BBU_STATIC_ASSERT(offsetof(BootHeader, imageSize) == 16, "imageSize at byte 16");
BBU_STATIC_ASSERT(offsetof(BootHeader, checksum) == 32, "checksum at byte 32");
BBU_STATIC_ASSERT(sizeof(sarxhead) == 5, "sarxhead is 5 bytes");
BBU_STATIC_ASSERT(sizeof(codebuffer) == 134, "codebuffer is 134 bytes");
BBU_STATIC_ASSERT(offsetof(codebuffer, data) == 5, "block data at byte 5");
BBU_STATIC_ASSERT(offsetof(codebuffer, chksum) == 133, "block check byte at byte 133");
BBU_STATIC_ASSERT(sizeof(RTCdata) == 16, "RTCdata is the clock's 16 registers");
BBU_STATIC_ASSERT(offsetof(RTCdata, secondsA1) == 0x07, "alarm 1 at register 0x07");
BBU_STATIC_ASSERT(offsetof(RTCdata, ctlFlags) == 0x0E, "control at register 0x0e");

/* The VPD image's fields lie at the EEPROM offsets they name. */
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, length) == 1 && offsetof(BBU_VPD_DATA, partnum_head) == 2,
                  "VPD bytes 1, 2");
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, partnum) == 5 && offsetof(BBU_VPD_DATA, fru_head) == 13,
                  "VPD part and FRU numbers");
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, frunum) == 16 && offsetof(BBU_VPD_DATA, serial_head) == 24,
                  "VPD FRU and serial numbers");
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, serial) == 27 && offsetof(BBU_VPD_DATA, ec_head) == 39,
                  "VPD serial number and EC level");
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, eclevel) == 42 && offsetof(BBU_VPD_DATA, mfr_head) == 52,
                  "VPD EC level and manufacturer");
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, mfr) == 56 && offsetof(BBU_VPD_DATA, codelevel_head) == 62,
                  "VPD manufacturer and code level");
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, codelevel) == 65 &&
                      offsetof(BBU_VPD_DATA, name_head) == 73,
                  "VPD code level and name");
BBU_STATIC_ASSERT(offsetof(BBU_VPD_DATA, name) == 78 &&
                      offsetof(BBU_VPD_DATA, component_specific) == 88,
                  "VPD name and component-specific fields");
BBU_STATIC_ASSERT(sizeof(BBU_VPD_DATA) == 88 + 254, "BBU_VPD_DATA runs past the 256-byte image");

#endif /* BBU_BBU_H */
