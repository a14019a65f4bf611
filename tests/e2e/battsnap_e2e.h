// battsnap_e2e.h - running battsnap under bbusim, and its runs as golden
// sessions (tests/data/golden/battsnap_*/ROW.txt).
#ifndef BBU_TESTS_E2E_BATTSNAP_E2E_H
#define BBU_TESTS_E2E_BATTSNAP_E2E_H

#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "golden.h"

namespace battsnap_e2e {

// The BBU with a distinctive byte in every captured field (its status polls
// show each command in progress once).
inline const std::string kDistinct =
    e2e::read_file(std::string(BBU_TEST_DATA) + "/battsnap_distinct.scn");

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

// One run in the session: its transcript (every open, transfer, pause and
// exit with its virtual time), standard output, standard error, the trace log without
// its wall-clock stamps ("log+" for a line that continues a message), the
// exit status, and each file then in the test's directory, in hex. A blank
// that ends a line is shown as \x20, a last line without its newline is marked.
inline void addRun(std::vector<std::string> &notes, const e2e::Run &r)
{
    const std::regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]+ ");
    const auto add = [&](const std::string &label, const std::string &text) {
        for (std::string line : e2e::lines(text)) {
            std::smatch m;
            const bool log = label == "log", stamped = log && std::regex_search(line, m, stamp);
            line.erase(0, stamped ? m.length() : 0);
            if (line.ends_with(' '))
                line.replace(line.size() - 1, 1, "\\x20");
            notes.push_back(label + (log && !stamped ? "+ " : "| ") + line);
        }
        if (!text.empty() && !text.ends_with('\n'))
            notes.back() += "  (no end of line)";
    };
    // The adapter's descriptor is the lowest free one, which depends on what
    // the test's own process hands down: any valid one is shown alike.
    for (const std::string &event : r.transcript)
        notes.push_back("bus| " + std::regex_replace(event,
                                                     std::regex("( open \\S+ -> )[1-9][0-9]*$"),
                                                     "$1(a descriptor)"));
    add("out", r.out);
    // The build's date and time after -h, checked for their form.
    add("err", std::regex_replace(r.err,
                                  std::regex("Build date: [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}  "
                                             "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n"),
                                  "Build date: (the build's date and time)\n"));
    add("log", r.trace_log());
    notes.push_back("status| " + std::to_string(r.status));
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(e2e::test_dir()))
        if (!entry.path().filename().string().starts_with("run"))
            names.insert(entry.path().filename().string());
    for (const std::string &name : names) {
        const std::string content = e2e::read_file(scratchFile(name));
        notes.push_back("file| " + name + " (" + std::to_string(content.size()) + " bytes)");
        for (const std::string &line : golden::hex_lines(
                 "file", reinterpret_cast<const unsigned char *>(content.data()), content.size()))
            notes.push_back(line);
    }
}

struct RunOptions {
    long sizeLimit = 0;       // bytes a file may grow to; 0 for no limit
    bool replaces = false;    // the record file is there before, 1000 bytes long
    bool alsoToFile = false;  // a second run writes its record to record.bin
};

// A golden row: battsnap with `args` on the distinctive BBU and `faults`
// added to it; its result is the exit status.
inline golden::Row row(const char *name, const std::vector<std::string> &args,
                       const std::string &faults = "", RunOptions o = {})
{
    std::string text = "battsnap";
    for (const std::string &a : args)
        text += a.empty() || a.find(' ') != std::string::npos ? " '" + a + "'" : " " + a;
    for (const std::string &line : e2e::lines(faults))
        text += "  + " + line;
    return {name, "", text, [=](golden::Call &call) {
                if (o.replaces)
                    std::ofstream(scratchFile(args.back())) << std::string(1000, 'x');
                e2e::Run r = runBattsnap(args, kDistinct + faults, o.sizeLimit);
                addRun(call.notes, r);
                if (o.alsoToFile) {
                    std::vector<std::string> toFile = args;
                    toFile.insert(toFile.end(), {"-f", "record.bin"});
                    call.notes.push_back("run| again with -f record.bin");
                    addRun(call.notes, r = runBattsnap(toFile, kDistinct + faults));
                }
                return std::to_string(r.status);
            }};
}

}  // namespace battsnap_e2e

#endif  // BBU_TESTS_E2E_BATTSNAP_E2E_H
