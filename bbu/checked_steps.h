// The pieces every checked operation is made of: its result record, its
// progress reports and waits, transfers that count only when carried whole,
// and the status read that counts only as the whole block with a correct
// check byte. Every failure is recorded once, where it is seen, with the step
// that failed, why, the result and the errno behind it.
#ifndef BBU_CHECKED_STEPS_H
#define BBU_CHECKED_STEPS_H

#include <bbu/bbu.h>
#include <bbu/status_bits.h>

#include "i2c_internal.h"
#include "library_internal.h"

#include <array>
#include <cstdint>

namespace checked {

using Status = std::array<unsigned char, BBU_GSS_READ_LEN>;

// General status bits the checked operations read.
constexpr unsigned char NON_ZERO = bbu_status::mask_of(0, "non_zero");
constexpr unsigned char POWER_UP = bbu_status::mask_of(2, "power_up");
constexpr unsigned char OPERATION_MODE =
    bbu_status::mask_of(4, "operation_mode");  // flash-program mode
constexpr unsigned char REPROGRAM_REQ = bbu_status::mask_of(6, "reprogram_req");
constexpr unsigned char I2C_CMD_IN_PROGRESS = bbu_status::mask_of(4, "i2c_cmd_in_progress");
// The error bits the library's checked read tests, by status byte.
constexpr unsigned char BYTE4_ERRORS = bbu_status::error_mask(4);
constexpr unsigned char BYTE6_ERRORS = bbu_status::error_mask(6);

// What the latest failed transfer or read was: its step, why, its result,
// its errno.
struct Failure {
    int step = BBU_STEP_NONE;
    int why = BBU_WHY_NONE;
    int rc = 0;
    int err = 0;
};

// One checked operation under way: where its result goes, whom it tells of
// its progress, and what it hands on to the library. While it lives, a trace
// log that cannot be opened is passed over in silence.
struct Operation {
    Operation(int fd_, bbu_checked_result &result_, int verbose_,
              bbu_checked_progress_fn progress_ = nullptr, void *context_ = nullptr)
        : fd(fd_), result(result_), verbose(verbose_), progress(progress_), context(context_)
    {}
    int fd;
    bbu_checked_result &result;
    int verbose;
    bbu_checked_progress_fn progress;
    void *context;
    int phase = 0;
    Failure last;  // of the latest transfer or read that failed
    i2c_internal::QuietTrace quiet{true};
};

// Clears the record (the caller's, or @p spare when the caller gave none):
// nothing failed yet, nothing read, nothing changed.
bbu_checked_result &start(bbu_checked_result *given, bbu_checked_result &spare);

// Records the first failure (a later one, seen while finding out what the
// device holds, does not replace it), traces it, returns BBU_CHECKED_FAILED.
int fail(Operation &op, int step, int why, int rc = 0, int err = 0);

// fail() with the latest failed transfer or read.
int fail_last(Operation &op);

// Records success with what the device now holds and the evidence it rests
// on (BBU_EVIDENCE_* bits); returns BBU_CHECKED_OK.
int succeed(Operation &op, int holds, unsigned verified);

// Records an operation that did all it was asked but whose effect nothing
// can tell; returns BBU_CHECKED_UNVERIFIED.
int unverified(Operation &op);

// What the device holds when the latest read of it failed: a transfer the
// bus refused is a device that does not answer; a short block or a wrong
// check byte is a value that could not be read.
int holds_unread(const Operation &op);

// Progress: a new phase, a block, or the seconds left of a wait.
void report(Operation &op, int phase, int block = 0, int blocks = 0, int seconds_left = -1);

// Waits @p seconds in full, one second at a time, counting down to the
// progress callback.
void wait_seconds(Operation &op, unsigned seconds);

// A pause of @p microseconds, slept in full.
void pause_us(unsigned microseconds);

// A write of exactly @p len bytes at @p addr, tried as the retry layer tries
// it; false, with op.last naming @p step, when it was not carried whole.
bool write_whole(Operation &op, int step, int addr, const unsigned char *bytes, int len);

// A read of exactly @p len bytes at @p addr, tried as the retry layer tries it.
bool read_whole(Operation &op, int step, int addr, unsigned char *into, int len);

// One read of the general status: the whole block, its check byte right,
// shown under @p label when verbose. On success the status is also the
// record's last status.
bool read_status(Operation &op, int step, const char *label, Status &status);

// read_status(), once more when what came has a wrong check byte.
bool read_status_twice(Operation &op, int step, const char *label, Status &status);

// Status bytes 4, 5 and 6 as one value (0xBBBBBB) when any bit the library's
// checks test is set, else 0; byte 4's 0x08 counts only when no command is in
// progress.
int error_bits(const Status &status);

// The firmware the status shows: version * 256 + sub-version.
int firmware(const Status &status);

}  // namespace checked

#endif  // BBU_CHECKED_STEPS_H
