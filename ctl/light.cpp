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

int readLight()
{
    int light = 0;
    const char *const what = "light";
    bbu_checked_result result{};
    {
        BusSession bus(what);
        bbu_checked_read_light(bus.fd(), &light, &result, settings.verbose);
    }
    sayImageState(what, result);
    if (result.ok == 0)
        return reportFailure(what, result, false);
    if (jsonOutput())
        document()["light"] = light;
    else
        std::printf("service fault light: %d\n", light);
    return EXIT_OK;
}

// light set N --check: the light read, nothing sent.
int checkLight(int value)
{
    const char *const what = "light set";
    bbu_checked_result result{};
    {
        BusSession bus(what);
        bbu_checked_read_light(bus.fd(), nullptr, &result, settings.verbose);
    }
    sayImageState(what, result);
    if (result.ok == 0)
        return reportFailure(what, result, false);
    const bool change = result.before != value;
    setCheck(change);
    if (jsonOutput()) {
        document()["before"] = result.before;
        document()["after"] = value;
    } else if (change) {
        std::printf("service fault light %d -> %d (check: nothing sent)\n", result.before, value);
    } else {
        std::printf("service fault light %d: already set (check: nothing sent)\n", value);
    }
    return EXIT_OK;
}

int setLight(const std::string &operand, bool check)
{
    unsigned long value = 0;
    if (!parseNumber(operand.c_str(), MAX_LIGHT, value))
        usageError(&lightCommand, "the light value must be a number from 0 to 15, not '%s'",
                   operand.c_str());
    if (check)
        return checkLight(static_cast<int>(value));
    confirm(lightCommand, "set the service fault light to " + operand);
    const char *const what = "light set";
    bbu_checked_result result{};
    {
        BusSession bus(what);
        bbu_checked_set_light(bus.fd(), static_cast<int>(value), &result, settings.verbose);
    }
    setChanged(result.changed != 0);
    if (jsonOutput()) {
        document()["before"] = result.before >= 0 ? nlohmann::ordered_json(result.before) : nullptr;
        document()["after"] = result.after >= 0 ? nlohmann::ordered_json(result.after) : nullptr;
    }
    sayImageState(what, result);
    if (result.ok == 0) {
        const std::string shows =
            result.after >= 0 ? "it shows " + std::to_string(result.after) : std::string();
        return reportFailure(what, result, true, "", result.why == BBU_WHY_MISMATCH ? shows : "",
                             lightAdvice(result));
    }
    const std::string evidence = verified(result);
    if (jsonOutput())
        return EXIT_OK;
    if (result.changed == 0)
        std::printf("service fault light %d: already set, nothing sent (verified: %s)\n",
                    result.after, evidence.c_str());
    else
        std::printf("service fault light %d -> %d (verified: %s)\n", result.before, result.after,
                    evidence.c_str());
    return EXIT_OK;
}

int runLight(int argc, char **argv)
{
    bool check = false;
    const option extra[] = {{"check", no_argument, nullptr, LONG_ONLY}};
    std::vector<std::string> operands =
        parseOptions(lightCommand, argc, argv, extra, [&](int, const char *) { check = true; });
    if (operands.empty() && !check)
        return readLight();
    if (operands.size() != 2 || operands[0] != "set")
        usageError(&lightCommand, "expected 'light' or 'light set N [--check]'");
    setForm("light set", true);
    return setLight(operands[1], check);
}

}  // namespace

const Command lightCommand = {
    "light",
    runLight,
    {{"light", "show the service/fault light (0 to 15)"},
     {"light set N [--check]", "set the service/fault light to N and read it back", true}},
    "Show the service/fault light, the low nibble of general status byte 14, read\n"
    "from a whole status with a correct check byte; or command a new value N (0 to\n"
    "15, decimal or 0x hex), see the BBU accept it and read it back, and print the\n"
    "change (\"service fault light 0 -> 3\"); a value the BBU does not show\n"
    "afterwards is a failure. A light that already shows N is left alone. 'light\n"
    "set' asks first.\n"
    "\n"
    "  --check  with 'light set': read the light and say what would change; send\n"
    "           nothing\n",
    false,
};

}  // namespace bbuctl
