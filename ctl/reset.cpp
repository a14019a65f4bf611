// reset.cpp - bbuctl reset: the BBU's soft reset (its reset command and the
// wait for its power-up) and hard reset (through its real-time clock).
#include "invocation.h"

#include <bbu/bbu.h>

namespace bbuctl {

namespace {

int runReset(int argc, char **argv)
{
    std::vector<std::string> operands = parseOptions(resetCommand, argc, argv);
    const bool hard = operands.size() == 1 && operands[0] == "hard";
    if (operands.size() != 1 || !(hard || operands[0] == "soft"))
        usageError(&resetCommand, "expected 'reset soft' or 'reset hard'");
    confirm(resetCommand, hard ? "hard-reset the BBU's processor through its real-time clock"
                               : "soft-reset the BBU");

    int rc = 0;
    {
        BusSession bus(resetCommand);
        if (hard)
            rc = processor_reset_bbu(bus.fd(), settings.verbose);
        else
            reset_bbu(bus.fd(), settings.verbose);
    }
    if (rc != 0) {
        message("reset hard: the real-time clock did not take the alarm (result %d)", rc);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace

const Command resetCommand = {
    "reset",
    runReset,
    {{"reset soft|hard", "reset the BBU: its reset command, or its processor"}},
    "'reset soft' sends the BBU its reset command and polls its status once a second,\n"
    "up to 30 times, until it shows it has powered up again (the library does not\n"
    "report a BBU that never does). 'reset hard' resets the BBU's processor through\n"
    "alarm 1 of its real-time clock at 0x68 and waits 32 seconds; it fails when the\n"
    "clock does not take a write. Both ask first.\n",
};

}  // namespace bbuctl
