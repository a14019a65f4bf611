// flash_memory.cpp - the BBU's flash load, its memory and its restarts.
//
// Start_Flash_Load (0x89) puts the BBU in flash-program mode (status byte 4
// bit 0x02). Each block then comes as a 134-byte record at 0x60, checked as
// it arrives: a record of another length, command byte or length field, or
// with a wrong sumcheck, sets checksum_error. In that mode the single byte
// 0x01 at 0x40 ends the record, and Take_Flash_Block (0x8F 0x8F) takes it into
// the flash: only then do status bytes 12 (up by one) and 13 (down by one)
// change. The first block taken erases the old image. 0x8A restarts the
// processor; in flash-program mode it is End_Flash_Load: when every block
// from 0 to the highest was taken and no ended record went without its
// Take_Flash_Block, the BBU programs the new image over the next 6 seconds,
// after which it is valid and shows its version in status byte 30; otherwise
// the BBU holds a broken image that fails validation. A processor that starts
// with no valid image runs its boot code (power.cpp).
//
// The flash holds the first image at BBU address 0x1000; read-memory
// (0xE0 0x90) answers at once with a 256-byte response, the memory from byte
// 6 on. Validate-image (0x8C) gives its verdict in status bytes 0 and 6.
#include <algorithm>
#include <cstring>

#include "devices.h"
#include "firmware_image.h"

