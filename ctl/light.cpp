// light.cpp - bbuctl light: the BBU's service/fault light, read and set.
#include "invocation.h"

#include <bbu/bbu.h>

#include <cstdio>

namespace bbuctl {

namespace {

constexpr unsigned long MAX_LIGHT = 15;  // a 4-bit code

int runLight(int argc, char **argv)
{
    std::vector<std::string> operands = parseOptions(lightCommand, argc, argv);
    if (operands.empty()) {
        int light = 0;
        {
            BusSession bus(lightCommand);
            light = get_light_status(bus.fd(), settings.verbose);
        }
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
    int rc = 0;
    {
        BusSession bus(lightCommand);
        rc = set_light(bus.fd(), static_cast<int>(value), settings.verbose);
    }
    if (rc != 0) {
        message("light set: the BBU does not show the light value %lu after the command", value);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace

const Command lightCommand = {
    "light",
    runLight,
    {{"light", "show the service/fault light (0 to 15)"},
     {"light set N", "set the service/fault light to N and read it back"}},
    "Show the service/fault light, the low nibble of general status byte 14, or\n"
    "command a new value N (0 to 15, decimal or 0x hex) and read it back; a value\n"
    "the BBU does not show afterwards is a failure. 'light set' asks first.\n",
};

}  // namespace bbuctl
