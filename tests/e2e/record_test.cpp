// Recordings as golden sessions: a shell line run in a directory of its own,
// its exit status, both streams, the simulator's transcript ("t") and each
// recording it made ("rec| FILE" and its lines: the real-time stamps shown
// as T, the real length of a pause as N, the start's date and the host
// named). The recorder runs inside a simulated run, as on a machine with a
// real BBU: the simulated adapter is what it passes every call on to.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

struct Row {
    const char *name;
    std::string script;
    std::vector<std::string> recordings;  // files the script records in
    bool as_transcript = false;           // the first one holds what "t" holds
};

// clang-format off
const Row kRows[] = {
    // A capture: the recording holds what the simulator's transcript holds.
    {"BattsnapInsideASimulatedRun",
     "bbusim --root r --transcript t -- bbusim --record r.txt -- battsnap -t 0 -b 3 -f a.bin", {"r.txt"},
     true},
    // A command that closed the recording's descriptor: its lines go to the
    // file by name.
    {"DescriptorClosedByTheCommand",
     "bbusim --root r --transcript t -- bbusim --record r.txt -- "
     "bash -c 'eval \"exec $BBUSIM_RECORD_FD>&-\"; bbuctl status >/dev/null'", {"r.txt"}, true},
    // An adapter that cannot be opened.
    {"AdapterRefused",
     "echo 'fault open EACCES' > f.scn && bbusim --root r --scenario f.scn --transcript t -- "
     "bbusim --record r.txt -- bbuctl status", {"r.txt"}, true},
    // i2c-tools as peer clients: SMBus transactions as the messages that
    // carry them (quick, byte, byte and word data, the longest I2C block),
    // a combined transfer, a device that is not there; a plain read longer
    // than a message and a write at the client's first address, where none
    // is; a pause of a second and a nanosecond.
    {"I2cToolsInsideASimulatedRun",
     "bbusim --root r --adapter /dev/i2c-11 --transcript t -- bbusim --record r.txt -- sh -c "
     "'i2cget -y 11 0x40 0x00 w; i2cget -y 11 0x54 0x02 i 32; i2cget -y 11 0x54; "
     "i2cset -y 11 0x54 0xf0 0x41; i2cset -y 11 0x54 0xf0 0x4142 w; i2cget -y 11 0x50 0x00 b; "
     "i2cdetect -y -q 11 0x3f 0x40; i2ctransfer -y 11 w1@0x54 0x02 r3; "
     "printf A > /dev/i2c-11; "
     "sleep 1.000000001'",
     {"r.txt"}, true},
    // A VPD read and a code-level update, redacted: placeholders in the
    // reads and the writes, the check bytes read and written fitting them.
    // A write that wraps in its page, and the read from where it left off.
    {"RedactedVpdReadAndUpdate",
     "bbusim --root r --adapter /dev/i2c-11 --transcript t -- bbusim --record r.txt --redact -- "
     "sh -c 'bbuctl vpd && bbuctl -y vpd set-codelevel A3 && "
     "i2ctransfer -y 11 w5@0x54 0x1e 0x31 0x32 0x53 0x4e r3@0x54'", {"r.txt"}},
    // A status read by a client of the daemon, and by bbuctl itself.
    {"DaemonAndDirectStatusRead",
     "bbusim --root r --transcript t -- sh -c 'bbu-i2cd --record d.txt --group $(id -g) 2>log & "
     "until grep -q listening log 2>/dev/null; do :; done; daemon_status_client; "
     "kill -TERM $! && wait $!' && cat log && "
     "bbusim --root r --transcript t2 -- bbusim --record b.txt -- bbuctl status >/dev/null",
     {"d.txt", "b.txt"}},
    // On the machine itself, no simulation: a real pause, the end by a
    // signal passed on, words quoted for a shell in the header.
    {"SignalOutsideASimulatedRun",
     "bbusim --record r.txt -- sh -c 'sleep 0.010000001; kill -TERM $$' \"it's\" ''; "
     "echo \"status $?\"", {"r.txt"}},
    // Nothing is written through a link, into a FIFO or a directory (by
    // bbusim or the daemon); the options of a simulated world are refused
    // with a recording.
    {"Refusals",
     "ln -s x link; mkfifo fifo; mkdir dir; for f in link fifo dir; do "
     "bbusim --record $f -- echo ran; echo \"status $?\"; done; "
     "bbusim --record r.txt --scenario s.scn -- echo ran; echo \"status $?\"; "
     "bbusim --redact -- echo ran; echo \"status $?\"; "
     "bbu-i2cd --record link; echo \"status $?\"; ls", {}},
};
// clang-format on

std::vector<std::string> recording_lines(const std::string &file)
{
    static const std::regex stamp("^[0-9]+\\.[0-9]{6} "), real(" real [0-9]+$"),
        date("^# recorded: [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"),
        host("^# host: .*");
    std::vector<std::string> out;
    for (std::string line : e2e::lines(e2e::read_file(file))) {
        line = std::regex_replace(line, stamp, "T ");
        line = std::regex_replace(line, real, " real N");
        line = std::regex_replace(line, date, "# recorded: DATE");
        line = std::regex_replace(line, std::regex("--group [0-9]+"), "--group GID");
        out.push_back(std::regex_replace(line, host, "# host: HOST"));
    }
    return out;
}

