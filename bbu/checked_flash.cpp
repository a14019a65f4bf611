// The checked flash load: the image copy checked, the load sent with the
// frames and pauses of processCodeLoad(), and every step seen: each write
// carried whole, each status whole with a correct check byte and no error
// bit, Start_Flash_Load seen taken, every block seen taken (status bytes 12
// and 13 moved), the flash mode seen ended, and at the end the BBU seen
// running the image: its header read back and its own validation. Status
// bytes 30 and 31 and valid_image are shown, never taken as proof: nothing
// ties them to the image loaded. When the load fails after it started, the
// load is ended and what the BBU holds is found out.
#include "checked_memory.h"
#include "checked_resets.h"
#include "checked_stop.h"
#include "library_internal.h"

#include <algorithm>
#include <cstring>

namespace {

using checked::Failure;
using checked::Operation;
using checked::Status;

constexpr unsigned char START_FLASH_LOAD = 0x89;
constexpr unsigned char END_FLASH_LOAD = 0x8A;
constexpr unsigned char TERMINATE_BYTE = 0x01;

constexpr int FIRST_IMAGE_LEN = 32;  // read at BBU_FIRST_IMAGE_ADDR and compared
constexpr int VERSION_BYTE = 7;      // of the image and of the BBU's first image
constexpr int FIRST_IMAGE_REREADS = 3;
constexpr unsigned REREAD_SECONDS = 2;
constexpr unsigned AFTER_START_SECONDS = 2;
constexpr unsigned AFTER_REOPEN_SECONDS = 2;  // where the file is opened again for the blocks
constexpr unsigned AFTER_END_SECONDS = 10;
constexpr unsigned BLOCK_PAUSE_US = 10;
constexpr int MAX_POLLS = 15;               // status reads of a handshake poll
constexpr unsigned POLL_US = 100;           // between them
constexpr int MAX_RESENDS = 3;              // of a block record or a Take_Flash_Block
constexpr unsigned IDLE_WAIT_SECONDS = 10;  // the longest a command runs: a validation

using Header = std::array<unsigned char, FIRST_IMAGE_LEN>;

// What a flash that succeeds rests on, whether it loaded or found the image there.
constexpr unsigned LOAD_EVIDENCE = BBU_EVIDENCE_HEADER | BBU_EVIDENCE_VALIDATION;

// The load's fixed waits (reset and settling, after Start_Flash_Load, after
// End_Flash_Load, the validation) and a block's bus time at 100 kHz: what a
// plan tells to expect, not a limit.
constexpr int LOAD_WAIT_SECONDS = 1 + SOFT_RESET_SETTLE_SECONDS + AFTER_START_SECONDS +
                                  AFTER_REOPEN_SECONDS + AFTER_END_SECONDS + 10;
constexpr int BLOCK_BUS_MS = 30;

struct Load {
    Operation &op;
    const bbu_checked_image &image;
    int blocks;
    Header old_header{};
    bool have_old_header = false;
    int status_version = -1;     // status byte 30 as the load found it
    bool found_in_load = false;  // operation_mode set when the load began: a half-finished load
    bool started = false;        // Start_Flash_Load was sent: the BBU may be in flash-program mode
    bool ended = false;          // and the BBU was seen out of it again
};

bool write_frame(Operation &op, int step, unsigned char code)
{
    const std::array<unsigned char, 2> frame{code, code};
    return checked::write_whole(op, step, BBU_SAR_ADDR, frame.data(), 2);
}

// A whole status without error bits; false with op.last.
bool read_clean_status(Operation &op, int step, const char *label, Status &status)
{
    if (!checked::read_status_twice(op, step, label, status))
        return false;
    if (const int bits = checked::error_bits(status); bits != 0) {
        op.last = Failure{step, BBU_WHY_ERROR_BITS, bits, 0};
        return false;
    }
    return true;
}

// Polls the status, 100 microseconds apart, until @p done says a whole one
// will do; a read that fails meanwhile is polled past.
template <typename Done>
bool poll_status(Operation &op, int step, const char *label, Status &status, Done done)
{
    bool read = false;
    for (int polls = 0; polls < MAX_POLLS; ++polls) {
        if (polls > 0)
            checked::pause_us(POLL_US);
        read = checked::read_status(op, step, label, status);
        if (read && done(status))
            return true;
    }
    // Whole statuses that never would do: a command that stays in progress.
    if (read)
        op.last = Failure{step, BBU_WHY_BUSY, status[0], 0};
    return false;
}

// A command still running when the load starts (one a program that died left
// behind, such as a validation) would refuse the commands of the load: wait
// for it to end, a second at a time. False with op.last.
bool wait_idle(Operation &op, Status &status)
{
    for (unsigned waited = 0; (status[0] & SAR0_CMD_IN_PROGRESS) != 0; ++waited) {
        checked::report(op, BBU_PHASE_WAIT_IDLE);
        if (waited == IDLE_WAIT_SECONDS) {
            op.last = Failure{BBU_STEP_STATUS, BBU_WHY_BUSY, status[0], 0};
            return false;
        }
        checked::wait_seconds(op, 1);
        if (!checked::read_status_twice(op, BBU_STEP_STATUS, "command still running", status))
            return false;
    }
    return true;
}

// The bytes of the image that the header read at BBU_FIRST_IMAGE_ADDR covers.
std::size_t header_span(const bbu_checked_image &image)
{
    return std::min<std::size_t>(FIRST_IMAGE_LEN, image.length);
}

// The offset of the first byte where @p header and the image differ, or -1.
int header_differs(const Header &header, const bbu_checked_image &image)
{
    for (std::size_t i = 0; i < header_span(image); ++i)
        if (header[i] != image.bytes[i])
            return static_cast<int>(i);
    return -1;
}

// A reset on the way of the load, its restart made visible first. A restart
// the BBU cannot show is no reason to stop: what the load rests on is
// Start_Flash_Load taken with the flash mode on, and the image read back.
checked::Restart reset_bbu_for_load(Operation &op, bool hard)
{
    bool armed = false;
    if (!checked::arm_restart(op, armed))
        return checked::Restart::not_seen;
    return hard ? checked::hard_reset(op, armed) : checked::soft_reset(op, armed);
}

// The header of the BBU's image, read again 2 seconds apart while it does not
// start FE ED, with a soft reset after the second re-read and a hard reset
// after the third, as the load has always done. False when it could not be
// read at all.
bool read_first_image(Load &load)
{
    Operation &op = load.op;
    checked::report(op, BBU_PHASE_FIRST_IMAGE);
    Header &header = load.old_header;
    auto readable = [&header] {
        return header[0] == 0xFE && header[1] == 0xED;
    };
    if (!checked::read_memory(op, BBU_STEP_FIRST_IMAGE, BBU_FIRST_IMAGE_ADDR, header.data(),
                              FIRST_IMAGE_LEN))
        return false;
    for (int reread = 0; reread < FIRST_IMAGE_REREADS && !readable(); ++reread) {
        checked::wait_seconds(op, REREAD_SECONDS);
        if (!checked::read_memory(op, BBU_STEP_FIRST_IMAGE, BBU_FIRST_IMAGE_ADDR, header.data(),
                                  FIRST_IMAGE_LEN))
            return false;
        if (readable())
            break;
        // The resets are attempts to make the header readable; the load
        // goes on whatever they gave, and its own checks judge the BBU.
        if (reread == 1 || reread == 2)
            reset_bbu_for_load(op, reread == 2);
        checked::report(op, BBU_PHASE_FIRST_IMAGE);
    }
    load.have_old_header = readable();
    return true;
}

// Writes the record of block @p n, again while the BBU reports it with a bad
// checksum; true when the BBU holds it with no error bit set.
bool send_record(Load &load, int n, Status &status)
{
    Operation &op = load.op;
    const std::uint32_t at = static_cast<std::uint32_t>(n) * BBU_FLASH_DATA_LEN;
    const std::uint32_t len = std::min<std::uint32_t>(BBU_FLASH_DATA_LEN, load.image.length - at);
    codebuffer record{};
    std::memcpy(record.data, load.image.bytes + at, len);
    make_flash_block(&record, static_cast<unsigned>(n), len);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&record);

