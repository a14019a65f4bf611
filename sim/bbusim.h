// bbusim.h - in-process control of the simulated BBU platform.
//
// A test program links the in-process simulator (target bbusim_inproc): the
// interposed open/close/ioctl/sleep/fopen/gettimeofday family then serves the
// claimed adapter paths from the simulated devices, and the functions below
// set up the world, inject faults and read back what happened.
//
// Programs run under the bbusim launcher need none of this: the launcher sets
// the world up from its options and scenario file.
#ifndef BBUSIM_BBUSIM_H
#define BBUSIM_BBUSIM_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "firmware_image.h"  // make_image: test images, valid or spoilt

namespace bbusim {

// Start a fresh world: the default devices, no faults, an empty transcript,
// virtual time 0, the default adapter "/dev/i2c-0b" claimed, and `root` as the
// directory that machine paths (the trace log under /opt, the daemon socket
// under /tmp) are mapped into. The directory is created; so is the trace log's
// directory inside it unless `create_log_dir` is false. What an earlier world
// of the same root left under ROOT/opt and ROOT/tmp is removed first.
void reset(const std::string &root, bool create_log_dir = true);

// Apply scenario text, in the grammar of scenario files (docs/bbusim.md):
// device state, settings and faults. Returns "" on success, otherwise a
// message naming the line that was refused (nothing of that line is applied).
std::string apply(const std::string &scenario_text);

// Every `device ...` statement that picks one of the devices' ways (a
// number of seconds as each whole second it may be), and `device strict`.
std::vector<std::string> device_choice_statements();

// The fault kinds of `fault KIND ...`, as the grammar names them.
std::vector<std::string> fault_kinds();

// Claim one more adapter path (as the launcher's --adapter does).
void claim_adapter(const std::string &path);

// The transcript lines recorded since reset(), without their newlines.
std::vector<std::string> transcript();

// Calls `observer` in this process after each transcript line is written, with
// the line without its newline and `context`; nullptr stops it. It is called
// inside the interposed call that made the event, with the world locked: it
// must not call into the simulator (no adapter, transfer or sleep).
using LineObserver = void (*)(std::string_view line, void *context);
void observe_transcript(LineObserver observer, void *context);

// A program's own answer to one message, given instead of the devices':
// `result` is the bytes the message carried (0 to its length; a read's buffer
// then holds them) or a negative errno that fails the whole transfer, and
// `delay_us` the virtual time the message takes.
struct MessageAnswer {
    int result;
    std::uint64_t delay_us;
};

// Calls `answerer` in this process for each message of a transfer before it
// reaches the devices, with the message's address, direction, buffer (a
// read's to fill, a write's bytes) and length, and `context`. It returns true
// when it answered the message itself (`answer` filled: the devices see
// nothing of it), false to pass it on. Like a LineObserver it runs with the
// world locked and must not call into the simulator; nullptr stops it. A
// replay answers from its recording and never consults it.
using MessageAnswerer = bool (*)(std::uint16_t addr, bool is_read, std::uint8_t *buf,
                                 std::size_t len, MessageAnswer &answer, void *context);
void answer_messages(MessageAnswerer answerer, void *context);

// Virtual time elapsed since reset(), in microseconds.
std::uint64_t now_us();

// Set the virtual wall clock (what gettimeofday() and time() report) to the
// given epoch seconds and microseconds at the current virtual time.
void set_wall_clock(std::int64_t epoch_seconds, std::int64_t micros);

// The general status block as a 33-byte read at 0x40 would return it now
// (32 status bytes and their sumcheck byte), without counting as a read.
std::array<std::uint8_t, 33> peek_status();

// Where a machine path (for example "/opt/Logs/bbu/logs/BBU.log") lands in the
// current root.
std::string mapped_path(const std::string &machine_path);

// The transcript lines recorded from now on are the only ones transcript()
// returns (the transcript file is emptied).
void clear_transcript();

// Whether the BBU has restarted and not yet shown power_up in a status read
// (with `reset-polls never` it never does), without counting as a read.
bool peek_restart_pending();

// The 256 bytes of the VPD EEPROM as they are now.
std::array<std::uint8_t, 256> peek_vpd();

// `length` bytes of the BBU's memory from `address` as a read-memory command
// would deliver them now (the first image at 0x1000; no fault applied).
std::vector<std::uint8_t> peek_memory(std::uint32_t address, std::size_t length);

// What the BBU truly holds: a valid image and its version (status byte 30),
// whether it sits in flash-program mode, runs its boot code, and whether the
// power is off after a power cut.
struct ImageTruth {
    bool valid;
    std::uint8_t version;
    bool flash_mode;
    bool boot_code;
    bool powered_off;
};
ImageTruth peek_image();

// The power comes back after a power cut, as the next `bbusim --keep` run
// brings it: the BBU boots from its flash.
void power_up();

// Map the world a launcher run left in `root` (ROOT/bbusim.world) as this
// process's world, to read what its devices hold with the peek functions.
// "" or why it cannot.
std::string attach(const std::string &root);

}  // namespace bbusim

#endif  // BBUSIM_BBUSIM_H
