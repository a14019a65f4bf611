// bbu_device.cpp - the BBU microcontroller: general status and command
// frames at 0x40 (SAR), response blocks at 0x60 (SARX).
//
// A command frame is the code, its parameters and the sumcheck of the bytes
// before it. An accepted command shows commandInProgress for `busy_polls`
// status reads, then completes: its response block (header, data, check byte)
// is offered at 0x60 until the next command is accepted. Some commands complete
// at once (their answer is read without a poll) or after a time of their own.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "devices.h"

namespace bbusim {
namespace {

// General status byte 0.
constexpr std::uint8_t kCommandInProgress = 0x80;
// General status byte 5, the error bits of the command interface.
constexpr std::uint8_t kMultipleCommand = 0x80;
constexpr std::uint8_t kInvalidLength = 0x10;
constexpr std::uint8_t kInvalidCommand = 0x08;
constexpr std::uint8_t kInvalidParameter = 0x02;
constexpr std::uint8_t kChecksumError = 0x01;

constexpr std::size_t kElapsedByte = 8;           // bytes 8-11: elapsed seconds
constexpr std::size_t kCommandByte = 19;          // command being executed
constexpr std::size_t kStringsByte = 18;          // high nibble: number of strings
constexpr std::size_t kStringSecondsByte = 6;     // battery string bytes 6-9
constexpr std::size_t kLightByte = 14;            // low nibble: the service/fault light
constexpr std::uint8_t kI2cCmdInProgress = 0x08;  // status byte 4
constexpr std::uint8_t kValidImage = 0x10;        // status byte 6
constexpr std::uint8_t kReadMemory = 0xE0;
constexpr std::uint8_t kClearStatus = 0xE9;
constexpr std::size_t kMemoryHeaderLen = 6;  // a read-memory response's header and sub-command

// Checks a frame's parameters: 0, or the byte-5 error bit to report.
using CheckFn = std::uint8_t (*)(const World &, const std::uint8_t *frame);
// Writes the response data; returns its length.
using BuildFn = std::size_t (*)(World &, const std::uint8_t *frame, std::uint8_t *data);
// What a command does to the BBU.
using EffectFn = void (*)(World &);

enum class Completes : std::uint8_t {
    after_polls,  // `busy-polls` status reads (or a busy fault's)
    at_once,      // when accepted: the answer is there for the very next read
    after_time,   // `device validate-time` of virtual time after it was accepted
};

struct Command {
    std::uint8_t code;
    std::uint8_t frame_len;  // code, parameters and check byte
    CheckFn check;
    BuildFn build;
    EffectFn accept = nullptr;  // when the command is accepted
    EffectFn finish = nullptr;  // when it completes
    Completes completes = Completes::after_polls;
};

std::uint32_t seconds_since(const World &w, std::uint64_t since_us)
{
    return static_cast<std::uint32_t>((w.now_us - since_us) / 1000000);
}

unsigned string_count(const World &w)
{
    return std::min<unsigned>(w.bbu.status[kStringsByte] >> 4, kMaxStrings);
}

std::uint8_t check_string_number(const World &w, const std::uint8_t *frame)
{
    return frame[1] >= 1 && frame[1] <= string_count(w) ? 0 : kInvalidParameter;
}

std::size_t build_state_save(World &w, const std::uint8_t *, std::uint8_t *data)
{
    std::memcpy(data, w.bbu.state_save, kStateSaveLen);
    return kStateSaveLen;
}

std::size_t build_string_status(World &w, const std::uint8_t *frame, std::uint8_t *data)
{
    const std::size_t i = frame[1] - 1u;
    std::memcpy(data, w.bbu.strings[i], kStringLen);
    // The string's seconds counter runs with the clock.
    std::uint8_t *secs = data + kStringSecondsByte;
    put_be32(secs, get_be32(secs) + seconds_since(w, w.bbu.string_set_us[i]));
    return kStringLen;
}

// Set light: 0x20 selects the service/fault light, the low nibble is its value.
std::uint8_t check_light(const World &, const std::uint8_t *frame)
{
    return (frame[1] & 0xf0) == 0x20 ? 0 : kInvalidParameter;
}

// The light changes when the command is accepted: the library reads it back
// straight away, with no handshake.
void accept_light(World &w)
{
    std::uint8_t &leds = w.bbu.status[kLightByte];
    leds = static_cast<std::uint8_t>((leds & 0xf0) | (w.bbu.frame[1] & 0x0f));
}

// The commands the firmware knows. New commands are one more row.
constexpr Command kCommands[] = {
    {0xC2, 3, check_light, nullptr, accept_light},        // set the service/fault light
    {0xC4, 3, check_string_number, build_string_status},  // read battery string status
    {0xC8, 3, nullptr, build_state_save},                 // read state save
    // Firmware load, memory and resets (flash_memory.cpp).
    {0x89, 2, nullptr, nullptr, flash_start_load},           // Start_Flash_Load
    {0x8F, 2, flash_check_mode, nullptr, flash_take_block},  // Take_Flash_Block
    // Soft reset; in flash-program mode End_Flash_Load.
    {0x8A, 2, nullptr, nullptr, bbu_restart, nullptr, Completes::at_once},
    // Validate image: the verdict a while after the command.
    {0x8C, 2, nullptr, nullptr, validate_begin, validate_finish, Completes::after_time},
    // Read memory: the response is there for the read that follows at once.
    {0xE0, 8, memory_check_frame, memory_build_response, nullptr, nullptr, Completes::at_once},
    {0xE9, 2, nullptr, nullptr, clear_status},  // clear status
};

// The commands the boot code answers when the flash holds no valid image:
// enough to load one, find out what the flash holds and restart.
bool boot_code_knows(std::uint8_t code)
{
    constexpr std::uint8_t kBootCommands[] = {0x89, 0x8F, 0x8A, 0x8C, 0xE0, 0xE9};
    return std::find(std::begin(kBootCommands), std::end(kBootCommands), code) !=
           std::end(kBootCommands);
}

// Status byte 19 while the command runs, as the device choice has it.
std::uint8_t shown_code(World &w, std::uint8_t code)
{
    switch (w.choices.command_byte) {
    case kCommandByteZero:
        return 0;
    case kCommandByteRandom:
        return random_byte(w);
    default:
        return code;
    }
}

const Command *find_command(std::uint8_t code)
{
    for (const Command &c : kCommands)
        if (c.code == code)
            return &c;
    return nullptr;
}

// What a response block holds outside the bytes a client may rely on, as
// the device choices have it: a read-memory response's header and check
// byte; a command response's counter and length (its check byte still
// covers them).
void response_choices(World &w, std::uint8_t *block, std::size_t len)
{
    const Choices &c = w.choices;
    if (w.bbu.code != kReadMemory) {
        if (c.carried_random != 0) {
            block[1] = random_byte(w);
            block[2] = random_byte(w);
            block[len - 1] = sumcheck(block, len - 1);
        }
        return;
    }
    if (c.header_random != 0)
        fill_bytes(w, kFillRandom, block, kMemoryHeaderLen);
    block[len - 1] = c.check_random != 0 ? random_byte(w) : sumcheck(block, len - 1);
}

void complete(World &w)
{
    Bbu &b = w.bbu;
    b.running = 0;
    b.busy_left = 0;
    b.due_us = 0;
    const Command *cmd = find_command(b.code);
    if (cmd != nullptr && cmd->build != nullptr) {
        std::uint8_t *hdr = b.block;
        std::size_t len = cmd->build(w, b.frame, hdr + kHeaderLen);
        Fault f{};
        hdr[0] = take_fault(w, FaultKind::echo, 0, Direction::any, &f)
                     ? static_cast<std::uint8_t>(f.arg)
                     : b.code;
        hdr[1] = b.ctr;
        hdr[2] = static_cast<std::uint8_t>(len);
        hdr[3] = take_fault(w, FaultKind::block_number, 0, Direction::any, &f)
                     ? static_cast<std::uint8_t>(f.arg)
                     : 0;
        hdr[4] = take_fault(w, FaultKind::block_count, 0, Direction::any, &f)
                     ? static_cast<std::uint8_t>(f.arg)
                     : 1;
        hdr[kHeaderLen + len] = sumcheck(hdr, kHeaderLen + len);
        b.block_len = static_cast<std::uint16_t>(kHeaderLen + len + 1);
        response_choices(w, hdr, b.block_len);
    }
    // Error bits that faults add when a command completes; several may apply.
    Fault taken[kMaxFaults];
    int n = take_each_fault(w, FaultKind::error_bits, taken, kMaxFaults);
    for (int i = 0; i < n; ++i) {
        if (taken[i].arg == 5)
            b.status[5] |= static_cast<std::uint8_t>(taken[i].mask);
        else
            b.fault_bits[taken[i].arg - 4] |= static_cast<std::uint8_t>(taken[i].mask);
    }
    if (cmd != nullptr && cmd->finish != nullptr)
        cmd->finish(w);
}

// An accepted command starts. How long it runs is settled before it shows
// as running, so that no state on the way leaves a command that never
// completes.
void start(World &w, const Command &cmd, const std::uint8_t *frame, std::size_t len)
{
    Bbu &b = w.bbu;
    std::memcpy(b.frame, frame, len);
    b.code = frame[0];
    b.code_shown = shown_code(w, frame[0]);
    ++b.ctr;
    arm_faults(w, frame[0], len > 2 ? frame[1] : -1);
    std::uint32_t polls = 0;
    std::uint64_t due = 0;
    if (cmd.completes == Completes::after_time && w.choices.validate_s != 0) {
        due = w.now_us + std::uint64_t{w.choices.validate_s} * 1000000;
    } else if (cmd.completes == Completes::after_polls) {
        polls = b.busy_polls;
        Fault f{};
        if (take_fault(w, FaultKind::busy, 0, Direction::any, &f))
            polls = f.arg;
    }
    b.busy_left = polls;
    b.due_us = due;
    b.running = 1;
    if (cmd.accept != nullptr)
        cmd.accept(w);
    if (polls == 0 && due == 0)
        complete(w);
}

}  // namespace

void bbu_compose_status(const World &w, std::uint8_t out[kStatusLen + 1])
{
    const Bbu &b = w.bbu;
    std::memcpy(out, b.status, kStatusLen);
    if (b.running != 0) {
        out[0] |= kCommandInProgress;
        out[kCommandByte] = b.code_shown;
        if (w.choices.i2c_busy_bit != 0)
            out[4] |= kI2cCmdInProgress;
    }
    if (w.choices.valid_bit != kValidFollows && b.image_bits_pinned == 0)
        out[6] = static_cast<std::uint8_t>(
            w.choices.valid_bit == kValidAlways ? out[6] | kValidImage : out[6] & ~kValidImage);
    out[4] |= b.fault_bits[0];
    out[5] |= b.fault_bits[1];
    out[6] |= b.fault_bits[2];
    if (b.invert_pinned == 0)
        out[1] = static_cast<std::uint8_t>(~out[0]);
    put_be32(out + kElapsedByte,
             get_be32(b.status + kElapsedByte) + seconds_since(w, b.elapsed_set_us));
    out[kStatusLen] = sumcheck(out, kStatusLen);
}

void bbu_set_status(World &w, std::size_t first, const std::uint8_t *bytes, std::size_t n)
{
    Bbu &b = w.bbu;
    // Keep the elapsed seconds that are running when only part of them is set.
    std::uint8_t live[kStatusLen + 1];
    bbu_compose_status(w, live);
    std::memcpy(b.status + kElapsedByte, live + kElapsedByte, 4);
    b.elapsed_set_us = w.now_us;
    std::memcpy(b.status + first, bytes, n);
    if (first <= 1 && first + n > 1)
        b.invert_pinned = 1;
    if (first <= 6 && first + n > 6)
        b.image_bits_pinned = 1;
}

void bbu_set_string(World &w, std::size_t index, std::size_t first, const std::uint8_t *bytes,
                    std::size_t n)
{
    Bbu &b = w.bbu;
    std::uint8_t *s = b.strings[index];
    put_be32(s + kStringSecondsByte,
             get_be32(s + kStringSecondsByte) + seconds_since(w, b.string_set_us[index]));
    b.string_set_us[index] = w.now_us;
    std::memcpy(s + first, bytes, n);
}

void bbu_complete_due(World &w)
{
    Bbu &b = w.bbu;
    if (b.running != 0 && b.due_us != 0 && w.now_us >= b.due_us)
        complete(w);
}

void bbu_sar_read(World &w, std::uint8_t *buf, std::size_t len)
{
    devices_catch_up(w);
    if (len > 0)
        bbu_restart_poll(w);
    std::uint8_t gss[kStatusLen + 1];
    bbu_compose_status(w, gss);
    if (len >= sizeof gss && take_fault(w, FaultKind::gss_check, 0, Direction::read, nullptr))
        gss[kStatusLen] ^= 0xff;
    std::size_t n = std::min(len, sizeof gss);
    std::memcpy(buf, gss, n);
    fill_bytes(w, w.choices.status_tail, buf + n, len - n);

    // Every status read is a poll of the command in progress.
    Bbu &b = w.bbu;
    if (len > 0 && b.running != 0 && b.busy_left > 0 && --b.busy_left == 0)
        complete(w);
}

void bbu_sar_write(World &w, const std::uint8_t *frame, std::size_t len)
{
    Bbu &b = w.bbu;
    devices_catch_up(w);
    if (len == 0)
        return;  // an address probe
    if (flash_sar_write(w, frame, len))
        return;
    if (len >= 2 && sumcheck(frame, len - 1) != frame[len - 1]) {
        b.status[5] |= kChecksumError;
        return;
    }
    if (b.running != 0) {
        b.status[5] |= kMultipleCommand;
        return;
    }
    // A well-formed frame starts a new conversation: old errors and the old
    // response block go (clear status may leave the errors to the next one).
    if (frame[0] != kClearStatus || w.choices.clear_keeps_errors == 0) {
        b.status[5] = 0;
        std::memset(b.fault_bits, 0, sizeof b.fault_bits);
    }
    b.block_len = 0;

    const Command *cmd = find_command(frame[0]);
    if (cmd == nullptr || (b.boot_code != 0 && !boot_code_knows(frame[0]))) {
        b.status[5] |= kInvalidCommand;
        return;
    }
    if (len != cmd->frame_len) {
        b.status[5] |= kInvalidLength;
        return;
    }
    if (cmd->check != nullptr) {
        if (std::uint8_t err = cmd->check(w, frame); err != 0) {
            b.status[5] |= err;
            return;
        }
    }

    start(w, *cmd, frame, len);
}

void bbu_sarx_read(World &w, std::uint8_t *buf, std::size_t len)
{
    devices_catch_up(w);
    const Bbu &b = w.bbu;
    if (b.block_len == 0) {  // nothing offered: an idle window
        fill_bytes(w, w.choices.idle, buf, len);
        return;
    }
    std::size_t n = std::min<std::size_t>(len, b.block_len);
    std::memcpy(buf, b.block, n);
    fill_bytes(w, w.choices.block_tail, buf + n, len - n);
    if (n == b.block_len && take_fault(w, FaultKind::block_check, 0, Direction::read, nullptr))
        buf[n - 1] ^= 0xff;
}

// Writes at 0x60 carry flash block records; outside a flash load they are
// accepted and ignored.
void bbu_sarx_write(World &w, const std::uint8_t *buf, std::size_t len)
{
    devices_catch_up(w);
    flash_sarx_write(w, buf, len);
}

}  // namespace bbusim
