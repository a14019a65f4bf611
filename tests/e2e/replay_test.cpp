// Replays as golden sessions: a shell line, run in a directory of its own,
// records a command on the simulated BBU ("rec FILE COMMAND...") and replays
// the recording to the same command or another ("replay FILE [OPTION]... --
// COMMAND..."): its exit status, both streams (each replay's transcript
// follows it on standard error) and the trace log. Then the recordings in
// tests/data/recordings/, each replayed to the command its header names.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

struct Row {
    const char *name;
    std::string script;
};

// rec: the command run on the simulated BBU (RECOPTS given to that run), its
// transcript written as a recording: the header, each pause's real length
// taken as the one asked for. replay: bbusim --replay, its transcript then
// shown on standard error.
const std::string kPrelude =
    "rec() { f=$1; shift; printf '# bbusim recording 1\\n# recorded: 2026-12-06T21:40:00Z\\n"
    "# command: %s\\n' \"$*\" >$f; bbusim --root rr --transcript rec.t $RECOPTS -- \"$@\" "
    ">/dev/null 2>&1; sed -E 's/ sleep ([0-9]+)$/ sleep \\1 real \\1/' rec.t >>$f; }; "
    "replay() { n=$((n + 1)); bbusim --root rp --transcript t$n --replay \"$@\"; s=$?; "
    "[ ! -f t$n ] || cat t$n >&2; return $s; }; ";

