// Opening the adapter and single-message transfers through i2c-dev's I2C_RDWR.
#include <bbu/i2c.h>

#include "i2c_internal.h"

#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

char default_adapter[] = "/dev/i2c-0b";

// One message in one I2C_RDWR request. The buffer is the caller's own: the kernel
// copies to or from it directly. Returns the request's result; the message's
// length field after the transfer is left in `carried`.
int transfer_one_message(int i2c_fd, int addr, int len, char *buffer, std::uint16_t flags,
                         int &carried)
{
    i2c_msg msg{};
    msg.addr = static_cast<std::uint16_t>(addr);
    msg.flags = flags;
    msg.len = static_cast<std::uint16_t>(len);
    msg.buf = reinterpret_cast<std::uint8_t *>(buffer);
    i2c_rdwr_ioctl_data request{&msg, 1};
    int rc = ioctl(i2c_fd, I2C_RDWR, &request);
    // The length travels in a 16-bit field and comes back widened as a signed value.
    carried = static_cast<std::int16_t>(msg.len);
    return rc;
}

}  // namespace

bool i2c_internal::takes_i2c_messages(int fd)
{
    unsigned long functions = 0;
    return ioctl(fd, I2C_FUNCS, &functions) == 0 && (functions & I2C_FUNC_I2C) != 0;
}

extern "C" {

char *I2C_Adapter = default_adapter;

int open_I2C_device(int /*verbose*/)
{
    int fd = open(I2C_Adapter, O_RDWR);
    if (fd < 0) {
        // Reported whatever the verbose setting: nothing works without the adapter.
        perror("i2c open failed");
        printf("I2C open failed, rc = %d \n", fd);
        LogTrace("I2C open failed, rc = %d \n", fd);
    }
    return fd;
}

void close_I2C_device(int fd)
{
    close(fd);
}

int do_i2c_read(int i2c_fd, int addr, int len, char *buffer, int verbose)
{
    int carried = 0;
    int rc = transfer_one_message(i2c_fd, addr, len, buffer, I2C_M_RD, carried);
    if (rc < 0) {
        if (verbose) {
            fprintf(stderr, "The Ioctl read failed rc: %d \n", rc);
            LogTrace("The Ioctl read failed rc: %d \n", rc);
        }
        return I2C_TRANSFER_FAILED;
    }
    if (verbose) {
        printf("the ioctl read command worked, rc: %d\n", rc);
        LogTrace("the ioctl read command worked, rc: %d\n", rc);
        if (carried != len) {
            fprintf(stderr, "Message truncated -- Length transferred:%d\n", carried);
            LogTrace("Message truncated -- Length transferred:%d\n", carried);
        }
    }
    return carried;
}

int do_i2c_write(int i2c_fd, int addr, int len, const char *buffer, int verbose)
{
    if (verbose) {
        unsigned first = static_cast<unsigned char>(buffer[0]);
        printf("time zs writing I2c addr %02x cmd %02x\n", static_cast<unsigned>(addr), first);
        LogTrace("time zs writing I2c addr %02x cmd %02x\n", static_cast<unsigned>(addr), first);
    }
    int carried = 0;
    // A write message's buffer is only read by the kernel.
    int rc = transfer_one_message(i2c_fd, addr, len, const_cast<char *>(buffer), 0, carried);
    if (rc < 0) {
        if (verbose) {
            fprintf(stderr, " The Ioctl write failed rc: %d \n", rc);
            LogTrace(" The Ioctl write failed rc: %d \n", rc);
        }
        return I2C_TRANSFER_FAILED;
    }
    if (verbose) {
        printf("the ioctl write command worked, rc: %d\n", rc);
        LogTrace("the ioctl write command worked, rc: %d\n", rc);
        if (carried != len) {
            fprintf(stderr, " Message truncated -- Length transferred:%d\n", carried);
            LogTrace(" Message truncated -- Length transferred:%d\n", carried);
        }
    }
    return carried;
}

}  // extern "C"
