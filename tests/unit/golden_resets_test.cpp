// The soft reset's power-up poll, the hard reset's four clock writes and
// their failures, and the opening status check, as whole sessions.
#include <bbu/bbu.h>

#include "golden.h"

namespace {

const golden::Row kRows[] = {
    {"soft_power_up_at_first_poll", "reset-polls 0", GOLDEN_CALL(reset_bbu(fd, 1))},
    {"soft_power_up_after_three_polls", "reset-polls 3", GOLDEN_CALL(reset_bbu(fd, 1))},
    {"soft_never_powers_up", "reset-polls never", GOLDEN_CALL(reset_bbu(fd, 0))},
    // power_up and non_zero, but byte 1 is not byte 0's complement.
    {"soft_complement_wrong", "reset-polls 0\nstatus 1 0x00", GOLDEN_CALL(reset_bbu(fd, 0))},
    {"hard_all_steps", "", GOLDEN_CALL(processor_reset_bbu(fd, 1))},
    {"hard_all_steps_quiet", "", GOLDEN_CALL(processor_reset_bbu(fd, 0))},
    {"hard_set_alarm_short", "fault short 68 write 3", GOLDEN_CALL(processor_reset_bbu(fd, 0))},
    {"hard_enable_fails", "fault fail 68 write skip 1", GOLDEN_CALL(processor_reset_bbu(fd, 0))},
    {"hard_disable_fails", "fault fail 68 write skip 2", GOLDEN_CALL(processor_reset_bbu(fd, 1))},
    {"hard_clear_fails", "fault fail 68 write skip 3", GOLDEN_CALL(processor_reset_bbu(fd, 0))},
    {"status_flash_mode", "status 4 0x02\nreset-polls 0", GOLDEN_CALL(get_BBU_status(fd, 0))},
    {"status_flash_mode_verbose", "status 4 0x02\nreset-polls 1",
     GOLDEN_CALL(get_BBU_status(fd, 1))},
    {"status_verbose", "", GOLDEN_CALL(get_BBU_status(fd, 1))},
    {"status_read_fails", "fault fail 40 read count 3", GOLDEN_CALL(get_BBU_status(fd, 0))},
};

GOLDEN_TABLE(resets, kRows)

}  // namespace