    for (int sends = 0;; ++sends) {
        if (!checked::write_whole(op, BBU_STEP_BLOCK_RECORD, BBU_SARX_ADDR, bytes, sizeof record) ||
            !checked::read_status_twice(op, BBU_STEP_BLOCK_RECORD, "sarx write", status))
            return false;
        if ((status[5] & CHKSUM_ERR) == 0)
            break;
        if (sends == MAX_RESENDS) {
            op.last = Failure{BBU_STEP_BLOCK_RECORD, BBU_WHY_BLOCK_CHECKSUM, status[5], 0};
            return false;
        }
        LogTrace("***Checksum error, rewrite to SARX***");
    }
    if (const int bits = checked::error_bits(status); bits != 0) {
        op.last = Failure{BBU_STEP_BLOCK_RECORD, BBU_WHY_ERROR_BITS, bits, 0};
        return false;
    }
    return true;
}

// Sends the record of block @p n and has the BBU end it and take it.
bool send_block(Load &load, int n)
{
    Operation &op = load.op;
    Status status{};
    if (!send_record(load, n, status))
        return false;
    if (!checked::write_whole(op, BBU_STEP_TERMINATE, BBU_SAR_ADDR, &TERMINATE_BYTE, 1))
        return false;
    checked::pause_us(BLOCK_PAUSE_US);
    if (!read_clean_status(op, BBU_STEP_TERMINATE, "terminate command", status))
        return false;
    // Both bytes move when the BBU takes the block.
    const unsigned char byte12_before = status[12];
    const unsigned char byte13_before = status[13];
    auto taken = [&](const Status &s) {
        return s[12] != byte12_before && s[13] != byte13_before;
    };

    for (int sends = 0; sends <= MAX_RESENDS; ++sends) {
        if (sends > 0)
            LogTrace("***TFB command lost, retry TFB***");
        if (!write_frame(op, BBU_STEP_TAKE_BLOCK, BBU_TAKE_FLASH_BLOCK))
            return false;
        tfb_delay();
        if (!read_clean_status(op, BBU_STEP_TAKE_BLOCK, "sar write", status))
            return false;
        // Until the command has run, or the block shows taken already.
        if (!poll_status(op, BBU_STEP_TAKE_BLOCK, "wait for ack", status, [&](const Status &s) {
                return (s[0] & SAR0_CMD_IN_PROGRESS) == 0 || taken(s);
            }))
            return false;
        if (status[5] != 0) {
            op.last = Failure{BBU_STEP_TAKE_BLOCK, BBU_WHY_NOT_ACCEPTED, status[5], 0};
            return false;
        }
        if (taken(status))
            return true;
    }
    op.last =
        Failure{BBU_STEP_TAKE_BLOCK, BBU_WHY_BLOCK_NOT_TAKEN, status[12] << 8 | status[13], 0};
    return false;
}

