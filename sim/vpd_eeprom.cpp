// vpd_eeprom.cpp - the 256-byte VPD EEPROM at 0x54, a 24C02-style memory.
//
// A write sets the word address from its first byte and stores the bytes
// after it; like the real part, a write wraps within its 8-byte page. A read
// delivers bytes from the current word address on, wrapping at 256.
#include "devices.h"

namespace bbusim {
namespace {
constexpr unsigned kPageSize = 8;
}

void vpd_read(World &w, std::uint8_t *buf, std::size_t len)
{
    Eeprom &e = w.eeprom;
    for (std::size_t i = 0; i < len; ++i)
        buf[i] = e.mem[e.pointer++];
}

void vpd_write(World &w, const std::uint8_t *buf, std::size_t len)
{
    Eeprom &e = w.eeprom;
    if (len == 0)
        return;
    e.pointer = buf[0];
    const unsigned page = e.pointer & ~(kPageSize - 1);
    unsigned offset = e.pointer & (kPageSize - 1);
    for (std::size_t i = 1; i < len; ++i) {
        e.mem[page | offset] = buf[i];
        offset = (offset + 1) & (kPageSize - 1);
    }
    e.pointer = static_cast<std::uint8_t>(page | offset);
}

}  // namespace bbusim
