// The bbusim launcher as golden sessions: a shell line run in a directory of
// its own (with bbusim, the project's programs, i2c-tools and the scenario
// examples at hand, and the default root below it), then its exit status,
// both streams, the transcript written to "t" and each recording the line
// made ("rec| FILE" and its lines: the real-time stamps shown as T, the real
// length of a pause as N, the start's date and the host named); for the
// launcher's own rows also what the directory holds afterwards (each entry's
// type, mode and owner; a root's contents are not listed). Real programs are
// the commands: i2c-tools as peer clients, the shell and coreutils.
//
// The recorder runs inside a simulated run, as on a machine with a real BBU:
// the simulated adapter is what it passes every call on to. A replay row
// records a command on the simulated BBU ("rec FILE COMMAND...") and replays
// the recording to the same command or another ("replay FILE [OPTION]... --
// COMMAND..."), each replay's transcript following it on standard error.
// Then the recordings in tests/data/recordings/, each replayed to the command
// its header names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <span>

#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

struct Row {
    const char *name;
    std::string script;                        // R names the default root, E a private directory
    std::string scenario = "";                 // written to s.scn
    std::vector<std::string> recordings = {};  // files the script records in
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
const Row kBbusimRows[] = {
    // Four i2ctransfer processes and a shell's sleep between them: one BBU, one clock.
    {"I2ctransferAcrossProcesses",
     "bbusim --transcript t --scenario s.scn --adapter /dev/i2c-11 -- sh -c 'T=\"i2ctransfer -y 11\"; "
     "$T w3@0x40 0xc8 0x00 0xc8 && sleep 1 && $T r33@0x40 && $T r33@0x40 && $T r86@0x60'",
     "state-save 0 de ad be ef\n"},
    {"ExitStatusPassedOn", "bbusim --transcript t -- sh -c 'exit 3'"},
    {"SignalPassedOn", "bbusim --transcript t -- sh -c 'kill -TERM $$'"},
    {"BadScenarioLine", "bbusim --scenario s.scn -- echo ran", "status 0 31\n\nbogus 1\n"},
    {"MissingScenarioFile", "bbusim --scenario /nonexistent/x.scn -- echo ran"},
    {"CommandNotFound", "bbusim -- bbusim-no-such-command"},
    {"NotExecutable", "bbusim -- ./s.scn", "status 0 31\n"},
    // Options are refused with untrusted bytes escaped; an empty value is no default.
    {"EmptyRoot", "bbusim --root= -- echo ran"},
    {"AdapterNotADevice", "bbusim --adapter foo -- echo ran"},
    {"EscapedOption", "bbusim \"$(printf -- '--x\\033[2J\\357\\273\\277')\" -- echo ran"},
    {"HelpAndVersion", "bbusim --help && bbusim --version"},
    {"ScenarioExamples", "for f in default_world device_state faults clock; do "
     "bbusim --scenario \"$DATA/sim_$f.scn\" -- true || exit; done"},
    // The trace log directory is mapped into the root unless left out.
    {"TraceLogMapped", "bbusim --root r -- sh -c 'echo hello >> /opt/Logs/bbu/logs/BBU.log' && "
     "cat r/opt/Logs/bbu/logs/BBU.log"},
    {"TraceLogLeftOut", "bbusim --no-log-dir -- sh -c 'echo hello >> /opt/Logs/bbu/logs/BBU.log'"},
    {"TraceLogAbsent", "bbusim --scenario s.scn -- sh -c 'echo hello >> /opt/Logs/bbu/logs/BBU.log'",
     "log-dir absent\n"},
    // The interposer preloaded, but no world named: /opt/. is a directory on
    // any machine, so a read that reached it would say so.
    {"WithoutAWorld", "bbusim -- env BBUSIM_WORLD= cat /opt/."},
    // A private default root, one run per root, nothing written through a link.
    {"DefaultRootCreatedPrivateAndReused", "bbusim -- true && bbusim -- true"},
    {"RootWorldWritable", "mkdir -m 777 $R && bbusim -- echo ran"},
    {"RootGroupReadable", "mkdir -m 750 $R && bbusim -- echo ran"},
    {"RootOtherOwner", "mkdir -m 700 $R && chown 65534 $R && bbusim -- echo ran"},
    {"RootSymbolicLink", "ln -s E $R && bbusim -- echo ran"},
    {"RootNotADirectory", "touch $R && bbusim -- echo ran"},
    {"ExplicitRootSymbolicLink", "ln -s E R && bbusim --root R -- echo ran"},
    {"TranscriptLinkInRoot", "mkdir R && ln -s ../E/x R/bbusim.transcript && bbusim --root R -- echo ran"},
    {"TmpLinkInRoot", "mkdir R && ln -s ../E R/tmp && bbusim --root R -- echo ran"},
    {"RootInUse", "bbusim --root r -- bbusim --root r -- echo ran; echo \"status $?\"; "
     "bbusim --root r -- echo ran"},
    // The transcript's descriptor is handed down, nothing else of the root's;
    // a command that puts a file of its own at that number keeps it to itself.
    {"DescriptorsHandedDown", "bbusim --transcript t -- sh -c "
     "'find /proc/$$/fd -mindepth 1 -printf \"%f %l\\n\"'"},
    {"TranscriptNumberReused", "bbusim --transcript t -- bash -c "
     "'exec 100>other; sleep 1; exec 100>&-; sleep 2'"},
    // /dev/stderr is the launcher's standard error, appended to, never emptied.
    {"TranscriptToStandardError", "echo kept >&2; bbusim --root r --transcript /dev/stderr -- "
     "sh -c 'sleep 1 2>inner; sleep 2'"},
    // timeout(1) only ends a run that hangs; a passing run never waits.
    {"TranscriptFifoNobodyReads", "mkfifo fifo && timeout 20 bbusim --root r --transcript fifo -- echo ran"},
    // A kept root: the devices as the last run left them, the clock going on;
    // a run without --keep starts afresh. Each run's transcript goes to
    // standard error, so the runs show in order.
    {"KeepCarriesTheDevices", "B='bbusim --root r --adapter /dev/i2c-11 --transcript /dev/stderr'; "
     "$B -- sh -c 'i2ctransfer -y 11 w3@0x40 0xc2 0x25 0xe7 && sleep 3' && "
     "$B --keep -- i2ctransfer -y 11 r33@0x40 && $B -- i2ctransfer -y 11 r33@0x40"},
    // A power cut just before the second frame: the command ends there (the
    // shell's echo never runs), exit 120. The next kept run powers up: the
    // light is off, power_up shows, and a spoilt image leaves the boot code
    // answering, which refuses the state-save command.
    {"PowerCutAtAMessage", "B='bbusim --root r --adapter /dev/i2c-11 --transcript /dev/stderr'; "
     "$B --scenario s.scn -- sh -c 'i2ctransfer -y 11 w3@0x40 0xc2 0x25 0xe7; "
     "i2ctransfer -y 11 w2@0x40 0xe9 0xe9; echo not reached'; echo \"status $?\"; "
     "$B --keep -- i2ctransfer -y 11 r33@0x40 w3@0x40 0xc8 0x00 0xc8 r33@0x40",
     "memory 0x1000 00\nfault power-cut 40 write skip 1\n"},
    // A cut at a time falls in the pause it strikes; one in a pause, halfway.
    {"PowerCutInAPause", "B='bbusim --root r --transcript /dev/stderr'; "
     "$B --scenario s.scn -- sh -c 'sleep 1; sleep 1; echo not reached'; echo \"status $?\"; "
     "echo 'fault power-cut sleep skip 1' > s.scn; $B --keep --scenario s.scn -- sh -c 'sleep 4; sleep 4'",
     "fault power-cut at 1.5\n"},
    // A crash kills the program that makes the event; the devices stay
    // powered and the rest of the command goes on.
    {"CrashKeepsTheDevicesPowered", "B='bbusim --root r --adapter /dev/i2c-11 --transcript /dev/stderr'; "
     "$B --scenario s.scn -- sh -c 'exec 2>&1; i2ctransfer -y 11 w3@0x40 0xc2 0x25 0xe7; "
     "i2ctransfer -y 11 r33@0x40; echo goes on'; echo \"status $?\"; "
     "$B --keep -- i2ctransfer -y 11 r33@0x40",
     "fault crash 40 read\n"},
    {"KeptWorldRefused", "mkdir r && echo junk > r/bbusim.world && bbusim --keep --root r -- echo ran"},
    {"PowerCutWordsRefused", "bbusim --scenario s.scn -- echo ran", "fault power-cut at 1.2345678\n"},
    // Standard error goes through cat: under the limit it could not be written either.
    {"WorldCannotBeWritten",
     "{ (ulimit -f 0; exec bbusim --root r -- echo ran) 2>&1; echo \"status $?\"; } | cat"},
    // Programs the interposer cannot load into would reach the real bus (the
    // static one says what it reached): refused before they run, and the
    // recording is not made; a script is followed to its interpreter.
    {"StaticProgramRefused", "bbusim -- \"$STATIC\"; echo \"status $?\"; bbusim --record r.txt -- \"$STATIC\""},
    {"SetIdProgramsRefused", "for m in u+s g+s; do cp \"$(command -v cat)\" p && chmod $m p && "
     "bbusim -- ./p /dev/null; echo \"status $?\"; rm p; done"},
    {"StaticInterpreterRefused", "printf '#!%s\\n' \"$STATIC\" > s && chmod +x s && bbusim -- ./s; "
     "echo \"status $?\"; bbusim -- sh -c ./s; echo \"status $?\"; rm s"},
    // Inside the run: a process that starts one is stopped there; a clean
    // environment gets the interposer and the world back.
    {"ExecOfAStaticProgramStopped", "bbusim --transcript t --adapter /dev/i2c-11 -- sh -c "
     "'\"$STATIC\"; echo \"status $?\"; env -i \"$(command -v i2ctransfer)\" -y 11 r1@0x40; "
     "exec env -i \"$STATIC\"; echo not reached'"},
    // The C library's system, popen and posix_spawn start programs past the
    // interposed execve; here without LD_PRELOAD in the environment.
    {"SystemPopenSpawnStopped", "bbusim -- spawn_probe \"$STATIC\""},
    // Under --record the recorder's own variables come back with it.
    {"RecordedRunStopped", "bbusim --adapter /dev/i2c-11 -- bbusim --record r.txt -- sh -c "
     "'env -i \"$(command -v i2ctransfer)\" -y 11 r1@0x40; exec \"$STATIC\"'; echo \"status $?\"; "
     "grep -c 'read 0x40' r.txt; rm r.txt"},
};

const Row kRecordRows[] = {
    // A command that closed the recording's descriptor: its lines go to the
    // file by name.
    {"DescriptorClosedByTheCommand",
     "bbusim --root r --transcript t -- bbusim --record r.txt -- "
     "bash -c 'eval \"exec $BBUSIM_RECORD_FD>&-\"; bbuctl status >/dev/null'", "", {"r.txt"}},
    // An adapter that cannot be opened.
    {"AdapterRefused",
     "echo 'fault open EACCES' > f.scn && bbusim --root r --scenario f.scn --transcript t -- "
     "bbusim --record r.txt -- bbuctl status", "", {"r.txt"}},
    // i2c-tools as peer clients: SMBus transactions as the messages that
    // carry them (quick, byte, byte and word data, I2C blocks written and
    // read, the longest one read as i2cdump does), a combined transfer, a
    // device that is not there; a plain read longer than a message and a
    // write at the client's first address, where none is; a pause of a
    // second and a nanosecond.
    {"I2cToolsInsideASimulatedRun",
     "bbusim --root r --adapter /dev/i2c-11 --transcript t -- bbusim --record r.txt -- sh -c "
     "'i2cget -y 11 0x40 0x00 w; i2cget -y 11 0x54 0x02 i 32; i2cget -y 11 0x54; "
     "i2cset -y 11 0x54 0xf0 0x41; i2cset -y 11 0x54 0xf0 0x4142 w; i2cget -y 11 0x50 0x00 b; "
     "i2cset -y 11 0x54 0x02 c; i2cset -y 11 0x54 0x10 0x0a 0x0b 0x0c i; i2cget -y 11 0x54 0x0e i 4; "
     "i2cdetect -y -q 11 0x3f 0x40; i2ctransfer -y 11 w1@0x54 0x02 r3; "
     "printf A > /dev/i2c-11; "
     "sleep 1.000000001'",
     "", {"r.txt"}},
    // A VPD read and a code-level update, redacted: placeholders in the
    // reads and the writes, the check bytes read and written fitting them.
    // A write that wraps in its page, and the read from where it left off.
    {"RedactedVpdReadAndUpdate",
     "bbusim --root r --adapter /dev/i2c-11 --transcript t -- bbusim --record r.txt --redact -- "
     "sh -c 'bbuctl vpd && bbuctl -y vpd set-codelevel A3 && "
     "i2ctransfer -y 11 w5@0x54 0x1e 0x31 0x32 0x53 0x4e r3@0x54'", "", {"r.txt"}},
    // A status read by a client of the daemon, and by bbuctl itself.
    {"DaemonAndDirectStatusRead",
     "bbusim --root r --transcript t -- sh -c 'bbu-i2cd --record d.txt --group $(id -g) 2>log & "
     "until grep -q listening log 2>/dev/null; do :; done; daemon_status_client; "
     "kill -TERM $! && wait $!' && cat log && "
     "bbusim --root r --transcript t2 -- bbusim --record b.txt -- bbuctl status >/dev/null",
     "", {"d.txt", "b.txt"}},
    // On the machine itself, no simulation: a real pause, the end by a
    // signal passed on, words quoted for a shell in the header.
    {"SignalOutsideASimulatedRun",
     "bbusim --record r.txt -- sh -c 'sleep 0.010000001; kill -TERM $$' \"it's\" ''; "
     "echo \"status $?\"", "", {"r.txt"}},
    // Nothing is written through a link, into a FIFO or a directory (by
    // bbusim or the daemon); the options of a simulated world are refused
    // with a recording.
    {"Refusals",
     "ln -s x link; mkfifo fifo; mkdir dir; for f in link fifo dir; do "
     "bbusim --record $f -- echo ran; echo \"status $?\"; done; "
     "bbusim --record r.txt --scenario s.scn -- echo ran; echo \"status $?\"; "
     "bbusim --redact -- echo ran; echo \"status $?\"; "
     "bbu-i2cd --record link; echo \"status $?\"; ls", "status 0 31\n"},
};

const Row kReplayRows[] = {
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

// The directory's entries below `rel`, each with its type, mode and owner.
void list(const std::string &dir, const std::string &rel, std::vector<std::string> &out)
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir + rel))
        names.insert(e.path().filename().string());
    for (const std::string &name : names) {
        const std::string path = rel + name;
        struct stat st {};
        if (path.starts_with("run") || path == "t" || path == "s.scn" ||
            lstat((dir + path).c_str(), &st) != 0)
            continue;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
        std::string line =
            "dir| " + path + " " + mode + (st.st_uid == geteuid() ? "" : " not mine");
        if (S_ISLNK(st.st_mode))
            line += " link to " + fs::read_symlink(dir + path).string();
        else if (S_ISREG(st.st_mode))
            line += " file of " + std::to_string(st.st_size) + " bytes";
        else if (S_ISFIFO(st.st_mode))
            line += " fifo";
        out.push_back(line);
        // A root is the simulator's own business.
        if (S_ISDIR(st.st_mode) && name != "r" && name != "R" && !name.starts_with("bbusim-"))
            list(dir, path + "/", out);
    }
}

