// e2e_harness.h - run real programs under the bbusim launcher from a
// GoogleTest test and collect what they did.
//
// Every run gets a directory of its own below the test's directory
// (BBU_E2E_SCRATCH/<Suite>.<Test>/runN): the scenario file, the simulator
// root, the transcript, and the captured standard output and error. The
// test's directory is emptied at the first run of each test, so reruns start
// clean. Programs are started with posix_spawn and an argument vector: no
// shell is involved unless the test runs one itself.
#ifndef BBU_TESTS_E2E_HARNESS_H
#define BBU_TESTS_E2E_HARNESS_H

#include <set>
#include <string>
#include <vector>

#include "bytes.h"
#include "golden_file.h"

namespace e2e {

using bbutest::lines;
using bbutest::read_file;

struct Options {
    std::string scenario{};          // scenario text; none when empty
    std::vector<std::string> env{};  // NAME=VALUE added to the environment
};

struct Run {
    int status = -1;                      // exit status; 128+N when signal N ended the process
    std::string out;                      // standard output
    std::string err;                      // standard error
    std::string dir;                      // this run's directory
    std::string root;                     // the simulator's root directory (dir + "/root")
    std::vector<std::string> transcript;  // transcript lines, without newlines

    // The trace log as mapped into the root ("" when missing).
    std::string trace_log() const
    {
        return read_file(root + "/opt/Logs/bbu/logs/BBU.log");
    }
    // Transcript lines without their time stamps.
    std::vector<std::string> events() const;
};

// The current test's directory, created (and emptied at the test's first call).
std::string test_dir();

// Run `command` (searched in PATH by the launcher) under bbusim.
Run run(const std::vector<std::string> &command, const Options &options = {});

// Run a program directly, without the launcher (e.g. the launcher itself with
// its own options, or a program with a hand-made environment). `argv[0]` is
// the program's path. The run's directory is prepared as for run().
Run run_program(const std::vector<std::string> &argv, const Options &options = {});

// A run as the lines of a golden session: its exit status, standard output
// and standard error (an in-place update, ended by a carriage return, is a
// line of its own), the trace log without its wall-clock stamps, and the
// transcript with its virtual time. Bytes outside printable ASCII are shown
// as \xNN; process ids as "pid N".
std::vector<std::string> session(const Run &run);

// The sweeps (fault, power cut): BBU_FAULT_SWEEP names how much of each runs
// ("full", "count", "sparse"; the sample when unset), BBU_SWEEP_DEVICE the
// scenario line that chooses the BBU ("device strict"; "" for the default).
bool sweep_mode(const char *mode);
std::string sweep_device();
// The counts are printed instead of comparing the table: the whole sweep, or
// (count) the sample on a BBU without a reviewed table.
inline bool sweep_counting()
{
    return sweep_mode("full") || sweep_mode("count");
}
// The current test's reviewed table: TEST, or TEST.device-strict under `device strict`.
std::string sweep_table();

// The session's lines against tests/data/golden/FAMILY/NAME.txt (golden_file.h).
inline void check_golden(const std::string &family, const std::string &name,
                         const std::vector<std::string> &lines)
{
    golden::check_file(family, name, lines);
}

// A golden session that says what it runs. Its lines before the first "---"
// are the header: "about| " lines (what the session proves), "run| " lines
// (shell lines), "scenario-file| " (a file of tests/data whose lines begin
// the scenario), "scenario| " lines, "recordings| " (the files the run
// records into, shown after the session) and "files| " (files shown in hex
// after each run). Each such file of a family is a test of its own: a new
// one is written with its header alone, then filled by BBU_GOLDEN_UPDATE=1
// and read.
struct Script {
    std::string name;                 // the file's name without .txt
    std::vector<std::string> header;  // as the file has it
    std::vector<std::string> runs;    // the shell lines, in order
    std::string scenario;             // its lines each ended by a newline
    std::vector<std::string> recordings, files;
};

// The family's sessions, in the order of their names. A file without a
// "run| " line that is not one of `others` (written by another test) stops
// the test program before any test is listed.
std::vector<Script> scripts(const std::string &family, const std::set<std::string> &others = {});

}  // namespace e2e

#endif  // BBU_TESTS_E2E_HARNESS_H
