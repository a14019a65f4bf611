// battsnap_e2e.h - running battsnap under bbusim, and what its tests compare
// against: the usage text, the golden files of the distinctive BBU
// (tests/data/battsnap_distinct.*), and the transfers in a transcript.
#ifndef BBU_TESTS_E2E_BATTSNAP_E2E_H
#define BBU_TESTS_E2E_BATTSNAP_E2E_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace battsnap_e2e {

inline const std::string kUsage =
    "Usage: battsnap <-h> <-v> <-t time> <-b Nbr> <-f fn> \n"
    "       -h       -- This help text\n"
    "       -v       -- Optional, activates verbose mode\n"
    "       -t time  -- Optional; sleep time between I/O operations\n"
    "                   time is in useconds (50,000 default)\n"
    "       -b nbr   -- Number of battery strings (1-3)\n"
    "       -f fn    -- File name where binary state save data will be stored\n";

inline std::string dataPath(const std::string &name)
{
    return std::string(BBU_TEST_DATA) + "/" + name;
}

// The BBU with a distinctive byte in every captured field.
inline std::string distinctScenario()
{
    return e2e::read_file(dataPath("battsnap_distinct.scn"));
}

// The 209 bytes a capture of all three strings of the distinctive BBU records.
inline std::string goldenRecord()
{
    std::istringstream in(e2e::read_file(dataPath("battsnap_distinct_record.hex")));
    std::string line, bytes;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string hex;
        while (words >> hex)
            bytes.push_back(static_cast<char>(std::stoul(hex, nullptr, 16)));
    }
    return bytes;
}

inline std::string goldenReport(int strings)
{
    return e2e::read_file(
        dataPath("battsnap_distinct_report_b" + std::to_string(strings) + ".txt"));
}

// battsnap as a user runs it: found in PATH, so messages begin "battsnap:".
inline e2e::Options battsnapOptions(const std::string &scenario)
{
    e2e::Options o;
    o.scenario = scenario;
    const std::string bin = std::filesystem::path(BATTSNAP_PATH).parent_path().string();
    const char *path = std::getenv("PATH");
    o.env.push_back("PATH=" + bin + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    return o;
}

inline e2e::Run runBattsnap(const std::vector<std::string> &args, const std::string &scenario)
{
    std::vector<std::string> command{"battsnap"};
    command.insert(command.end(), args.begin(), args.end());
    return e2e::run(command, battsnapOptions(scenario));
}

// A file path in the current test's directory.
inline std::string scratchFile(const std::string &name)
{
    return e2e::test_dir() + "/" + name;
}

// battsnap started in the current test's directory, so that a record file
// can be named relative to it (a file name holds at most 49 characters).
// With fileSizeLimit, files may grow to that many bytes only, as on a file
// system that is full; the signal the limit raises is ignored, so that the
// write itself fails.
inline e2e::Run runBattsnapInTestDir(const std::vector<std::string> &args,
                                     const std::string &scenario, long fileSizeLimit = 0)
{
    std::string script = "cd \"$0\" && ";
    if (fileSizeLimit > 0)
        script += "trap '' XFSZ && exec prlimit --fsize=" + std::to_string(fileSizeLimit) +
                  " battsnap \"$@\"";
    else
        script += "exec battsnap \"$@\"";
    std::vector<std::string> command{"sh", "-c", script, e2e::test_dir()};
    command.insert(command.end(), args.begin(), args.end());
    return e2e::run(command, battsnapOptions(scenario));
}

// One line of a transcript, split: time in microseconds and the event text.
struct Event {
    std::uint64_t us = 0;
    std::string text;
};

inline std::vector<Event> events(const e2e::Run &r)
{
    std::vector<Event> out;
    for (const std::string &line : r.transcript) {
        std::size_t dot = line.find('.'), blank = line.find(' ');
        Event e;
        e.us = std::stoull(line.substr(0, dot)) * 1000000 +
               std::stoull(line.substr(dot + 1, blank - dot - 1));
        e.text = line.substr(blank + 1);
        out.push_back(e);
    }
    return out;
}

inline bool startsWith(const std::string &s, const std::string &prefix)
{
    return s.rfind(prefix, 0) == 0;
}

inline bool isTransfer(const std::string &event)
{
    return startsWith(event, "read ") || startsWith(event, "write ");
}

// A transfer as "read 0x40 33 -> 33" or "write 0x40 3 : c8 00 c8 -> 3":
// the data a read delivered is left out, the bytes a write offered kept.
inline std::string transferShape(const std::string &event)
{
    if (startsWith(event, "read ")) {
        std::size_t data = event.find(" : ");
        return data == std::string::npos ? event : event.substr(0, data);
    }
    return event;
}

inline std::vector<std::string> transferShapes(const e2e::Run &r)
{
    std::vector<std::string> out;
    for (const Event &e : events(r))
        if (isTransfer(e.text))
            out.push_back(transferShape(e.text));
    return out;
}

inline int countEvents(const e2e::Run &r, const std::string &prefix)
{
    int n = 0;
    for (const Event &e : events(r))
        n += startsWith(e.text, prefix) ? 1 : 0;
    return n;
}

}  // namespace battsnap_e2e

#endif  // BBU_TESTS_E2E_BATTSNAP_E2E_H
