// bus.cpp - route one message to the device at its address, with faults.
#include <cerrno>

#include "devices.h"

namespace bbusim {

std::uint8_t sumcheck(const std::uint8_t *bytes, std::size_t n)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += bytes[i];
        if (sum > 0xff)
            sum = (sum & 0xff) + 1;
    }
    return static_cast<std::uint8_t>(sum);
}

std::uint32_t get_be32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

void put_be32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

bool device_present(const World &w, std::uint16_t addr)
{
    if (addr > 0x7f || w.absent[addr] != 0)
        return false;
    if (addr == kVpdAddr && vpd_busy(w))
        return false;  // an EEPROM in its write cycle acknowledges nothing
    return addr == kSarAddr || addr == kSarxAddr || addr == kVpdAddr || addr == kRtcAddr;
}

int bus_transfer(World &w, std::uint16_t addr, bool is_read, std::uint8_t *buf, std::size_t len)
{
    const Direction dir = is_read ? Direction::read : Direction::write;
    const auto addr8 = static_cast<std::uint8_t>(addr > 0xff ? 0xff : addr);
    if (stop_before_message(w, addr8, dir))
        return -EIO;
    Fault f{};
    // A message that fails takes the bus time of its address byte alone.
    if (take_fault(w, FaultKind::fail, addr8, dir, &f)) {
        bus_time_passes(w, 0, false);
        return -f.err;
    }
    if (!device_present(w, addr)) {
        bus_time_passes(w, 0, false);
        return -nack_errno(w);
    }

    // A shortened message ends early: the device sees only what was carried.
    std::size_t n = len;
    if (take_fault(w, FaultKind::shorten, addr8, dir, &f) && f.arg < n)
        n = f.arg;

    switch (addr) {
    case kSarAddr:
        is_read ? bbu_sar_read(w, buf, n) : bbu_sar_write(w, buf, n);
        break;
    case kSarxAddr:
        is_read ? bbu_sarx_read(w, buf, n) : bbu_sarx_write(w, buf, n);
        break;
    case kVpdAddr:
        is_read ? vpd_read(w, buf, n) : vpd_write(w, buf, n);
        break;
    case kRtcAddr:
        is_read ? rtc_read(w, buf, n) : rtc_write(w, buf, n);
        break;
    default:
        return -nack_errno(w);
    }
    bus_time_passes(w, n, true);
    return static_cast<int>(n);
}

}  // namespace bbusim
