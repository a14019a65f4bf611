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
void bbu_sar_write(World &w, const std::uint8_t *frame, std::size_t len);
void bbu_sarx_read(World &w, std::uint8_t *buf, std::size_t len);
void bbu_sarx_write(World &w, const std::uint8_t *buf, std::size_t len);
// The 33-byte general status as a read would deliver it now (no fault, not a poll).
void bbu_compose_status(const World &w, std::uint8_t out[kStatusLen + 1]);
// Set general status bytes from `first` on, keeping the live bytes consistent.
void bbu_set_status(World &w, std::size_t first, const std::uint8_t *bytes, std::size_t n);
// Set bytes of battery string `index` (0-based) from `first` on.
void bbu_set_string(World &w, std::size_t index, std::size_t first, const std::uint8_t *bytes,
                    std::size_t n);

// BBU flash load and memory (flash_memory.cpp). In flash-program mode the
// single byte 0x01 at 0x40 ends a record: flash_sar_write takes it, and a
// Take_Flash_Block that a fault loses, before the frame checks see them.
bool flash_mode(const World &w);
bool flash_sar_write(World &w, const std::uint8_t *buf, std::size_t len);
void flash_sarx_write(World &w, const std::uint8_t *buf, std::size_t len);
// Command effects: at acceptance (accept), at completion (finish), checks of
// a frame (0 or the byte-5 error bit) and response data (its length).
std::uint8_t flash_check_mode(const World &w, const std::uint8_t *frame);
std::uint8_t memory_check_frame(const World &w, const std::uint8_t *frame);
std::size_t memory_build_response(World &w, const std::uint8_t *frame, std::uint8_t *data);
void flash_start_load(World &w);
void flash_take_block(World &w);
void validate_begin(World &w);
void validate_finish(World &w);
void clear_status(World &w);
// The processor restarts: a load in progress ends (its image stored only when
// every block arrived), the command and its response go, and power_up shows
// after the `reset-polls` setting's number of status reads.
void bbu_restart(World &w);
// Called on every status read: counts the reads until power_up shows.
void bbu_restart_poll(World &w);
// The flash bytes [at, at + n), about to be written: the update's journal
// keeps what they held (world.cpp).
std::uint8_t *flash_bytes(World &w, std::size_t at, std::size_t n);
// BBU memory as read-memory delivers it (blank outside the flash).
void memory_read(const World &w, std::uint32_t address, std::uint8_t *out, std::size_t n);
// Hold `image` as the first image, as a completed load leaves it.
void store_image(World &w, const std::uint8_t *image, std::size_t n);

// What virtual time brings about by itself, done when a device is next
// accessed: the clock's alarm resetting the BBU processor, a command that
// takes time completing. Each device entry point calls this first.
void devices_catch_up(World &w);
// A command that takes time completes now (called by devices_catch_up).
void bbu_complete_due(World &w);
// The clock's alarm output resets the BBU processor (called by devices_catch_up).
void rtc_alarm_due(World &w);

// Bus timing: a message of `carried` bytes after its address byte (an
// address not acknowledged: none) takes the time of the set bus clock.
std::uint64_t bus_time_us(const World &w, std::size_t carried, bool acknowledged);
void bus_time_passes(World &w, std::size_t carried, bool acknowledged);

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
// Like take_fault for the faults on one flash block (tfb_lost, block_checksum).
bool take_block_fault(World &w, FaultKind kind, std::uint32_t block);
// Arm the faults waiting for this command (param -1: the frame had none).
void arm_faults(World &w, std::uint8_t code, int param);
// Add a fault; false when the table is full.
bool add_fault(World &w, const Fault &f);

// Power and crashes (power.cpp). A message or pause about to happen asks
// first whether a power-cut or crash fault strikes it, or the power is off:
// then it does not reach the devices and w.stop says why the command ends.
bool stop_before_message(World &w, std::uint8_t addr, Direction dir);
// The part of a pause of `us` that passes before a fault strikes (all of it
// when none does).
std::uint64_t pause_before_stop(World &w, std::uint64_t us);
// The power goes at virtual time `at`: the devices keep only what survives it.
void power_cut(World &w, std::uint64_t at);
// The power comes back: the BBU starts from its flash, the rest afresh.
void power_up(World &w);
// The BBU processor starts: the firmware when the flash holds a valid image,
// its boot code otherwise (shown in status byte 6).
void bbu_boot(World &w);
// The image of a whole load is programmed by virtual time `by` (called by
// devices_catch_up with the clock's time, and by power_cut).
void bbu_commit_due(World &w, std::uint64_t by);
// The first power-cut or crash fault that strikes this event (take_fault's
// rules); its kind in *kind.
bool take_stop_fault(World &w, Strike strike, std::uint8_t addr, Direction dir, FaultKind *kind);

// Device choices (device_choices.cpp): the defaults, the generator's next
// byte, a fill of the given Fill, the errno of a missing acknowledge, and
// power_up as the world's start choice has it.
void device_choices_defaults(World &w);
std::uint8_t random_byte(World &w);
void fill_bytes(World &w, std::uint8_t fill, std::uint8_t *out, std::size_t n);
// Blank BBU memory from `address` on: unwritten, erased, or beyond the flash.
void blank_fill(const World &w, std::uint8_t *out, std::uint64_t address, std::size_t n);
int nack_errno(const World &w);
void device_choices_apply_start(World &w);

// Virtual clock.
std::int64_t wall_clock_us(const World &w);
void set_wall_clock_us(World &w, std::int64_t wall_us);

}  // namespace bbusim

#endif  // BBUSIM_DEVICES_H
