/* A statically linked program: no preloaded library loads into it, so under
 * bbusim it would open the machine's own adapter. It says what it reached. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

int main(void)
{
    int fd = open("/dev/i2c-0b", O_RDWR);
    printf("static: open /dev/i2c-0b -> %s\n", fd >= 0 ? "opened" : strerror(errno));
    return 0;
}