// The lines of a session, with the paths that differ from machine to machine
// named.
class Session : public ::testing::TestWithParam<Row> {
protected:
    void check(const std::string &family, bool list_directory = false)
    {
        const Row &row = GetParam();
        if (row.script.find("i2ctransfer") != std::string::npos &&
            std::string(I2CTRANSFER_PATH).find("NOTFOUND") != std::string::npos)
            GTEST_SKIP() << "i2ctransfer is not installed";
        if (row.script.find("$STATIC") != std::string::npos &&
            std::string(STATIC_PROBE_PATH).empty())
            GTEST_SKIP()
                << "no static C library (libc6-dev's libc.a) to build a static program with";
        const std::string dir = e2e::test_dir() + "/", uid = std::to_string(getuid());
        if (list_directory) {
            fs::create_directory(dir + "E");
            fs::permissions(dir + "E", fs::perms::owner_all);
        }
        if (!row.scenario.empty())
            std::ofstream(dir + "s.scn") << row.scenario;
        e2e::Run r = run_script(dir, "R=bbusim-" + uid + " && " + kPrelude + row.script);
        r.transcript = e2e::lines(e2e::read_file(dir + "t"));
        std::vector<std::string> lines{"run| " + row.script};
        for (const std::string &line : e2e::lines(row.scenario))
            lines.push_back("scenario| " + line);
        lines.emplace_back("---");
        // A recorder's real pause lengths differ from run to run.
        static const std::regex real_pause(" real [0-9]+'");
        for (const std::string &line : e2e::session(r))
            lines.push_back(std::regex_replace(line, real_pause, " real N'"));
        for (const std::string &file : row.recordings) {
            lines.push_back("rec| " + file);
            for (const std::string &line : recording_lines(dir + file))
                lines.push_back("rec| " + line);
        }
        for (std::string &line : lines)
            for (const auto &[from, to] : {std::pair{std::string(STATIC_PROBE_PATH), "$STATIC"},
                                           std::pair{dir.substr(0, dir.size() - 1), "$DIR"},
                                           std::pair{"bbusim-" + uid, "bbusim-$UID"}})
                for (std::size_t at; !from.empty() && (at = line.find(from)) != std::string::npos;)
                    line.replace(at, from.size(), to);
        if (list_directory)
            list(dir, "", lines);
        e2e::check_golden(family, row.name, lines);
    }

