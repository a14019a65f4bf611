// battsnap_e2e.h - running battsnap under bbusim, and what its tests compare
// against: the usage text and the golden files of the distinctive BBU
// (tests/data/battsnap_distinct.*).
#ifndef BBU_TESTS_E2E_BATTSNAP_E2E_H
#define BBU_TESTS_E2E_BATTSNAP_E2E_H

#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "test_names.h"
#include "transcript.h"

namespace battsnap_e2e {

inline const std::string kUsage =
    "Usage: battsnap <-h> <-v> <-t time> <-b Nbr> <-f fn> \n"
    "       -h       -- This help text\n"
    "       -v       -- Optional, activates verbose mode\n"
    "       -t time  -- Optional; sleep time between I/O operations\n"
    "                   time is in useconds (50,000 default)\n"
    "       -b nbr   -- Number of battery strings (1-3)\n"
    "       -f fn    -- File name where binary state save data will be stored\n";

inline std::string testData(const std::string &name)
{
    return e2e::read_file(std::string(BBU_TEST_DATA) + "/" + name);
}

// The BBU with a distinctive byte in every captured field (its status polls
// show each command in progress once).
inline const std::string kDistinct = testData("battsnap_distinct.scn");

// The first `size` bytes of the 209 that a capture of its three strings records.
inline std::string goldenRecord(std::size_t size)
{
    const bbutest::Bytes all = bbutest::parse_hex(testData("battsnap_distinct_record.hex"));
    return std::string(all.begin(), all.begin() + static_cast<long>(size));
}

inline std::string goldenReport(int strings)
{
    return testData("battsnap_distinct_report_b" + std::to_string(strings) + ".txt");
}

// A file path in the current test's directory.
inline std::string scratchFile(const std::string &name)
{
    return e2e::test_dir() + "/" + name;
}

// battsnap as a user runs it: found in PATH, so messages begin "battsnap:".
inline e2e::Options battsnapOptions(const std::string &scenario)
{
    const char *path = std::getenv("PATH");
    return {.scenario = scenario,
            .env = {"PATH=" + std::filesystem::path(BATTSNAP_PATH).parent_path().string() + ":" +
                    (path != nullptr ? path : "/usr/bin:/bin")}};
}

// battsnap started in the current test's directory, so that a record file can
// be named relative to it. With fileSizeLimit, files may grow to that many
// bytes only, as on a file system that is full; the signal the limit raises is
// ignored, so that the write itself fails.
inline e2e::Run runBattsnap(const std::vector<std::string> &args, const std::string &scenario,
                            long fileSizeLimit = 0)
{
    std::string script = "cd \"$0\" && ";
    if (fileSizeLimit > 0)
        script += "trap '' XFSZ && exec prlimit --fsize=" + std::to_string(fileSizeLimit) + " ";
    else
        script += "exec ";
    std::vector<std::string> command{"sh", "-c", script + "battsnap \"$@\"", e2e::test_dir()};
    command.insert(command.end(), args.begin(), args.end());
    return e2e::run(command, battsnapOptions(scenario));
}

}  // namespace battsnap_e2e

#endif  // BBU_TESTS_E2E_BATTSNAP_E2E_H
