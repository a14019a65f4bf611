// vpd_eeprom.cpp - the 256-byte VPD EEPROM at 0x54, a 24C02-style memory.
//
// A write sets the word address from its first byte and stores the bytes
// after it; like the real part, a write wraps within its 8-byte page. A read
// delivers bytes from the current word address on, wrapping at 256.
//
// A data write (one that stores bytes, not a bare address write) starts the
// part's write cycle: until `write_cycle_us` of virtual time has passed the
// EEPROM acknowledges no transfer, so the bus answers ENXIO as it does for a
// real part's missing acknowledge. The default cycle is 0: always ready.
#include "devices.h"

namespace bbusim {
namespace {
constexpr unsigned kPageSize = 8;
}

bool vpd_busy(const World &w)
{
    return w.now_us < w.eeprom.busy_until_us;
}

void vpd_read(World &w, std::uint8_t *buf, std::size_t len)
{
    Eeprom &e = w.eeprom;
    for (std::size_t i = 0; i < len; ++i)
        buf[i] = e.mem[e.pointer++];
    // A disturbed read: one byte arrives with bits flipped; the memory keeps its value.
    Fault f{};
    if (take_fault(w, FaultKind::vpd_flip, kVpdAddr, Direction::read, &f) && f.arg < len)
        buf[f.arg] ^= static_cast<std::uint8_t>(f.mask);
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
    if (len > 1)
        e.busy_until_us = w.now_us + e.write_cycle_us;
}

}  // namespace bbusim