    // `script` run by the shell in `dir`, the programs it names found there.
    static e2e::Run run_script(const std::string &dir, const std::string &script)
    {
        std::string path;
        for (const char *d : {BBUSIM_DIR, BBU_TOOLS_DIRS, SPAWN_PROBE_DIR, I2CTRANSFER_DIR})
            path += std::string(d) + ":";
        const char *inherited = std::getenv("PATH");
        return e2e::run_program(
            {"/bin/sh", "-c", "cd \"$0\" && " + script, dir},
            {.env = {"TMPDIR=" + dir.substr(0, dir.size() - 1),
                     "DATA=" + std::string(BBU_TEST_DATA),
                     "STATIC=" + std::string(STATIC_PROBE_PATH),
                     "PATH=" + path + (inherited != nullptr ? inherited : "/usr/bin:/bin")}});
    }
};

class Bbusim : public Session {};
class Record : public Session {};
class Replay : public Session {};

TEST_P(Bbusim, Session)
{
    check("bbusim", true);
}

TEST_P(Record, Session)
{
    check("record");
}

TEST_P(Replay, Session)
{
    check("replay");
}

const auto kName = [](const auto &info) {
    return std::string(info.param.name);
};
INSTANTIATE_TEST_SUITE_P(golden, Bbusim, ::testing::ValuesIn(kBbusimRows), kName);
INSTANTIATE_TEST_SUITE_P(golden, Record, ::testing::ValuesIn(kRecordRows), kName);
INSTANTIATE_TEST_SUITE_P(golden, Replay, ::testing::ValuesIn(kReplayRows), kName);

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

TEST(SessionFiles, EachGoldenFileHasARow)
{
    for (const auto &[family, rows] : {std::pair{"bbusim", std::span<const Row>{kBbusimRows}},
                                       std::pair{"record", std::span<const Row>{kRecordRows}},
                                       std::pair{"replay", std::span<const Row>{kReplayRows}}}) {
        std::vector<std::string> names;
        for (const Row &row : rows)
            names.emplace_back(row.name);
        e2e::check_no_stray_golden(family, names);
    }
}

}  // namespace
