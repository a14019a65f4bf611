// The resets of the BBU: the soft reset command with its power-up poll, the
// hard reset through alarm 1 of the BBU's real-time clock, and the opening
// status check that resets a BBU left in flash-program mode.
#include <bbu/bbu.h>

#include "library_internal.h"

#include <array>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

constexpr int RESET_POLLS = 30;
constexpr unsigned RESET_POLL_SECONDS = 1;
constexpr unsigned ALARM_SECONDS = 2;
constexpr unsigned RESTART_SECONDS = 30;

constexpr unsigned char NO_ALARM_FLAGS = 0x00;

struct ClockStep {
    const char *announce;  // traced; printed with a newline when verbose
    std::array<unsigned char, 5> bytes;
    int length;
    const char *returned;  // "<step> return %d\n"
    const char *failure;   // traced; printed with a newline whatever verbose
};

constexpr std::array<ClockStep, 4> HARD_RESET_STEPS{{
    {"Setting Alarm 1",
     {ALARM1_REG, MATCH_EVERY_SECOND, MATCH_EVERY_SECOND, MATCH_EVERY_SECOND, MATCH_EVERY_SECOND},
     5,
     "Set Alarm 1 return %d\n",
     "Set Alarm 1 does not return 5"},
    {"Enable Alarm 1",
     {CONTROL_REG, ALARM1_ENABLED},
     2,
     "Enable Alarm 1 return %d\n",
     "Enable Alarm 1 does not return 2"},
    {"Disable Alarm 1",
     {CONTROL_REG, ALARM1_DISABLED},
     2,
     "Disable Alarm 1 return %d\n",
     "Disable Alarm 1 does not return 2"},
    {"Clear the alarm flags",
     {STATUS_REG, NO_ALARM_FLAGS},
     2,
     "Clear the alarm flags return %d\n",
     "Clear Alarm Flags does not return 2"},
}};

constexpr std::size_t ALARM_WAIT_AFTER_STEP = 1;  // the alarm runs after it is enabled

// A step of the hard reset: traced as it is, and printed with a newline when
// asked.
void announce(int show, const char *text)
{
    LogTrace("%s", text);
    if (show != 0)
        std::printf("%s\n", text);
}

GENERAL_STATUS status_of(const sarbuf_t &buffer)
{
    GENERAL_STATUS gss;
    std::memcpy(&gss, buffer.buffer, sizeof gss);
    return gss;
}

}  // namespace

void reset_bbu(int i2c_fd, int verbose)
{
    std::array<char, 256> frame{'\x8A', '\x8A'};
    do_i2c_write(i2c_fd, BBU_SAR_ADDR, 2, frame.data(), verbose);
    sleep(RESET_POLL_SECONDS);

    for (int budget = RESET_POLLS; budget > 0; --budget) {
        sarbuf_t buffer{};
        read_and_print_status(i2c_fd, "reset test", &buffer, verbose);
        const GENERAL_STATUS gss = status_of(buffer);
        // Powered up again, and a status that is not noise.
        if (gss.byte02.BIT.power_up != 0 && gss.byte00.BIT.non_zero != 0 &&
            (gss.byte00.BYTE ^ gss.Invertbyte00) == 0xFF)
            return;
        trace_and_show(stdout, verbose != 0, "reset waiting retries remaining = %i\n", budget);
        sleep(RESET_POLL_SECONDS);
    }
}

int processor_reset_bbu(int fd, int verbose)
{
    LogTrace("*** Hard Reset Start ***");
    for (std::size_t i = 0; i < HARD_RESET_STEPS.size(); ++i) {
        const ClockStep &step = HARD_RESET_STEPS[i];
        // The first step is printed before it is traced, the others after.
        if (i == 0 && verbose != 0)
            std::printf("%s\n", step.announce);
        announce(i == 0 ? 0 : verbose, step.announce);

        const int rc = do_i2c_write(fd, BBU_RTC_ADDR, step.length,
                                    reinterpret_cast<const char *>(step.bytes.data()), verbose);
        trace_and_show(stdout, verbose != 0, step.returned, rc);
        if (rc != step.length) {
            announce(1, step.failure);
            return BBU_HARD_RESET_FAILED;
        }
        if (i == ALARM_WAIT_AFTER_STEP) {
            announce(verbose, "Wait for 2 seconds for the alarm to reset the BBU processor");
            sleep(ALARM_SECONDS);
        }
    }
    LogTrace("*** Hard Reset End ***");
    announce(verbose, "Wait for 30 seconds for processor to reset");
    sleep(RESTART_SECONDS);
    return 0;
}

int get_BBU_status(int fd, int verbose)
{
    sarbuf_t buffer{};
    read_and_print_status_with_retry(1, fd, "initial status", &buffer, verbose);
    // With verbose the read has shown this dump already.
    if (verbose == 0)
        print_buffer("initial status", buffer.buffer, BBU_STATUS_DISPLAY_LEN);

    const GENERAL_STATUS gss = status_of(buffer);
    if (gss.byte04.BIT.operation_mode != 0) {
        trace_and_show(stdout, true, "BBU was left in Flash_Program Mode\n");
        std::printf("Perform soft reset\n");
        LogTrace("Perform soft reset");
        reset_bbu(fd, verbose);
        LogTrace("Wait for 5 seconds after soft reset");
        sleep(SOFT_RESET_SETTLE_SECONDS);
    }
    return gss.byte00.BIT.non_zero;
}
