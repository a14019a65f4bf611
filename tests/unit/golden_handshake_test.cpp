// The handshake of the flash load as whole sessions: the ready and accept
// polls, the clear-status command, the re-sends of a lost Take_Flash_Block
// and of a block the BBU received with a bad checksum.
#include <bbu/bbu.h>

#include <cstring>

#include "golden.h"

namespace {

// The TFB frame in the load's command buffer (a second byte of its own where
// the row says so), the status bytes 12 and 13 seen before it and after it,
// and the pause after each TFB.
template <char Before12, char Before13, char After12, char After13, int DelayMs = 0,
          unsigned char Second = 0x8F>
void tfb_seen(golden::Call &call)
{
    call.buf[0] = 0x8F;
    call.buf[1] = Second;
    byte12_beforeTFB = Before12;
    byte13_beforeTFB = Before13;
    byte12_afterTFB = After12;
    byte13_afterTFB = After13;
    TFB_delay = DelayMs != 0 ? 1 : 0;
    TFB_delaytime = DelayMs;
}

// After-values that no status read gave: 'Z' in both.
void after_values_unknown(golden::Call &)
{
    byte12_afterTFB = byte13_afterTFB = 'Z';
}

// Block 0 of 128 bytes, data 0..127, as the load builds it.
void block_record(golden::Call &call)
{
    codebuffer record{};
    for (int i = 0; i < 128; ++i)
        record.data[i] = static_cast<unsigned char>(i);
    make_flash_block(&record, 0, 128);
    std::memcpy(call.buf.data(), &record, sizeof record);
}

// A call with the TFB frame and the bytes 12 and 13 of tfb_seen, and one with
// block 0's record.
#define TFB_CHECK(verbose, ...)                                                                    \
    GOLDEN_CALL(check_and_retryTFB(fd, cbuf, verbose)), {}, tfb_seen<__VA_ARGS__>
#define SARX(verbose) GOLDEN_CALL(rewriteToSARX(fd, 134, cbuf, verbose)), {}, block_record

const golden::Row kRows[] = {
    // The ready poll: the first complete status without a command in progress.
    {"ready_at_once", "", GOLDEN_CALL(wait_for_cmd_ready(fd, 1))},
    {"ready_after_short_reads", "fault short 40 read 30\nfault short 40 read 31",
     GOLDEN_CALL(wait_for_cmd_ready(fd, 1))},
    {"never_ready_verbose", "status 0 0xb1", GOLDEN_CALL(wait_for_cmd_ready(fd, 1))},
    {"never_ready_quiet", "status 0 0xb1\nfault short 40 read 30 count 3",
     GOLDEN_CALL(wait_for_cmd_ready(fd, 0))},
    // The accept poll: the first complete status decides on byte 5 alone.
    {"accepted_while_busy",
     "status 0 0xb1\nstatus 12 0x11 0x22",
     GOLDEN_CALL(wait_for_cmd_accept(fd, 1)),
     {},
     after_values_unknown},
    {"refused_on_byte5", "status 5 0x02\nstatus 12 0x11 0x22",
     GOLDEN_CALL(wait_for_cmd_accept(fd, 0))},
    {"accept_after_short_read",
     "fault short 40 read 30\nfault short 40 read 31\nstatus 12 0x11 0x22",
     GOLDEN_CALL(wait_for_cmd_accept(fd, 1))},
    {"accept_never_complete",
     "status 12 0x11 0x22\nfault short 40 read 13 count 15",
     GOLDEN_CALL(wait_for_cmd_accept(fd, 0)),
     {},
     after_values_unknown},
    {"clear_status", "", GOLDEN_CALL(clear_status(fd, 1))},
    {"clear_status_fails", "fault fail 40 write", GOLDEN_CALL(clear_status(fd, 1))},
    // A TFB is taken when bytes 12 and 13 both changed; a BBU in
    // flash-program mode with no record in hand takes nothing, so each
    // re-send looks lost again.
    {"tfb_taken", "status 4 0x02", TFB_CHECK(0, 1, 1, 2, 2)},
    {"tfb_byte13_unchanged", "status 4 0x02\nstatus 12 0x02 0x01", TFB_CHECK(0, 1, 1, 2, 1)},
    // A pause of a second and more: 1234 ms.
    {"tfb_byte12_unchanged_with_delay", "status 4 0x02\nstatus 12 0x01 0x02",
     TFB_CHECK(1, 1, 1, 1, 2, 1234)},
    // A re-send that carries nothing goes on; the frame re-sent is the buffer's.
    {"tfb_resend_fails",
     "status 4 0x02\nstatus 12 0x01 0x01\n"
     "fault short 40 write 0 count 3\nfault fail 40 write count 3 skip 3",
     TFB_CHECK(0, 1, 1, 1, 1, 0, 0x70)},
    {"tfb_resend_check_fails", "status 4 0x02\nbusy-polls 0\nfault error-bits 4 80 on 8f",
     TFB_CHECK(0, 1, 1, 1, 1)},
    // A block re-sent while the BBU reports a checksum error; one that carries
    // nothing is not traced as failed.
    {"sarx_clean_at_once", "status 4 0x02", SARX(1)},
    {"sarx_checksum_error_every_time", "status 4 0x02\nfault block-checksum 0 count 3", SARX(0)},
    {"sarx_write_fails", "status 4 0x02\nfault short 60 write 0\nfault fail 60 write skip 1",
     SARX(0)},
    {"sarx_other_error", "status 4 0x02\nstatus 6 0x40", SARX(0)},
};

GOLDEN_TABLE(handshake, kRows)

}  // namespace
