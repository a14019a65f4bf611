// status.cpp - bbuctl status: the BBU's general status decoded, as text, as
// JSON or in the Prometheus text exposition format.
//
// It only reads: one checked status read (the whole 33 bytes from 0x40 with
// a correct check byte, read once more when it is wrong), never the opening
// status check that soft-resets a BBU left in flash-program mode.
#include "invocation.h"

#include <bbu/bbu.h>
#include <bbu/status_bits.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace bbuctl {

namespace {

using StatusBit = bbu_status::Bit;

// The bits that describe the BBU's state, and the error bits the library's
// checked read checks: byte 4 read as flash-load error flags, byte 5 (what the
// BBU last received), byte 6 (the flash).
constexpr auto kFlags = bbu_status::bits_of<bbu_status::Role::state>();
constexpr auto kErrorBits = bbu_status::bits_of<bbu_status::Role::error>();

// A number of the general status. `metric` names its Prometheus gauge (none
// when null), whose value is the number times `scale`.
struct StatusValue {
    const char *key;    // JSON key
    const char *label;  // text label
    const char *unit;   // text unit, "" for none
    std::uint32_t (*get)(const GENERAL_STATUS &);
    const char *metric;
    std::uint32_t scale;
    const char *metricHelp;
};

constexpr StatusValue kValues[] = {
    {"elapsed_time_seconds", "elapsed time", " s",
     [](const GENERAL_STATUS &g) { return bbu_be32_value(g.elapsed_time); },
     "bbu_elapsed_time_seconds", 1, "Elapsed time the BBU counts, in seconds."},
    {"average_temperature_celsius", "average temperature", " C",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return bbu_be16_value(g.avg_temp_all); },
     "bbu_average_temperature_celsius", 1,
     "Average temperature of the battery strings, in degrees Celsius."},
    {"capacity_period_hours", "capacity period", " h",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return bbu_be16_value(g.BBU_Capacity_Period); },
     "bbu_capacity_period_seconds", 3600,
     "Capacity period, in seconds (the BBU reports it in whole hours)."},
    {"battery_strings", "battery strings", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return g.byte12.BIT.num_strings; },
     "bbu_battery_strings", 1, "Number of battery strings the BBU reports."},
    {"charging_state_light", "charging state light", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return g.byte0E.BIT.ChargingStateLED; },
     "bbu_charging_state_light", 1, "Charging-state light, the BBU's 4-bit code (0 to 15)."},
    {"service_fault_light", "service fault light", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return g.byte0E.BIT.ServiceFaultLED; },
     "bbu_service_fault_light", 1, "Service/fault light, the BBU's 4-bit code (0 to 15)."},
    {"data_in_cache_light", "data in cache light", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return g.byte0F.BIT.DataInCacheLED; }, nullptr,
     1, nullptr},
    {"tcbla", "TCBLA", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return bbu_be16_value(g.TCBLA); }, nullptr, 1,
     nullptr},
    {"command_in_progress_code", "command in progress", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return g.Command_in_progress; }, nullptr, 1,
     nullptr},
    {"backup_discharge_current", "backup discharge current", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t {
         return bbu_be16_value(g.Backup_Discharge_Current);
     },
     nullptr, 1, nullptr},
    {"fet_sense_a", "FET sense A", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return bbu_be16_value(g.FET_Sense_A); },
     nullptr, 1, nullptr},
    {"ad_testpoint", "A/D test point", "",
     [](const GENERAL_STATUS &g) -> std::uint32_t { return bbu_be16_value(g.AD_Testpoint); },
     nullptr, 1, nullptr},
};

enum class Format { text, json, prometheus };

bool isSet(const std::uint8_t *gss, const StatusBit &bit)
{
    return (gss[bit.byte] & bit.mask) != 0;
}

// The firmware version as every text shows it: both bytes in hex, "05.12".
std::string firmwareText(const GENERAL_STATUS &g)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x.%02x", g.version, g.sub_version);
    return text;
}

void printText(const GENERAL_STATUS &g, const std::uint8_t *gss)
{
    std::printf("firmware version: %s\n", firmwareText(g).c_str());
    for (const StatusValue &v : kValues)
        std::printf("%s: %u%s\n", v.label, v.get(g), v.unit);
    std::string flags, errors;
    for (const StatusBit &bit : kFlags)
        if (isSet(gss, bit))
            flags += std::string(" ") + bit.name;
    for (const StatusBit &bit : kErrorBits)
        if (isSet(gss, bit))
            errors += std::string(" ") + bit.name;
    std::printf("flags:%s\n", flags.empty() ? " none" : flags.c_str());
    std::printf("error bits:%s\n", errors.empty() ? " none" : errors.c_str());
    if (const char *state = imageStateText(imageState(gss)))
        std::printf("%s: %s\n", state, kFlashAgain);
}

void fillDocument(const GENERAL_STATUS &g, const std::uint8_t *gss)
{
    nlohmann::ordered_json &doc = document();
    doc["firmware"] = firmwareText(g);
    doc["firmware_version"] = g.version;
    doc["firmware_sub_version"] = g.sub_version;
    doc["image"] = imageStateName(imageState(gss));
    for (const StatusValue &v : kValues)
        doc[v.key] = v.get(g);
    for (const StatusBit &bit : kFlags)
        doc["flags"][bit.name] = isSet(gss, bit);
    bool anyError = false;
    for (const StatusBit &bit : kErrorBits) {
        doc["error_bits"][bit.name] = isSet(gss, bit);
        anyError = anyError || isSet(gss, bit);
    }
    doc["errors"] = anyError;
    doc["bytes"] = std::vector<std::uint8_t>(gss, gss + BBU_GSS_READ_LEN);
}