namespace bbusim {
namespace {

constexpr std::uint8_t kNonZero = 0x01;        // status byte 0
constexpr std::uint8_t kPowerUp = 0x04;        // status byte 2
constexpr std::uint8_t kOperationMode = 0x02;  // status byte 4: flash-program mode
constexpr std::uint8_t kChecksumError = 0x01;  // status byte 5
constexpr std::uint8_t kInvalidParameter = 0x02;
constexpr std::uint8_t kInvalidCommand = 0x08;
constexpr std::uint8_t kFlashProgram = 0x20;  // status byte 6: a block the flash cannot hold
constexpr std::uint8_t kReprogramReq = 0x08;  // status byte 6

constexpr std::uint8_t kTerminate = 0x01;
constexpr std::uint8_t kTakeFlashBlock = 0x8F;
constexpr std::uint8_t kReadMemory = 0x90;  // the read-memory command's second byte
constexpr std::size_t kMaxReadMemory = 128;
// A read-memory response is 256 bytes: the header, the sub-command, the
// memory from byte 6, zeros, and the sumcheck in byte 255.
constexpr std::size_t kMemoryResponseData = 256 - kHeaderLen - 1;

enum RecordState : std::uint8_t { kNoRecord, kRecordReceived, kRecordEnded };

unsigned record_block(const std::uint8_t *record)
{
    return record[3] * 256u + record[4];
}

bool record_good(const std::uint8_t *r, std::size_t len)
{
    return len == kRecordLen && r[0] == kTakeFlashBlock && r[2] >= 1 && r[2] <= kBlockLen &&
           sumcheck(r, kRecordLen - 1) == r[kRecordLen - 1];
}

// The record in hand goes; one that its terminate byte ended but no
// Take_Flash_Block took is a block lost to this load.
void drop_record(Bbu &b)
{
    if (b.record_state == kRecordEnded)
        b.load_lost = 1;
    b.record_state = kNoRecord;
}

bool all_taken(const Bbu &b, std::size_t blocks)
{
    for (std::size_t n = 0; n < blocks; ++n)
        if ((b.taken[n / 8] & (1u << (n % 8))) == 0)
            return false;
    return blocks > 0;
}

// A new load starts from nothing taken.
void forget_load(Bbu &b)
{
    b.load_erased = 0;
    b.load_len = 0;
    b.load_lost = 0;
    std::memset(b.taken, 0, sizeof b.taken);
}

// Flash-program mode ends; a load that took blocks leaves its image.
void end_load(World &w)
{
    Bbu &b = w.bbu;
    b.status[4] &= static_cast<std::uint8_t>(~kOperationMode);
    drop_record(b);
    if (b.load_erased == 0)
        return;  // no block taken: the old image stays
    const bool whole = b.load_lost == 0 && all_taken(b, (b.load_len + kBlockLen - 1) / kBlockLen);
    b.image_len = b.load_len;
    b.image_broken = 1;
    // A whole image is programmed over the time that follows; only then is
    // it valid and its version shown.
    if (whole)
        b.commit_us =
            std::max<std::uint64_t>(w.now_us + std::uint64_t{w.choices.program_s} * 1000000, 1);
    forget_load(b);
}

// Bytes 12 and 13 on a taken block: 12 up and 13 down by one, or both to
// other values.
void step_block_counter(World &w)
{
    std::uint8_t *s = w.bbu.status;
    if (w.choices.counter_random == 0) {
        s[12] = static_cast<std::uint8_t>(s[12] + 1);
        s[13] = static_cast<std::uint8_t>(s[13] - 1);
        return;
    }
    for (const std::size_t i : {std::size_t{12}, std::size_t{13}}) {
        std::uint8_t v = random_byte(w);
        while (v == s[i])
            v = random_byte(w);
        s[i] = v;
    }
}

}  // namespace

bool flash_mode(const World &w)
{
    return (w.bbu.status[4] & kOperationMode) != 0;
}

bool flash_sar_write(World &w, const std::uint8_t *buf, std::size_t len)
{
    Bbu &b = w.bbu;
    if (!flash_mode(w))
        return false;
    if (len == 1 && buf[0] == kTerminate) {
        if (b.record_state == kRecordReceived)
            b.record_state = kRecordEnded;
        return true;
    }
    // A Take_Flash_Block that the BBU never sees: nothing changes.
    return len == 2 && buf[0] == kTakeFlashBlock && buf[1] == kTakeFlashBlock && b.running == 0 &&
           b.record_state == kRecordEnded &&
           take_block_fault(w, FaultKind::tfb_lost, record_block(b.record));
}

void flash_sarx_write(World &w, const std::uint8_t *buf, std::size_t len)
{
    Bbu &b = w.bbu;
    if (!flash_mode(w))
        return;
    // A record starts a new conversation on the window, as a frame does at 0x40.
    b.status[5] = 0;
    drop_record(b);
    if (!record_good(buf, len) ||
        take_block_fault(w, FaultKind::block_checksum, record_block(buf))) {
        b.status[5] |= kChecksumError;
        return;
    }
    std::memcpy(b.record, buf, kRecordLen);
    b.record_state = kRecordReceived;
}

std::uint8_t flash_check_mode(const World &w, const std::uint8_t *)
{
    return flash_mode(w) ? 0 : kInvalidCommand;
}

void flash_start_load(World &w)
{
    Bbu &b = w.bbu;
    b.status[4] |= kOperationMode;
    b.record_state = kNoRecord;
    forget_load(b);
}

void flash_take_block(World &w)
{
    Bbu &b = w.bbu;
    if (b.record_state != kRecordEnded)
        return;  // no ended record: nothing to take, bytes 12 and 13 stay
    b.record_state = kNoRecord;
    const unsigned n = record_block(b.record);
    const std::size_t at = std::size_t{n} * kBlockLen;
    const std::size_t len = b.record[2];
    if (at + len > kFlashLen) {
        b.fault_bits[2] |= kFlashProgram;
        return;
    }
    if (b.load_erased == 0) {
        b.image_broken = 1;
        blank_fill(w, flash_bytes(w, 0, kFlashLen), kFlashBase, kFlashLen);
        b.load_erased = 1;
    }
    std::memcpy(flash_bytes(w, at, len), b.record + kHeaderLen, len);
    b.taken[n / 8] |= static_cast<std::uint8_t>(1u << (n % 8));
    b.load_len = std::max<std::uint32_t>(b.load_len, static_cast<std::uint32_t>(at + len));
    step_block_counter(w);
}

void bbu_restart(World &w)
{
    Bbu &b = w.bbu;
    if (flash_mode(w))
        end_load(w);
    b.running = 0;
    b.busy_left = 0;
    b.due_us = 0;
    b.block_len = 0;
    b.status[5] = 0;
    std::memset(b.fault_bits, 0, sizeof b.fault_bits);
    if (w.choices.restart_keeps_power == 0)
        b.status[2] &= static_cast<std::uint8_t>(~kPowerUp);
    b.restarting = 1;
    b.restart_left = b.reset_polls;
    bbu_boot(w);
}

void bbu_restart_poll(World &w)
{
    Bbu &b = w.bbu;
    if (b.restarting == 0)
        return;
    if (b.restart_left == 0) {
        b.status[2] |= kPowerUp;
        b.restarting = 0;
    } else if (b.restart_left != kCountForever) {
        --b.restart_left;
    }
}

void validate_begin(World &w)
{
    w.bbu.status[0] &= static_cast<std::uint8_t>(~kNonZero);
    w.bbu.status[6] &= static_cast<std::uint8_t>(~kReprogramReq);
}

void validate_finish(World &w)
{
    Bbu &b = w.bbu;
    if (b.verdict == Verdict::none)
        return;
    const bool valid =
        b.verdict == Verdict::valid || (b.verdict == Verdict::own_check && b.image_broken == 0 &&
                                        check_image(b.flash, b.image_len).valid());
    b.status[0] |= kNonZero;
    if (!valid)
        b.status[6] |= kReprogramReq;
}

void clear_status(World &w)
{
    if (w.choices.clear_keeps_power == 0)
        w.bbu.status[2] &= static_cast<std::uint8_t>(~kPowerUp);
}

std::uint8_t memory_check_frame(const World &, const std::uint8_t *frame)
{
    return frame[1] == kReadMemory && frame[2] >= 1 && frame[2] <= kMaxReadMemory
               ? 0
               : kInvalidParameter;
}

std::size_t memory_build_response(World &w, const std::uint8_t *frame, std::uint8_t *data)
{
    const std::size_t count = frame[2];
    const std::uint32_t address = get_be32(frame + 3);
    std::memset(data, 0, kMemoryResponseData);
    data[0] = kReadMemory;
    std::uint8_t *bytes = data + 1;
    memory_read(w, address, bytes, count);
    fill_bytes(w, w.choices.padding, bytes + count, kMemoryResponseData - 1 - count);
    // A first-image fault spoils the header bytes this read covers.
    auto in_header = [address](std::size_t i) {
        const std::uint64_t a = std::uint64_t{address} + i;
        return a >= kFlashBase && a < kFlashBase + kImageHeaderLen;
    };
    bool covers = false;
    for (std::size_t i = 0; i < count; ++i)
        covers = covers || in_header(i);
    if (covers && take_fault(w, FaultKind::first_image, 0, Direction::any, nullptr)) {
        for (std::size_t i = 0; i < count; ++i)
            if (in_header(i))
                bytes[i] ^= 0xff;
    }
    return kMemoryResponseData;
}

void memory_read(const World &w, std::uint32_t address, std::uint8_t *out, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t a = std::uint64_t{address} + i;
        if (a >= kFlashBase && a < kFlashBase + kFlashLen)
            out[i] = w.bbu.flash[a - kFlashBase];
        else
            blank_fill(w, out + i, a, 1);
    }
}

void store_image(World &w, const std::uint8_t *image, std::size_t n)
{
    Bbu &b = w.bbu;
    n = std::min(n, kFlashLen);
    std::uint8_t *flash = flash_bytes(w, 0, kFlashLen);
    std::memcpy(flash, image, n);
    blank_fill(w, flash + n, kFlashBase + n, kFlashLen - n);
    b.image_len = static_cast<std::uint32_t>(n);
    b.image_broken = 0;
    b.commit_us = 0;
    if (n > kImageVersionByte)
        b.status[30] = image[kImageVersionByte];
    bbu_boot(w);
}

}  // namespace bbusim