// What the BBU holds after the load's own soft reset, before Start_Flash_Load.
int holds_after_reset(checked::Restart restart)
{
    return restart == checked::Restart::seen ? BBU_HOLDS_RESTARTED : BBU_HOLDS_NOT_VERIFIABLE;
}

// Soft reset, Start_Flash_Load seen taken, every block, End_Flash_Load and the
// flash mode seen ended. False with op.last.
bool load_blocks(Load &load)
{
    Operation &op = load.op;
    // Polled for its whole time when power_up cannot show the restart, so
    // that Start_Flash_Load goes to a BBU that has had the time to restart.
    if (checked::stopped(op, BBU_STEP_SOFT_RESET, BBU_HOLDS_UNCHANGED))
        return false;
    const checked::Restart restart = reset_bbu_for_load(op, false);
    if (restart == checked::Restart::not_seen)
        return false;
    checked::wait_seconds(op, SOFT_RESET_SETTLE_SECONDS);

    checked::report(op, BBU_PHASE_START_LOAD);
    Status status{};
    if (!poll_status(op, BBU_STEP_COMMAND_READY, "not ready, delaying", status,
                     [](const Status &s) { return (s[0] & SAR0_CMD_IN_PROGRESS) == 0; }))
        return false;
    if (checked::stopped_or_committed(op, BBU_STEP_START_LOAD, holds_after_reset(restart)))
        return false;
    load.started = true;
    if (!write_frame(op, BBU_STEP_START_LOAD, START_FLASH_LOAD))
        return false;
    checked::wait_seconds(op, AFTER_START_SECONDS);
    if (!poll_status(op, BBU_STEP_START_LOAD, "wait for ack", status,
                     [](const Status &) { return true; }))
        return false;
    if (status[5] != 0) {
        op.last = Failure{BBU_STEP_START_LOAD, BBU_WHY_NOT_ACCEPTED, status[5], 0};
        return false;
    }
    if ((status[4] & checked::OPERATION_MODE) == 0) {
        op.last = Failure{BBU_STEP_START_LOAD, BBU_WHY_FLASH_MODE, status[4], 0};
        return false;
    }
    checked::wait_seconds(op, AFTER_REOPEN_SECONDS);
    if (!read_clean_status(op, BBU_STEP_START_LOAD, "After Start_Flash_Load", status))
        return false;

    for (int n = 0; n < load.blocks; ++n) {
        checked::report(op, BBU_PHASE_BLOCKS, n + 1, load.blocks);
        checked::pause_us(BLOCK_PAUSE_US);
        if (!send_block(load, n)) {
            op.result.block = n;
            return false;
        }
        op.result.changed = 1;
    }

    checked::report(op, BBU_PHASE_END_LOAD);
    if (!write_frame(op, BBU_STEP_END_LOAD, END_FLASH_LOAD))
        return false;
    checked::wait_seconds(op, AFTER_END_SECONDS);
    if (!read_clean_status(op, BBU_STEP_END_LOAD, "end of load", status))
        return false;
    if ((status[4] & checked::OPERATION_MODE) != 0) {
        op.last = Failure{BBU_STEP_END_LOAD, BBU_WHY_FLASH_MODE, status[4], 0};
        return false;
    }
    load.ended = true;
    return true;
}

