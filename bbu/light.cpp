// The indicator light: the service/fault light's value read from status byte
// 14, and the set-light command confirmed by reading that value back.
#include <bbu/bbu.h>

#include <unistd.h>

#include <array>
#include <cstdio>

namespace {

constexpr int LIGHT_BYTE = 14;                     // GENERAL_STATUS.byte0E
constexpr unsigned char SERVICE_FAULT_LED = 0x0F;  // its low nibble
constexpr useconds_t READ_BACK_PAUSE_US = 1;       // no handshake: the status is read at once

}  // namespace

int get_light_status(int fd, int verbose)
{
    sarbuf_t status{};
    read_and_print_status(fd, "light", &status, verbose);
    const auto full = static_cast<unsigned char>(status.buffer[LIGHT_BYTE]);
    const int specific = full & SERVICE_FAULT_LED;
    // Printed whatever verbose is: this line is what a technician asked for.
    std::printf("BBU Light Status = full %02x specific %01x\n", full, specific);
    LogTrace("BBU Light Status = full %02x specific %01x\n", full, specific);
    return specific;
}

int set_light(int fd, int newcondition, int verbose)
{
    if (verbose != 0) {
        std::printf("set light to value %i\n", newcondition);
    }
    LogTrace("set light to value %i\n", newcondition);

    std::array<unsigned char, 3> Set_Light_CMD{
        BBU_SET_LIGHT_CMD,
        static_cast<unsigned char>(BBU_SET_LIGHT_SELECT | (newcondition & 0xFF))};
    Set_Light_CMD[2] = sumcheck(Set_Light_CMD.data(), 2);
    do_i2c_write(fd, BBU_SAR_ADDR, static_cast<int>(Set_Light_CMD.size()),
                 reinterpret_cast<const char *>(Set_Light_CMD.data()), verbose);
    usleep(READ_BACK_PAUSE_US);

    return get_light_status(fd, verbose) == newcondition ? 0 : -1;
}
