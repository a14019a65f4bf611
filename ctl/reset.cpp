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
    const char *what = hard ? "reset hard" : "reset soft";
    setForm(what, true);
    confirm(resetCommand, hard ? "hard-reset the BBU's processor through its real-time clock"
                               : "soft-reset the BBU");

    bbu_checked_result result{};
    {
        BusSession bus(what);
        if (hard)
            bbu_checked_hard_reset(bus.fd(), Progress::report, &bus.progress(), &result,
                                   settings.verbose);
        else
            bbu_checked_soft_reset(bus.fd(), Progress::report, &bus.progress(), &result,
                                   settings.verbose);
    }
    setChanged(result.changed != 0);
    // Not verifiable: neither true nor false.
    document()["restarted"] = result.holds == BBU_HOLDS_NOT_VERIFIABLE
                                  ? nlohmann::ordered_json(nullptr)
                                  : nlohmann::ordered_json(result.holds == BBU_HOLDS_RESTARTED);
    sayImageState(what, result);
    if (result.holds == BBU_HOLDS_NOT_VERIFIABLE)
        return unverified("power_up was set before the reset and clear-status did not clear it");
    if (result.ok == 0) {
        const char *advice = nullptr;
        if (result.holds == BBU_HOLDS_NOT_RESTARTED)
            advice =
                hard ? "check the BBU's power and its clock at 0x68" : "try 'bbuctl reset hard'";
        return reportFailure(what, result, true, "", "", advice);
    }
    const std::string evidence = verified(result);
    if (!jsonOutput())
        std::printf("the BBU restarted after a %s reset (verified: %s)\n", hard ? "hard" : "soft",
                    evidence.c_str());
    return EXIT_OK;
}

}  // namespace

const Command resetCommand = {
    "reset",
    runReset,
    {{"reset soft|hard", "reset the BBU: its reset command, or its processor"}},
    "'reset soft' clears the BBU's status, sends it its reset command and polls its\n"
    "status once a second, up to 30 times, until it shows that it has powered up\n"
    "again. 'reset hard' resets the BBU's processor through alarm 1 of its\n"
    "real-time clock at 0x68, reads the alarm back disarmed, waits 32 seconds and\n"
    "sees the BBU's power-up. A restart counts only as power_up seen clear, then\n"
    "set: when it stays set from before and clear-status does not clear it, the\n"
    "reset ends \"reset sent, restart not verifiable\" with exit status 3. On a\n"
    "terminal the waits count down. Both ask first.\n",
    true,
};

}  // namespace bbuctl