// The BBU holds the image and finds it valid: its header read back at
// BBU_FIRST_IMAGE_ADDR, and its own verdict after the validate command.
bool runs_image(Load &load)
{
    Operation &op = load.op;
    checked::report(op, BBU_PHASE_VERIFY);
    Header header{};
    if (!checked::read_memory(op, BBU_STEP_VERIFY_IMAGE, BBU_FIRST_IMAGE_ADDR, header.data(),
                              FIRST_IMAGE_LEN))
        return false;
    if (const int offset = header_differs(header, load.image); offset >= 0) {
        op.last = Failure{BBU_STEP_VERIFY_IMAGE, BBU_WHY_MISMATCH, offset, 0};
        return false;
    }
    switch (checked::validate(op)) {
    case checked::Verdict::valid:
        break;
    case checked::Verdict::invalid:
        op.last = Failure{BBU_STEP_VALIDATE, BBU_WHY_IMAGE_INVALID, 0, 0};
        return false;
    case checked::Verdict::none:
    case checked::Verdict::unread:
        return false;
    }
    return true;
}

// After a failure: the load ended, so that the BBU does not stay in
// flash-program mode, and what it holds found out from its status, its
// image header and its own verdict.
int holds_after_load(Load &load)
{
    Operation &op = load.op;
    checked::report(op, BBU_PHASE_RECOVER);
    if (!load.ended) {
        write_frame(op, BBU_STEP_END_LOAD, END_FLASH_LOAD);
        checked::wait_seconds(op, AFTER_END_SECONDS);
    }
    Status status{};
    if (!checked::read_status_twice(op, BBU_STEP_STATUS, "end of load", status))
        return checked::holds_unread(op);
    op.result.after = checked::firmware(status);
    if ((status[4] & checked::OPERATION_MODE) != 0)
        return BBU_HOLDS_FLASH_MODE;
    Header header{};
    if (!checked::read_memory(op, BBU_STEP_FIRST_IMAGE, BBU_FIRST_IMAGE_ADDR, header.data(),
                              FIRST_IMAGE_LEN))
        return checked::holds_unread(op);
    switch (checked::validate(op)) {
    case checked::Verdict::valid:
        break;
    case checked::Verdict::invalid:
        return BBU_HOLDS_NO_VALID_IMAGE;
    case checked::Verdict::none:
        return BBU_HOLDS_UNREADABLE;
    case checked::Verdict::unread:
        return checked::holds_unread(op);
    }
    // Only two images can be there: the one it had, or the one just sent. A
    // header that is neither, or an old one never read, tells nothing.
    if (header_differs(header, load.image) < 0)
        return BBU_HOLDS_NEW_IMAGE;
    return load.have_old_header && header == load.old_header ? BBU_HOLDS_OLD_IMAGE
                                                             : BBU_HOLDS_UNREADABLE;
}

// The outcome of a failure recorded in op.last: the step, traced as it
// happened, and what the BBU holds now.
int failed(Load &load)
{
    Operation &op = load.op;
    checked::fail_last(op);
    if (load.started) {
        op.result.holds = holds_after_load(load);
    } else if (op.last.why == BBU_WHY_TRANSFER_FAILED || op.last.why == BBU_WHY_SHORT_TRANSFER ||
               op.last.why == BBU_WHY_BAD_CHECK_BYTE) {
        op.result.holds = checked::holds_unread(op);
    }
    return BBU_CHECKED_FAILED;
}

// An image the checks refuse never reaches the bus: true after the failure.
bool image_refused(Operation &op, const bbu_checked_image &image, unsigned flags)
{
    const int refused = bbu_checked_check_image(image.bytes, image.length, flags, nullptr);
    if (refused != 0)
        checked::fail(op, BBU_STEP_IMAGE_CHECK,
                      refused == BBU_IMAGE_TOO_LONG ? BBU_WHY_IMAGE_TOO_LONG
                                                    : BBU_WHY_IMAGE_REFUSED,
                      refused);
    return refused != 0;
}