// clang-format off
const Row kRows[] = {
    // A capture replayed: the same record file; fewer strings stop at the
    // first request left unused, with its line.
    {"BattsnapReplayed", "rec r.txt battsnap -t 0 -b 3 -f a.bin && "
     "replay r.txt -- battsnap -t 0 -b 3 -f b.bin && cmp a.bin b.bin && echo same record file && "
     "sed 's/^[0-9.]* //' t1 >a && sed -n 's/^[0-9.]* //; s/ real [0-9]*$//; /^[^#]/p' r.txt >b && "
     "cmp a b && echo the replay\\'s transcript is the recording"},
    // The same with the recorder itself, run inside a simulated run: its real
    // pause lengths are masked.
    {"RecorderReplayed", "bbusim --root rr -- bbusim --record r.txt -- battsnap -t 0 -b 3 -f a.bin "
     ">/dev/null && bbusim --root rp --replay r.txt -- battsnap -t 0 -b 3 -f b.bin >/dev/null && "
     "cmp a.bin b.bin && echo same record file; bbusim --root rp2 --replay r.txt -- "
     "battsnap -t 0 -b 2 -f c.bin >/dev/null 2>err; echo \"status $?\"; sed -E 's/real [0-9]+/real N/' err"},
    {"BattsnapFewerStrings", "rec r.txt battsnap -t 0 -b 3 -f a.bin && "
     "replay r.txt -- battsnap -t 0 -b 2 -f c.bin"},
    // One byte of a frame differs: that request and every later one get EIO.
    {"OneByteDiffers", "rec r.txt battsnap -t 0 -b 3 && "
     "sed -i 's/c4 02 c6 -> 3/c4 02 c7 -> 3/' r.txt && replay r.txt -- battsnap -t 0 -b 3"},
    // A pause of another length differs, unless pauses are not compared.
    {"PauseDiffers", "rec r.txt battsnap -t 1 -b 1 && replay r.txt -- battsnap -t 2 -b 1; "
     "echo \"status $?\"; replay r.txt --no-timing -- battsnap -t 2 -b 1"},
    // The status read recorded one byte shorter than bbuctl asks.
    {"LengthDiffers", "rec r.txt bbuctl status && "
     "sed -i 's/read 0x40 33 -> 33 : \\(.*\\) 6f$/read 0x40 32 -> 32 : \\1/' r.txt && "
     "replay r.txt -- bbuctl status"},
    // Recorded errors are given back as recorded: a status read that timed
    // out once, an open refused.
    {"ErrorsReplayed", "echo 'fault fail 40 read ETIMEDOUT' >s.scn && RECOPTS='--scenario s.scn' "
     "rec r.txt bbuctl status >/dev/null && replay r.txt -- bbuctl status >/dev/null && "
     "echo 'fault open EACCES' >s.scn && RECOPTS='--scenario s.scn' rec r.txt bbuctl status; "
     "replay r.txt -- bbuctl status"},
    // The adapter the recording opens is claimed; another one is a difference.
    {"AdapterOfTheRecording", "RECOPTS='--adapter /dev/i2c-11' rec r.txt i2ctransfer -y 11 r2@0x54 && "
     "replay r.txt -- i2ctransfer -y 11 r2@0x54 && replay r.txt -- i2ctransfer -y 12 r2@0x54"},
    // bbuctl status, then a second process asking more than was recorded.
    {"StatusReplayed", "rec r.txt bbuctl status && replay r.txt -- bbuctl status --json && "
     "replay r.txt -- sh -c 'bbuctl status >/dev/null; bbuctl status'"},
    // The recording's descriptor numbers are its own: a close is matched
    // under the number the open was given there. A request past a recording
    // without its exit line; the table gone from the root.
    {"DescriptorsAndEnds", "rec r.txt bbuctl status && "
     "sed '/open/s/-> 3/-> 5/; s/close 3/close 5/' r.txt >m.txt && replay m.txt -- bbuctl status >/dev/null && "
     "sed 's/close 3/close 4/' r.txt >c.txt && replay c.txt -- bbuctl status >/dev/null; echo \"status $?\"; "
     "sed '$d' r.txt >n.txt && replay n.txt -- sh -c 'bbuctl status >/dev/null; bbuctl status'; "
     "echo \"status $?\"; replay r.txt -- sh -c 'rm rp/bbusim.replay && bbuctl status'"},
    {"VpdUpdateReplayed", "rec r.txt bbuctl -y vpd set-codelevel Z9 && "
     "replay r.txt -- bbuctl -y vpd set-codelevel Z9"},
    // A whole flash load: the same image replays; another version differs at
    // its first record.
    {"FlashLoadReplayed", "bbusim-mkimage -v 7 -s 200 a.img && bbusim-mkimage -v 8 -s 200 b.img && "
     "rec r.txt bbuctl -y flash a.img && replay r.txt -- bbuctl -y flash a.img && "
     "replay r.txt -- bbuctl -y flash b.img"},
    // The wall clock starts at the time the recording started.
    // (date does not free what it allocates: a sanitized build's leak check
    // would fail it.)
    {"WallClockOfTheRecording", "printf '# bbusim recording 1\\n# recorded: 2026-02-28T23:59:59Z\\n"
     "0.000100 exit 0\\n' >r.txt && replay r.txt -- env ASAN_OPTIONS=detect_leaks=0 date -u '+%F %T'"},
    // Recordings refused whole, before the command runs; an unknown header
    // line is only read (and a command that asks nothing leaves the
    // recording's first request unused).
    {"RecordingsRefused", "rec r.txt bbuctl status && ln -s r.txt link.txt && mkfifo fifo && "
     "for e in '1s/1$/2/' '/open/s/-> 3/-> x/' '/read/s/^0.000000/0.0/' '/read/s/ 6f$//' "
     "'/read/s/ 31 / 3G /' '/close/s/close/shut/' '/open/s/$/ /' '$a0.000000 close 3' "
     "'/close/i# late header' '/open/s/i2c-0b/i2c\\\\x/' '/open/i# unknown header' '2s/T21/T24/' '$i0.000000 write 0x40 2 : 01 -> 2' "
     "'$i0.000000 write 0x400 0 -> 0' '$i0.000000 read 0x40 2 -> 3 : 01 02 03' '$i0.000000 sleep 5' "
     "'$i0.000000 ioctl I2C_RDWR -> 3' '$i0.000000 write 0x0ff 0 -> 0' '$i0.000000 write 0x40 8193 -> 1' "
     "'$s/exit 0/exit 256/' '$i0.000000 read 0x40 1 -> E' '/read/s/^0.000000/0.0000000/' "
     "'$i0.000000 open /dev/ -> 3' '$i0.000000 write 0x40 0 -> 0' '$i0.000000 read 0x40 0 -> 0' "
     "'/read/i0.000000 ioctl I2C_RDWR -> EINVAL' '/read/i0.000000 ioctl 0x799 -> ENOTTY'; do sed \"$e\" r.txt >bad.txt; "
     "replay bad.txt -- echo ran; echo \"status $?\"; done; for f in link.txt fifo . none; do "
     "replay $f -- echo ran; echo \"status $?\"; done; "
     "replay r.txt --scenario r.txt -- echo ran; bbusim --no-timing -- echo ran"},
};
// clang-format on

