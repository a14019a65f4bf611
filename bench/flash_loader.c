/*
 * flash_loader - flash loads through the BBU library, one for each IMAGE in
 * turn on the same adapter, for the benchmark and the installed library's
 * test: prints each result on standard error ("processCodeLoad: <rc>"); exit
 * status 0 when every result is 0.
 */
#include <bbu/bbu.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    int fd;
    int i;
    int failed = 0;

    if (argc < 2) {
        fprintf(stderr, "usage: flash_loader IMAGE...\n");
        return 2;
    }
    fd = open_I2C_device(0);
    if (fd < 0)
        return 3;
    for (i = 1; i < argc; ++i) {
        int rc = processCodeLoad(fd, argv[i], 0, 0);
        fprintf(stderr, "processCodeLoad: %d\n", rc);
        failed |= rc != 0;
    }
    close_I2C_device(fd);
    return failed;
}