// The BBU holds this very image: its header equal to the image's first 32
// bytes, and the status's version byte not saying otherwise (a disagreement
// can only make the image load again, which is harmless). A BBU found in
// flash-program mode is in a half-finished load, whatever its header shows:
// only a whole load ends it.
bool holds_this_image(const Load &load)
{
    return !load.found_in_load && load.have_old_header &&
           header_differs(load.old_header, load.image) < 0 &&
           load.status_version == load.old_header[VERSION_BYTE];
}

int blocks_of(const bbu_checked_image &image)
{
    return static_cast<int>((image.length + BBU_FLASH_DATA_LEN - 1) / BBU_FLASH_DATA_LEN);
}

}  // namespace

int bbu_checked_flash(int fd, const bbu_checked_image *image, unsigned flags,
                      bbu_checked_progress_fn progress, void *context, bbu_checked_result *result,
                      int verbose)
{
    bbu_checked_result spare;
    Operation op{fd, checked::start(result, spare), verbose, progress, context};
    if (image == nullptr)
        return checked::fail(op, BBU_STEP_ARGUMENT, BBU_WHY_BAD_ARGUMENT);
    if (image_refused(op, *image, flags))
        return BBU_CHECKED_FAILED;

    Load load{op, *image, blocks_of(*image)};
    Status status{};
    if (!checked::read_status_twice(op, BBU_STEP_STATUS, "initial status", status))
        return failed(load);
    op.result.before = checked::firmware(status);
    load.status_version = status[30];
    load.found_in_load = (status[4] & checked::OPERATION_MODE) != 0;
    if (!wait_idle(op, status))
        return failed(load);

    if ((flags & BBU_CHECKED_FLASH_FORCE) == 0) {
        if (checked::stopped(op, BBU_STEP_FIRST_IMAGE, BBU_HOLDS_UNCHANGED) ||
            !read_first_image(load))
            return failed(load);
        if (holds_this_image(load)) {
            const checked::Verdict verdict = checked::validate(op);
            if (verdict == checked::Verdict::valid &&
                (op.result.status[4] & checked::OPERATION_MODE) == 0)
                return checked::succeed(op, BBU_HOLDS_UNCHANGED, LOAD_EVIDENCE);
            if (verdict == checked::Verdict::unread)
                return failed(load);
        }
    }
    if (!load_blocks(load) || !runs_image(load))
        return failed(load);
    return checked::succeed(op, BBU_HOLDS_NEW_IMAGE, LOAD_EVIDENCE);
}

int bbu_checked_plan_flash(int fd, const bbu_checked_image *image, unsigned flags,
                           bbu_checked_flash_plan *plan, bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    Operation op{fd, checked::start(result, spare), verbose};
    if (image == nullptr || plan == nullptr)
        return checked::fail(op, BBU_STEP_ARGUMENT, BBU_WHY_BAD_ARGUMENT);
    if (image_refused(op, *image, flags))
        return BBU_CHECKED_FAILED;
    const int blocks = blocks_of(*image);
    *plan = bbu_checked_flash_plan{BBU_FLASH_LOAD, image->bytes[VERSION_BYTE], -1, blocks,
                                   LOAD_WAIT_SECONDS + (blocks * BLOCK_BUS_MS + 999) / 1000};

    Status status{};
    if (!checked::read_status_twice(op, BBU_STEP_STATUS, "initial status", status) ||
        !wait_idle(op, status)) {
        op.result.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    op.result.before = op.result.after = checked::firmware(status);
    // A BBU left in a half-finished load gets the image, whatever the versions.
    if ((status[4] & checked::OPERATION_MODE) != 0)
        return checked::succeed(op, BBU_HOLDS_UNCHANGED, BBU_EVIDENCE_STATUS);

    Header header{};
    if (!checked::read_memory(op, BBU_STEP_FIRST_IMAGE, BBU_FIRST_IMAGE_ADDR, header.data(),
                              FIRST_IMAGE_LEN)) {
        op.result.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    const bool readable = header[0] == 0xFE && header[1] == 0xED;
    if (readable)
        plan->running_version = header[VERSION_BYTE];
    if (readable && header_differs(header, *image) < 0 && status[30] == header[VERSION_BYTE])
        plan->action = BBU_FLASH_NONE;
    else if (readable && plan->image_version < plan->running_version)
        plan->action = BBU_FLASH_DOWNGRADE;
    else if (!readable)
        plan->action = BBU_FLASH_UNKNOWN;
    return checked::succeed(op, BBU_HOLDS_UNCHANGED, BBU_EVIDENCE_STATUS | BBU_EVIDENCE_READ_TWICE);
}