void printMetricHead(const char *name, const char *help)
{
    std::printf("# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

void printReadSuccess(int ok)
{
    printMetricHead("bbu_status_read_success",
                    "1 when the general status was read whole with a correct check byte, "
                    "0 when not.");
    std::printf("bbu_status_read_success %d\n", ok);
}

void printPrometheus(const GENERAL_STATUS &g, const std::uint8_t *gss)
{
    printReadSuccess(1);
    printMetricHead("bbu_firmware_info",
                    "Always 1; the BBU's firmware version and sub-version, in hex, as labels.");
    std::printf("bbu_firmware_info{version=\"%02x\",sub_version=\"%02x\"} 1\n", g.version,
                g.sub_version);
    for (const StatusValue &v : kValues) {
        if (v.metric == nullptr)
            continue;
        printMetricHead(v.metric, v.metricHelp);
        std::printf("%s %llu\n", v.metric, static_cast<unsigned long long>(v.get(g)) * v.scale);
    }
    printMetricHead("bbu_status_flag", "Named bits of the general status (1 set, 0 clear).");
    for (const StatusBit &bit : kFlags)
        std::printf("bbu_status_flag{byte=\"%d\",name=\"%s\"} %d\n", bit.byte, bit.name,
                    isSet(gss, bit) ? 1 : 0);
    printMetricHead("bbu_error_bit", "Error bits of the general status (1 set, 0 clear).");
    for (const StatusBit &bit : kErrorBits)
        std::printf("bbu_error_bit{byte=\"%d\",name=\"%s\"} %d\n", bit.byte, bit.name,
                    isSet(gss, bit) ? 1 : 0);
}

// The exposition of a status that was not read, whatever kept it from being
// read (the adapter, its lock, the read, a usage error): a stale or empty
// file is never taken for a healthy BBU.
void printReadFailure()
{
    printReadSuccess(0);
}

int runStatus(int argc, char **argv)
{
    // Seen before the options are parsed, so that a usage error among them
    // writes it too; with --json, the document is the output.
    if (givenBeforeParsing(argc, argv, "--prometheus") && !jsonOutput())
        setFailureOutput(printReadFailure);
    Format format = Format::text;
    const option extra[] = {{"prometheus", no_argument, nullptr, LONG_ONLY}};
    std::vector<std::string> operands = parseOptions(
        statusCommand, argc, argv, extra, [&](int, const char *) { format = Format::prometheus; });
    if (format == Format::prometheus && jsonOutput())
        usageError(&statusCommand, "--json and --prometheus exclude each other");
    if (jsonOutput())
        format = Format::json;
    if (!operands.empty())
        usageError(&statusCommand, "unexpected argument '%s'", operands[0].c_str());

    GENERAL_STATUS g{};
    bbu_checked_result result{};
    {
        BusSession bus("status");
        bbu_checked_read_status(bus.fd(), &g, &result, settings.verbose);
    }
    if (result.ok == 0)
        return reportFailure("status", result, false);

    const std::uint8_t *gss = result.status;
    switch (format) {
    case Format::text:
        printText(g, gss);
        break;
    case Format::json:
        fillDocument(g, gss);
        break;
    case Format::prometheus:
        printPrometheus(g, gss);
        break;
    }
    return EXIT_OK;
}

}  // namespace

const char *const kFlashAgain = "run 'bbuctl -y flash IMAGE' again to bring it back";

namespace {

// The image states by name, in the documents and in words.
struct ImageStateNames {
    ImageState state;
    const char *name;
    const char *text;
};
constexpr ImageStateNames kImageStates[] = {
    {ImageState::notInLoad, "not-in-load", nullptr},
    {ImageState::loadInProgress, "load-in-progress", "the BBU is in a half-finished firmware load"},
};

const ImageStateNames &namesOf(ImageState state)
{
    for (const ImageStateNames &names : kImageStates)
        if (names.state == state)
            return names;
    return kImageStates[0];
}

}  // namespace

ImageState imageState(const unsigned char *status)
{
    constexpr std::uint8_t OPERATION_MODE = bbu_status::mask_of(4, "operation_mode");
    return (status[4] & OPERATION_MODE) != 0 ? ImageState::loadInProgress : ImageState::notInLoad;
}

const char *imageStateText(ImageState state)
{
    return namesOf(state).text;
}

const char *imageStateName(ImageState state)
{
    return namesOf(state).name;
}

std::string errorBitNames(unsigned byte4, unsigned byte5, unsigned byte6)
{
    const std::uint8_t bytes[7] = {0,
                                   0,
                                   0,
                                   0,
                                   static_cast<std::uint8_t>(byte4),
                                   static_cast<std::uint8_t>(byte5),
                                   static_cast<std::uint8_t>(byte6)};
    std::string names;
    for (const StatusBit &bit : kErrorBits)
        if (isSet(bytes, bit))
            names += std::string(names.empty() ? "" : " ") + bit.name;
    return names;
}

const Command statusCommand = {
    "status",
    runStatus,
    {{"status [--json | --prometheus]", "the general status decoded, with its error bits"}},
    "Read the BBU's general status once, verify its check byte and show it decoded:\n"
    "firmware version, measurements, named flags and error bits. It only reads.\n"
    "\n"
    "  --json        one JSON document with every field by name (the firmware\n"
    "                version also as text, \"05.12\")\n"
    "  --prometheus  Prometheus text exposition format, for node_exporter's\n"
    "                textfile collector (bbu_status_read_success 0 when the read fails)\n",
    false,
};

}  // namespace bbuctl
