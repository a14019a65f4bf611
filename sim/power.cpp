// power.cpp - the power going and coming back, and the host crashing.
//
// A power-cut fault takes the power just before a message reaches its
// device, halfway through a pause, or at a point in virtual time. The BBU
// keeps only what its flash holds (the image, and the firmware version it
// shows), the VPD EEPROM its bytes, the clock its time; a load in progress is
// lost, and a flash block being programmed is left half written. When the
// power comes back (the next run on a kept world) the BBU boots: a valid image
// runs, otherwise its boot code answers. A crash fault ends the program that
// makes the event instead, with every device powered and as it was.
#include <algorithm>
#include <cstring>

#include "devices.h"
#include "firmware_image.h"
#include "snapshot.h"
#include "transcript.h"

namespace bbusim {
namespace {

constexpr std::uint8_t kPowerUp = 0x04;        // status byte 2
constexpr std::uint8_t kOperationMode = 0x02;  // status byte 4: flash-program mode
constexpr std::uint8_t kValidImage = 0x10;     // status byte 6
constexpr std::uint8_t kReprogramReq = 0x08;   // status byte 6
constexpr std::size_t kLightByte = 14;         // low nibble: the service/fault light
constexpr std::uint8_t kTakeFlashBlock = 0x8F;

// The run's command ends here: `kind` says how; the transcript says so.
void stop_here(World &w, FaultKind kind, std::uint64_t t)
{
    if (kind == FaultKind::crash) {
        w.stop = Stop::crash;
        TranscriptLine(t).text(" crash").emit(w);
        return;
    }
    power_cut(w, t);
    TranscriptLine(t).text(" power-cut").emit(w);
}

// An at-time fault due by `until`: its time, or 0 when none is.
std::uint64_t due_at(const World &w, std::uint64_t until, FaultKind *kind)
{
    std::uint64_t first = 0;
    for (const Fault &f : w.faults) {
        if ((f.kind != FaultKind::power_cut && f.kind != FaultKind::crash) ||
            f.strike != Strike::at_time || f.armed == 0)
            continue;
        const std::uint64_t at = w.run_start_us + f.at_us;
        if (at <= until && (first == 0 || at < first)) {
            first = std::max<std::uint64_t>(at, 1);
            *kind = f.kind;
        }
    }
    return first;
}

}  // namespace

void power_cut(World &w, std::uint64_t at)
{
    world_journal(w);
    Bbu &b = w.bbu;
    // Programming that ended before the power went made the image whole,
    // though nothing on the bus has looked since.
    bbu_commit_due(w, at);
    // A block the flash was programming when the power went is half written.
    if (b.running != 0 && b.code == kTakeFlashBlock && flash_mode(w)) {
        const std::size_t at = std::size_t{b.record[3] * 256u + b.record[4]} * kBlockLen;
        const std::size_t half = at + kBlockLen / 2;
        if (at + kBlockLen <= kFlashLen)
            blank_fill(w, flash_bytes(w, half, kBlockLen / 2), kFlashBase + half, kBlockLen / 2);
    }
    b.commit_us = 0;  // an image not yet programmed whole stays broken
    w.powered_off = 1;
    w.stop = Stop::power_cut;
}

void power_up(World &w)
{
    world_journal(w);
    Bbu &b = w.bbu;
    b.running = 0;
    b.busy_left = 0;
    b.due_us = 0;
    b.block_len = 0;
    b.record_state = 0;
    b.load_erased = 0;
    b.load_len = 0;
    b.load_lost = 0;
    std::memset(b.taken, 0, sizeof b.taken);
    std::memset(b.fault_bits, 0, sizeof b.fault_bits);
    b.status[4] &= static_cast<std::uint8_t>(~kOperationMode);
    b.status[5] = 0;
    b.status[2] |= kPowerUp;
    b.status[kLightByte] &= 0xf0;
    b.restarting = 0;
    b.ctr = 0;
    w.eeprom.pointer = 0;
    w.eeprom.busy_until_us = 0;
    w.rtc.pointer = 0;
    w.powered_off = 0;
    w.stop = Stop::none;
    bbu_boot(w);
    TranscriptLine(w.now_us).text(" power-up").emit(w);
}

void bbu_boot(World &w)
{
    Bbu &b = w.bbu;
    const bool valid = b.image_broken == 0 && check_image(b.flash, b.image_len).valid();
    b.boot_code = valid ? 0 : 1;
    if (b.image_bits_pinned != 0)
        return;
    if (valid) {
        b.status[6] = static_cast<std::uint8_t>((b.status[6] | kValidImage) & ~kReprogramReq);
    } else {
        b.status[6] = static_cast<std::uint8_t>((b.status[6] & ~kValidImage) | kReprogramReq);
    }
}

void bbu_commit_due(World &w, std::uint64_t by)
{
    Bbu &b = w.bbu;
    if (b.commit_us == 0 || by < b.commit_us)
        return;
    b.commit_us = 0;
    b.image_broken = 0;
    if (w.choices.version_keeps == 0)
        b.status[30] = b.flash[kImageVersionByte];
    bbu_boot(w);
}

bool stop_before_message(World &w, std::uint8_t addr, Direction dir)
{
    world_journal(w);
    if (w.stop != Stop::none || w.powered_off != 0)
        return true;
    snapshot_before_message(w);
    FaultKind kind = FaultKind::none;
    if (due_at(w, w.now_us, &kind) != 0 || take_stop_fault(w, Strike::address, addr, dir, &kind) ||
        take_stop_fault(w, Strike::any_message, addr, dir, &kind)) {
        stop_here(w, kind, w.now_us);
        return true;
    }
    return false;
}

std::uint64_t pause_before_stop(World &w, std::uint64_t us)
{
    world_journal(w);
    if (w.stop != Stop::none || w.powered_off != 0)
        return 0;
    snapshot_before_pause(w, us);
    FaultKind kind = FaultKind::none;
    std::uint64_t part = us;
    const std::uint64_t end = w.now_us + us < w.now_us ? UINT64_MAX : w.now_us + us;
    if (const std::uint64_t at = due_at(w, end, &kind); at != 0)
        part = at > w.now_us ? at - w.now_us : 0;
    else if (take_stop_fault(w, Strike::pause, 0, Direction::any, &kind))
        part = us / 2;
    else
        return us;
    stop_here(w, kind, w.now_us + part);
    return part;
}

}  // namespace bbusim