class Replay : public ::testing::TestWithParam<Row> {};

TEST_P(Replay, Session)
{
    const Row &row = GetParam();
    if (std::string(I2CTRANSFER_PATH).find("NOTFOUND") != std::string::npos &&
        row.script.find("i2ctransfer") != std::string::npos)
        GTEST_SKIP() << "i2ctransfer is not installed";
    const std::string dir = e2e::test_dir();
    const char *path = std::getenv("PATH");
    e2e::Run r = e2e::run_program({"/bin/sh", "-c", "cd \"$0\" && " + kPrelude + row.script, dir},
                                  {.env = {"PATH=" + std::string(BBU_TOOLS_DIR) + ":" +
                                           fs::path(I2CTRANSFER_PATH).parent_path().string() + ":" +
                                           (path != nullptr ? path : "/usr/bin:/bin")}});
    std::vector<std::string> lines{"run| " + row.script, "---"};
    // A recorder's real pause lengths differ from run to run.
    static const std::regex real_pause(" real [0-9]+'");
    for (std::string line : e2e::session(r)) {
        line = std::regex_replace(line, real_pause, " real N'");
        for (std::size_t at; (at = line.find(dir)) != std::string::npos;)
            line.replace(at, dir.size(), "$DIR");
        lines.push_back(line);
    }
    e2e::check_golden("replay", row.name, lines);
}

INSTANTIATE_TEST_SUITE_P(golden, Replay, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

// The words of a recording's "# command:" line: plain words of
// [A-Za-z0-9_./=:,+@%^-], or quoted as the recorder quotes them ('...', a
// quote inside as '\''). Empty when the line is quoted otherwise.
std::vector<std::string> command_words(const std::string &line)
{
    static const std::regex word("([A-Za-z0-9_./=:,+@%^-]|'[^']*'|\\\\')+");
    std::vector<std::string> words;
    for (std::size_t at = 0; at < line.size(); ++at) {
        std::smatch m;
        const std::string rest = line.substr(at);
        if (!std::regex_search(rest, m, word, std::regex_constants::match_continuous))
            return {};
        std::string w;
        for (std::size_t i = 0; i < m.str().size(); ++i) {
            const char c = m.str()[i];
            if (c == '\\') {  // \' : a quote
                w += '\'';
                ++i;
            } else if (c == '\'') {
                const std::size_t end = m.str().find('\'', i + 1);
                w += m.str().substr(i + 1, end - i - 1);
                i = end;
            } else {
                w += c;
            }
        }
        words.push_back(w);
        at += m.length();
        if (at < line.size() && line[at] != ' ')
            return {};
    }
    return words;
}

// Every recording in tests/data/recordings/ replays to the command its
// header names, one of the project's own programs as built here.
TEST(RecordingsFolder, EachReplaysToItsCommand)
{
    int replayed = 0;
    for (const auto &entry : fs::directory_iterator(std::string(BBU_TEST_DATA) + "/recordings")) {
        if (entry.path().extension() != ".txt")
            continue;
        SCOPED_TRACE(entry.path().string());
        std::vector<std::string> command;
        for (const std::string &line : e2e::lines(e2e::read_file(entry.path())))
            if (line.starts_with("# command: "))
                command = command_words(line.substr(11));
        ASSERT_FALSE(command.empty()) << "no command line, or one quoted otherwise";
        ASSERT_TRUE(command[0] == "battsnap" || command[0] == "bbuctl")
            << "not one of the project's programs: " << command[0];
        std::vector<std::string> argv{BBUSIM_PATH,
                                      "--root",
                                      e2e::test_dir() + "/root",
                                      "--replay",
                                      entry.path().string(),
                                      "--",
                                      std::string(BBU_TOOLS_DIR) + "/" + command[0]};
        argv.insert(argv.end(), command.begin() + 1, command.end());
        const e2e::Run r = e2e::run_program(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        ++replayed;
    }
    EXPECT_GT(replayed, 0) << "the folder holds no recording";
}

TEST(ReplayFiles, EachGoldenFileHasARow)
{
    std::vector<std::string> names;
    for (const Row &row : kRows)
        names.emplace_back(row.name);
    e2e::check_no_stray_golden("replay", names);
}

}  // namespace
