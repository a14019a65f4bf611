// i2c_requests.h - the names of the i2c-dev ioctl requests, as the
// transcript and a recording write them: one table, so that a recording and
// the simulator's transcript of the same run name a request alike.
#ifndef BBUSIM_I2C_REQUESTS_H
#define BBUSIM_I2C_REQUESTS_H

#include <linux/i2c-dev.h>

namespace bbusim {

// "I2C_RDWR" for I2C_RDWR; null for a request i2c-dev does not know.
inline const char *i2c_request_name(unsigned long request)
{
    switch (request) {
    case I2C_RETRIES:
        return "I2C_RETRIES";
    case I2C_TIMEOUT:
        return "I2C_TIMEOUT";
    case I2C_SLAVE:
        return "I2C_SLAVE";
    case I2C_SLAVE_FORCE:
        return "I2C_SLAVE_FORCE";
    case I2C_TENBIT:
        return "I2C_TENBIT";
    case I2C_FUNCS:
        return "I2C_FUNCS";
    case I2C_RDWR:
        return "I2C_RDWR";
    case I2C_PEC:
        return "I2C_PEC";
    case I2C_SMBUS:
        return "I2C_SMBUS";
    default:
        return nullptr;
    }
}

}  // namespace bbusim

#endif  // BBUSIM_I2C_REQUESTS_H
