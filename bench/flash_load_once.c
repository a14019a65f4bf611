/*
 * flash_load_once - one flash load of IMAGE through the BBU library, for the
 * benchmark and the installed library's test: prints the result on standard
 * error; exit status 0 when it is 0.
 */
#include <bbu/bbu.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    int fd;
    int rc;

    if (argc != 2) {
        fprintf(stderr, "usage: flash_load_once IMAGE\n");
        return 2;
    }
    fd = open_I2C_device(0);
    if (fd < 0)
        return 3;
    rc = processCodeLoad(fd, argv[1], 0, 0);
    close_I2C_device(fd);
    fprintf(stderr, "processCodeLoad: %d\n", rc);
    return rc == 0 ? 0 : 1;
}
