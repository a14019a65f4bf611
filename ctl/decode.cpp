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
// battsnap's record fields, in snake_case as in every bbuctl document.
constexpr const char *kGeneralStatusFields[] = {
    "status1",          "status1_chk_sum",  "status2",          "status3",
    "status4",          "status5",          "status6",          "status7",
    "seconds0",         "seconds1",         "seconds2",         "seconds3",
    "rsvd_0c",          "rsvd_0d",          "state_led",        "data_in_cache_led",
    "status_tcbla0",    "status_tcbla1",    "num_strings",      "cmd_in_progress",
    "avg_temp0",        "avg_temp1",        "capacity_period0", "capacity_period1",
    "bkup_dischg_cur0", "bkup_dischg_cur1", "fet_sense_a0",     "fet_sense_a1",
    "a_d_test_point0",  "a_d_test_point1",  "version",          "sub_version",
    "gen_stat_chk_sum"};
constexpr const char *kStringStatusFields[] = {
    "status00",      "status01",      "fault_code",      "status03",        "delta_v_chrg0",
    "delta_v_chrg1", "seconds0",      "seconds1",        "seconds2",        "seconds3",
    "capacity0",     "capacity1",     "capacity2",       "capacity3",       "v_bat_a0",
    "v_bat_a1",      "i_chg0",        "i_chg1",          "i_ctl0",          "i_ctl1",
    "thermistor0",   "thermistor1",   "temp_accum0",     "temp_accum1",     "temp_accum2",
    "temp_accum3",   "temp_accum_ct", "days_since_chrg", "tst_discrg_cur0", "tst_discrg_cur1",
    "v_test0",       "v_test1"};
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

void fillDocument(const bbuStateSave &ss, int strings)
{
    const StateInfo &state = ss.stateSaveInfo.state;
    nlohmann::ordered_json &doc = document();
    // The firmware version as bbuctl status shows it, beside its two bytes.
    char firmware[8];
    std::snprintf(firmware, sizeof firmware, "%02x.%02x", ss.generalStatus.version,
                  ss.generalStatus.sub_version);
    doc["strings"] = strings;
    doc["firmware"] = firmware;
    doc["state_save_info"] = {{"stack", row(ss.stateSaveInfo.stack)},
                              {"batt_nbr", state.battNbr},
                              {"current", row(state.current)},
                              {"previous", rows(state.previous)},
                              {"history", rows(state.history)},
                              {"change_reason", row(state.changeReason)},
                              {"bbu_error_code", row(state.bbuErrorCode)}};
    doc["general_status"] =
        bytesByName(&ss.generalStatus, kGeneralStatusFields, std::size(kGeneralStatusFields));
    doc["battery_string_status"] = nlohmann::ordered_json::array();
    for (int i = 0; i < strings; ++i)
        doc["battery_string_status"].push_back(bytesByName(
            &ss.batteryStringStatus[i], kStringStatusFields, std::size(kStringStatusFields)));
}

// Reads the record file into ss. The number of strings (1 to 3), or 0 after
// a message.
int readRecord(const std::string &path, bbuStateSave &ss)
{
    // Non-blocking, so a FIFO without a writer is refused rather than waited for.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        fail(ErrorKind::file, "decode: cannot open %s: %s", path.c_str(), std::strerror(err));
        setErrno(err);
        return 0;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(ErrorKind::file, "decode: %s is not a regular file", path.c_str());
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
            const int err = errno;
            fail(ErrorKind::file, "decode: cannot read %s: %s", path.c_str(), std::strerror(err));
            setErrno(err);
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
    fail(ErrorKind::file,
         "decode: %s is not a record file: %s bytes, not 145, 177 or 209 (1, 2 or 3 battery "
         "strings)",
         path.c_str(), got == sizeof bytes ? "more than 209" : std::to_string(got).c_str());
    return 0;
}

int runDecode(int argc, char **argv)
{
    std::vector<std::string> operands = parseOptions(decodeCommand, argc, argv);
    if (operands.size() != 1)
        usageError(&decodeCommand, "%s",
                   operands.empty() ? "no record file given" : "decode takes one record file");
    if (operands[0].empty())
        usageError(&decodeCommand, "an empty record file name");

    bbuStateSave ss{};
    const int strings = readRecord(operands[0], ss);
    if (strings == 0)
        return EXIT_FAILED;
    if (jsonOutput())
        fillDocument(ss, strings);
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
    "  --json  one JSON document with every field of the record by name, and the\n"
    "          firmware version as text (\"05.12\")\n",
    false,
};

}  // namespace bbuctl
