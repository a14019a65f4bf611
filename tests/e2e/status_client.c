/*
 * status_client - a small C program built against the installed BBU library:
 * it opens the adapter, makes one checked status read with the display on,
 * and prints a few fields of the status decoded through the public records.
 *
 * Exit status: the checked read's result when it is 0 or 1, 2 when the status
 * could not be read or was corrupt, 3 when the adapter could not be opened.
 */
#include <bbu/bbu.h>

#include <stdio.h>
#include <string.h>

/* Bytes past what a status read hands back must keep the caller's fill. */
#define FILL 0xa5

int main(void)
{
    sarbuf_t sar;
    GENERAL_STATUS gss;
    int fd;
    int rc;
    int untouched = 1;
    size_t i;

    fd = open_I2C_device(0);
    if (fd < 0) {
        return 3;
    }

    memset(&sar, FILL, sizeof sar);
    rc = read_and_print_status_with_checks(fd, "status_client", &sar, 1);
    printf("checked read: %d\n", rc);
    if (rc != BBU_STATUS_CLEAN && rc != BBU_STATUS_ERROR_BITS) {
        close_I2C_device(fd);
        return 2;
    }

    memcpy(&gss, sar.buffer, sizeof gss);
    printf("firmware: %02x.%02x\n", gss.version, gss.sub_version);
    printf("elapsed seconds: %lu\n", (unsigned long)bbu_be32_value(gss.elapsed_time));
    printf("battery strings: %u\n", (unsigned)gss.byte12.BIT.num_strings);
    printf("average temperature: %u\n", (unsigned)bbu_be16_value(gss.avg_temp_all));
    printf("state save available: %s\n", gss.byte03.BIT.state_save_avail ? "yes" : "no");
    printf("charging: %s\n", gss.byte00.BIT.charging ? "yes" : "no");
    printf("bad checksum reported: %s\n", gss.byte05.BIT.checksum_error ? "yes" : "no");
    printf("checksumError: %d\n", checksumError);
    printf("check byte: %02x\n", (unsigned char)global_GSS[BBU_GSS_LEN]);

    for (i = BBU_STATUS_WORK_LEN; i < sizeof sar.buffer; ++i) {
        if ((unsigned char)sar.buffer[i] != FILL) {
            untouched = 0;
        }
    }
    printf("rest of buffer kept: %s\n", untouched ? "yes" : "no");

    close_I2C_device(fd);
    return rc;
}
