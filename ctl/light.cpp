// light.cpp - bbuctl light: the BBU's service/fault light, read and set.
#include "invocation.h"

#include <bbu/bbu.h>

#include <cstdio>

namespace bbuctl {

namespace {

constexpr unsigned long MAX_LIGHT = 15;  // a 4-bit code

// What to do when the light shows something else than asked.
const char *lightAdvice(const bbu_checked_result &r)
{
    return r.holds == BBU_HOLDS_OLD_VALUE || r.holds == BBU_HOLDS_OTHER_VALUE
               ? "run 'bbuctl light set' again"
               : nullptr;
}

int runLight(int argc, char **argv)
{
    std::vector<std::string> operands = parseOptions(lightCommand, argc, argv);
    bbu_checked_result result{};
    if (operands.empty()) {
        int light = 0;
        const char *const what = "light";
        {
            BusSession bus(what);
            bbu_checked_read_light(bus.fd(), &light, &result, settings.verbose);
        }
        sayImageState(what, result);
        if (result.ok == 0)
            return reportFailure(what, result, false);
        std::printf("service fault light: %d\n", light);
        return EXIT_OK;
    }

    unsigned long value = 0;
    if (operands[0] != "set" || operands.size() != 2)
        usageError(&lightCommand, "expected 'light' or 'light set N'");
    if (!parseNumber(operands[1].c_str(), MAX_LIGHT, value))
        usageError(&lightCommand, "the light value must be a number from 0 to 15, not '%s'",
                   operands[1].c_str());
    confirm(lightCommand, "set the service fault light to " + operands[1]);
    const char *const what = "light set";
    {
        BusSession bus(what);
        bbu_checked_set_light(bus.fd(), static_cast<int>(value), &result, settings.verbose);
    }
    sayImageState(what, result);
    if (result.ok == 0) {
        const std::string shows =
            result.after >= 0 ? "it shows " + std::to_string(result.after) : std::string();
        return reportFailure(what, result, true, "", result.why == BBU_WHY_MISMATCH ? shows : "",
                             lightAdvice(result));
    }
    std::printf("service fault light %d -> %d\n", result.before, result.after);
    return EXIT_OK;
}

}  // namespace

const Command lightCommand = {
    "light",
    runLight,
    {{"light", "show the service/fault light (0 to 15)"},
     {"light set N", "set the service/fault light to N and read it back"}},
    "Show the service/fault light, the low nibble of general status byte 14, read\n"
    "from a whole status with a correct check byte; or command a new value N (0 to\n"
    "15, decimal or 0x hex), see the BBU accept it and read it back, and print the\n"
    "change (\"service fault light 0 -> 3\"); a value the BBU does not show\n"
    "afterwards is a failure. 'light set' asks first.\n",
};

}  // namespace bbuctl
