/*
 * vpd_client - a C program built against the installed BBU library: two
 * code-level updates, each followed by a read of the image, and what they
 * found on one line. Under a scenario that tears the first update's head
 * read, that update must give -64 and leave the image unchanged; the second
 * must put "B7" at the end of the code level (seen through BBU_VPD_DATA)
 * with a check byte and a keyword layout that read back right.
 *
 * Exit status: 0, or 3 when the adapter could not be opened.
 */
#include <bbu/bbu.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    unsigned char before[BBU_VPD_LEN], after[BBU_VPD_LEN];
    BBU_VPD_DATA vpd;
    int fd = open_I2C_device(0);
    int torn, unchanged, update, check;

    if (fd < 0) {
        return 3;
    }
    read_vpd_buff(fd, 0, before);
    torn = update_vpd_codelevel(fd, "B7", 0, 0);
    read_vpd_buff(fd, 0, after);
    unchanged = memcmp(before, after, BBU_VPD_LEN) == 0;
    update = update_vpd_codelevel(fd, "B7", 0, 0);
    check = read_vpd_buff(fd, 0, after);
    memcpy(&vpd, after, BBU_VPD_LEN);
    printf("torn update %d, unchanged %d; update %d, read back %d, layout %d, code level %.8s\n",
           torn, unchanged, update, check, bad_vpd(after), vpd.codelevel);
    close_I2C_device(fd);
    return 0;
}
