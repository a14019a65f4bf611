// The handshake of the flash load as whole sessions: the ready and accept
// polls, the clear-status command, the re-sends of a lost Take_Flash_Block
// and of a block the BBU received with a bad checksum.
#include <bbu/bbu.h>

#include <cstring>

#include "golden.h"

namespace {

// The TFB frame in the load's command buffer, and the status bytes 12 and 13
// seen before it and after it.
void tfb_seen(golden::Call &call, char before12, char before13, char after12, char after13)
{
    call.buf[0] = call.buf[1] = 0x8F;
    byte12_beforeTFB = before12;
    byte13_beforeTFB = before13;
    byte12_afterTFB = after12;
    byte13_afterTFB = after13;
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

const golden::Row kRows[] = {
    // The ready poll: the first complete status without a command in progress.
    {"ready_at_once", "", GOLDEN_CALL(wait_for_cmd_ready(fd, 1))},
    {"ready_after_short_reads", "fault short 40 read 13 count 2",
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
    {"accept_after_short_read", "fault short 40 read 10\nstatus 12 0x11 0x22",
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
    {"tfb_taken",
     "status 4 0x02",
     GOLDEN_CALL(check_and_retryTFB(fd, cbuf, 0)),
     {},
     [](golden::Call &call) {
         tfb_seen(call, 1, 1, 2, 2);
     }},
    {"tfb_byte13_unchanged",
     "status 4 0x02\nstatus 12 0x02 0x01",
     GOLDEN_CALL(check_and_retryTFB(fd, cbuf, 0)),
     {},
     [](golden::Call &call) {
         tfb_seen(call, 1, 1, 2, 1);
     }},
    {"tfb_byte12_unchanged_with_delay",
     "status 4 0x02\nstatus 12 0x01 0x02",
     GOLDEN_CALL(check_and_retryTFB(fd, cbuf, 1)),
     {},
     [](golden::Call &call) {
         tfb_seen(call, 1, 1, 1, 2);
         TFB_delay = 1;
         TFB_delaytime = 20;
     }},
    {"tfb_resend_fails",
     "status 4 0x02\nfault fail 40 write count 3",
     GOLDEN_CALL(check_and_retryTFB(fd, cbuf, 0)),
     {},
     [](golden::Call &call) {
         tfb_seen(call, 1, 1, 1, 1);
     }},
    {"tfb_resend_check_fails",
     "status 4 0x02\nbusy-polls 0\nfault error-bits 4 80 on 8f",
     GOLDEN_CALL(check_and_retryTFB(fd, cbuf, 0)),
     {},
     [](golden::Call &call) {
         tfb_seen(call, 1, 1, 1, 1);
     }},
    // A block re-sent while the BBU reports a checksum error.
    {"sarx_clean_at_once",
     "status 4 0x02",
     GOLDEN_CALL(rewriteToSARX(fd, 134, cbuf, 1)),
     {},
     block_record},
    {"sarx_checksum_error_every_time",
     "status 4 0x02\nfault block-checksum 0 count 3",
     GOLDEN_CALL(rewriteToSARX(fd, 134, cbuf, 0)),
     {},
     block_record},
    {"sarx_write_fails",
     "status 4 0x02\nfault fail 60 write",
     GOLDEN_CALL(rewriteToSARX(fd, 134, cbuf, 0)),
     {},
     block_record},
    {"sarx_other_error",
     "status 4 0x02\nstatus 6 0x40",
     GOLDEN_CALL(rewriteToSARX(fd, 134, cbuf, 0)),
     {},
     block_record},
};

GOLDEN_TABLE(handshake, kRows)

}  // namespace
