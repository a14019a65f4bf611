// devices.h - the simulated bus and the devices on it.
//
// Every function here expects the caller to hold the world's lock.
#ifndef BBUSIM_DEVICES_H
#define BBUSIM_DEVICES_H

#include <cstddef>
#include <cstdint>

#include "world.h"

namespace bbusim {

// The BBU's 8-bit end-around-carry sum: add modulo 256 and add 1 whenever the
// addition carried.
std::uint8_t sumcheck(const std::uint8_t *bytes, std::size_t n);

// Big-endian 32-bit value at p.
std::uint32_t get_be32(const std::uint8_t *p);
void put_be32(std::uint8_t *p, std::uint32_t v);

// One message on the bus: the bytes carried (len, or fewer when a fault
// shortens it) or a negative errno (-ENXIO when no device answers).
int bus_transfer(World &w, std::uint16_t addr, bool is_read, std::uint8_t *buf, std::size_t len);

// True when a device answers at addr.
bool device_present(const World &w, std::uint16_t addr);

// BBU microcontroller.
void bbu_sar_read(World &w, std::uint8_t *buf, std::size_t len);
void bbu_sar_write(World &w, const std::uint8_t *buf, std::size_t len);
void bbu_sarx_read(World &w, std::uint8_t *buf, std::size_t len);
void bbu_sarx_write(World &w, const std::uint8_t *buf, std::size_t len);
// The 33-byte general status as a read would deliver it now (no fault, not a poll).
void bbu_compose_status(const World &w, std::uint8_t out[kStatusLen + 1]);
// Set general status bytes from `first` on, keeping the live bytes consistent.
void bbu_set_status(World &w, std::size_t first, const std::uint8_t *bytes, std::size_t n);
// Set bytes of battery string `index` (0-based) from `first` on.
void bbu_set_string(World &w, std::size_t index, std::size_t first, const std::uint8_t *bytes,
                    std::size_t n);

// VPD EEPROM.
void vpd_read(World &w, std::uint8_t *buf, std::size_t len);
void vpd_write(World &w, const std::uint8_t *buf, std::size_t len);
// True while a write cycle runs: the EEPROM then acknowledges no transfer.
bool vpd_busy(const World &w);

// Real-time clock.
void rtc_read(World &w, std::uint8_t *buf, std::size_t len);
void rtc_write(World &w, const std::uint8_t *buf, std::size_t len);

// Faults. A fault applies to an event when it is armed, matches the event
// (kind, and address and direction for transfer faults) and has let its
// `skip` matching events pass. Faults are consulted in the order they were
// given; the first that applies takes the event. Returns true and copies the
// fault to *taken when one applied.
bool take_fault(World &w, FaultKind kind, std::uint8_t addr, Direction dir, Fault *taken);
// Like take_fault for events that every applying fault affects (error bits
// at completion): one event is taken from each. Returns how many applied.
int take_each_fault(World &w, FaultKind kind, Fault *taken, int max);
// Arm the faults waiting for this command (param -1: the frame had none).
void arm_faults(World &w, std::uint8_t code, int param);
// Add a fault; false when the table is full.
bool add_fault(World &w, const Fault &f);

// Virtual clock.
std::int64_t wall_clock_us(const World &w);
void set_wall_clock_us(World &w, std::int64_t wall_us);

}  // namespace bbusim

#endif  // BBUSIM_DEVICES_H