// A recording's body as the simulator's transcript writes it: no stamps, a
// pause without its real length.
std::vector<std::string> as_transcript(const std::vector<std::string> &recording)
{
    std::vector<std::string> out;
    for (const std::string &line : recording)
        if (!line.starts_with("# "))
            out.push_back(std::regex_replace(line.substr(2), std::regex(" real N$"), ""));
    return out;
}

std::vector<std::string> unstamped(const std::vector<std::string> &transcript)
{
    std::vector<std::string> out;
    for (const std::string &line : transcript)
        out.push_back(line.substr(line.find(' ') + 1));
    return out;
}

// Hex bytes after the last ':' of `text`.
std::vector<int> hex_bytes(const std::string &text)
{
    std::vector<int> out;
    std::istringstream in(text.substr(text.rfind(':') + 1));
    for (std::string hex; in >> hex;)
        out.push_back(std::stoi(hex, nullptr, 16));
    return out;
}

// The VPD image as the redacted recording shows it to a program: every 256
// bytes read from offset 0, and the image after each write that ends with
// the check byte, carry a check byte that fits (the XOR of the other 255).
void expect_check_bytes_fit(const std::vector<std::string> &body)
{
    std::vector<int> image;
    int checked = 0;
    const auto fits = [&](const std::string &line) {
        int x = 0;
        for (std::size_t i = 0; i < 255; ++i)
            x ^= image[i];
        EXPECT_EQ(x, image[255]) << "the check byte does not fit after: " << line;
        ++checked;
    };
    for (const std::string &line : body) {
        if (line.starts_with("read 0x54 256 -> 256 :")) {
            image = hex_bytes(line);
            fits(line);
        } else if (line.starts_with("write 0x54 ") && !image.empty() &&
                   line.find(" -> E") == std::string::npos) {
            const std::vector<int> w = hex_bytes(line.substr(0, line.find(" -> ")));
            const int page = w[0] & ~7;
            for (std::size_t i = 1; i < w.size(); ++i)
                image[static_cast<std::size_t>(page | ((w[0] + static_cast<int>(i) - 1) & 7))] =
                    w[i];
            if (w.size() > 1 && w[0] + static_cast<int>(w.size()) - 2 == 255)
                fits(line);
        }
    }
    EXPECT_GE(checked, 2) << "no VPD read and check-byte write recorded";
}

// The transfers at an address, without their stamps.
std::vector<std::string> at_address(const std::vector<std::string> &body, const std::string &addr)
{
    std::vector<std::string> out;
    for (const std::string &line : body)
        if (line.find(" " + addr + " ") != std::string::npos)
            out.push_back(line);
    return out;
}

class Record : public ::testing::TestWithParam<Row> {};

TEST_P(Record, Session)
{
    const Row &row = GetParam();
    const std::string dir = e2e::test_dir() + "/";
    std::ofstream(dir + "s.scn") << "status 0 31\n";
    const char *path = std::getenv("PATH");
    std::string tools;
    for (const char *d : {BBUSIM_DIR, BBU_TOOLS_DIRS, I2CTRANSFER_DIR})
        tools += std::string(d) + ":";
    e2e::Run r =
        e2e::run_program({"/bin/sh", "-c", "cd \"$0\" && " + row.script, dir},
                         {.env = {"PATH=" + tools + (path != nullptr ? path : "/usr/bin:/bin")}});
    r.transcript = e2e::lines(e2e::read_file(dir + "t"));
    std::vector<std::string> lines{"run| " + row.script, "---"};
    for (const std::string &line : e2e::session(r))
        lines.push_back(line);
    std::vector<std::vector<std::string>> recordings;
    for (const std::string &file : row.recordings) {
        recordings.push_back(recording_lines(dir + file));
        lines.push_back("rec| " + file);
        for (const std::string &line : recordings.back())
            lines.push_back("rec| " + line);
    }
    for (std::string &line : lines)
        for (std::size_t at; (at = line.find(dir)) != std::string::npos;)
            line.replace(at, dir.size(), "$DIR/");

    const std::string name = row.name;
    if (row.as_transcript) {
        EXPECT_EQ(as_transcript(recordings[0]), unstamped(r.transcript));
    }
    if (name == "RedactedVpdReadAndUpdate")
        expect_check_bytes_fit(as_transcript(recordings[0]));
    if (name == "DaemonAndDirectStatusRead") {
        const auto daemon = at_address(as_transcript(recordings[0]), "0x40");
        EXPECT_EQ(daemon.size(), 1U);
        EXPECT_EQ(daemon, at_address(as_transcript(recordings[1]), "0x40"));
    }
    e2e::check_golden("record", row.name, lines);
}

INSTANTIATE_TEST_SUITE_P(golden, Record, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RecordFiles, EachGoldenFileHasARow)
{
    std::vector<std::string> names;
    for (const Row &row : kRows)
        names.emplace_back(row.name);
    e2e::check_no_stray_golden("record", names);
}

}  // namespace
