// decode.cpp - bbuctl decode: a record file written by battsnap -f, read
// without a BBU. It prints battsnap's own report of the record (the same
// code prints both), or every field by name as JSON. Nothing is opened but
// the file, and nothing is traced.
#include "invocation.h"

#include "capture_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace bbuctl {

namespace {

// The record's byte-by-byte views by field name, one name per byte.
constexpr const char *kGeneralStatusFields[] = {
    "status1",        "status1ChkSum", "status2",         "status3",         "status4",
    "status5",        "status6",       "status7",         "seconds0",        "seconds1",
    "seconds2",       "seconds3",      "rsvd0C",          "rsvd0D",          "stateLED",
    "dataInCacheLED", "statusTCBLA0",  "statusTCBLA1",    "numStrings",      "cmdInProgress",
    "avgTemp0",       "avgTemp1",      "capacityPeriod0", "capacityPeriod1", "BkupDischgCur0",
    "BkupDischgCur1", "FETsenseA0",    "FETsenseA1",      "A_D_TestPoint0",  "A_D_TestPoint1",
    "version",        "sub_version",   "GenStatChkSum"};
constexpr const char *kStringStatusFields[] = {
    "status00",   "status01",   "fault_code",  "status03",      "deltaVChrg0",   "deltaVChrg1",
    "seconds0",   "seconds1",   "seconds2",    "seconds3",      "capacity0",     "capacity1",
    "capacity2",  "capacity3",  "vBatA0",      "vBatA1",        "iCHG0",         "iCHG1",
    "iCTL0",      "iCTL1",      "thermistor0", "thermistor1",   "tempAccum0",    "tempAccum1",
    "tempAccum2", "tempAccum3", "tempAccumCt", "daysSinceChrg", "tstDiscrgCur0", "tstDiscrgCur1",
    "vTest0",     "vTest1"};
static_assert(std::size(kGeneralStatusFields) == sizeof(BbuGeneralStatus));
static_assert(std::size(kStringStatusFields) == sizeof(BbuStringStatus));

nlohmann::ordered_json bytesByName(const void *record, const char *const *names, std::size_t n)
{
    const auto *bytes = static_cast<const ui8 *>(record);
    nlohmann::ordered_json fields;
    for (std::size_t i = 0; i < n; ++i)
        fields[names[i]] = bytes[i];
    return fields;
}

template <std::size_t N>
std::vector<ui8> row(const ui8 (&values)[N])
{
    return {values, values + N};
}

template <std::size_t N>
std::vector<std::vector<ui8>> rows(const ui8 (&values)[3][N])
{
    return {row(values[0]), row(values[1]), row(values[2])};
}

void printJson(const bbuStateSave &ss, int strings)
{
    const StateInfo &state = ss.stateSaveInfo.state;
    nlohmann::ordered_json doc;
    doc["strings"] = strings;
    doc["stateSaveInfo"] = {
        {"stack", row(ss.stateSaveInfo.stack)},   {"battNbr", state.battNbr},
        {"current", row(state.current)},          {"previous", rows(state.previous)},
        {"history", rows(state.history)},         {"changeReason", row(state.changeReason)},
        {"bbuErrorCode", row(state.bbuErrorCode)}};
    doc["generalStatus"] =
        bytesByName(&ss.generalStatus, kGeneralStatusFields, std::size(kGeneralStatusFields));
    doc["batteryStringStatus"] = nlohmann::ordered_json::array();
    for (int i = 0; i < strings; ++i)
        doc["batteryStringStatus"].push_back(bytesByName(
            &ss.batteryStringStatus[i], kStringStatusFields, std::size(kStringStatusFields)));
    std::printf("%s\n", doc.dump(2).c_str());
}

// Reads the record file into ss. The number of strings (1 to 3), or 0 after
// a message.
int readRecord(const std::string &path, bbuStateSave &ss)
{
    // Non-blocking, so a FIFO without a writer is refused rather than waited for.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        message("decode: cannot open %s: %s", path.c_str(), std::strerror(errno));
        return 0;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        message("decode: %s is not a regular file", path.c_str());
        close(fd);
        return 0;
    }
    // One byte more than the largest record tells a longer file apart.
    char bytes[sizeof ss + 1];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = read(fd, bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            message("decode: cannot read %s: %s", path.c_str(), std::strerror(errno));
            close(fd);
            return 0;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    for (int strings = 1; strings <= 3; ++strings) {
        if (got == recordFileSize(strings)) {
            std::memcpy(&ss, bytes, got);
            return strings;
        }
    }
    message("decode: %s is not a record file: %s bytes, not 145, 177 or 209 (1, 2 or 3 battery "
            "strings)",
            path.c_str(), got == sizeof bytes ? "more than 209" : std::to_string(got).c_str());
    return 0;
}

int runDecode(int argc, char **argv)
{
    bool json = false;
    const option extra[] = {{"json", no_argument, nullptr, 'j'}};
    std::vector<std::string> operands =
        parseOptions(decodeCommand, argc, argv, extra, [&](int, const char *) { json = true; });
    if (operands.size() != 1)
        usageError(&decodeCommand, "%s",
                   operands.empty() ? "no record file given" : "decode takes one record file");

    bbuStateSave ss{};
    const int strings = readRecord(operands[0], ss);
    if (strings == 0)
        return EXIT_FAILED;
    if (json)
        printJson(ss, strings);
    else
        printBBUstatesave(ss, strings);
    return EXIT_OK;
}

}  // namespace

const Command decodeCommand = {
    "decode",
    runDecode,
    {{"decode FILE [--json]", "a battsnap record file's report, without a BBU"}},
    "Decode a record file that battsnap wrote: its size, 145, 177 or 209 bytes,\n"
    "gives the number of battery strings (1, 2 or 3). Prints the report battsnap\n"
    "prints for the same capture, byte for byte. Needs no BBU and writes no trace.\n"
    "\n"
    "  --json  one JSON document with every field of the record by name\n",
};

}  // namespace bbuctl
