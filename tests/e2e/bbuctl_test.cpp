// bbuctl under bbusim: each command's output, exit status and traffic on the
// bus; changes refused without a terminal; usage errors; battsnap's record
// files decoded byte for byte; the JSON and Prometheus forms of the status.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "e2e_harness.h"

namespace {

e2e::Options tools(const std::string &scenario = "")
{
    e2e::Options o;
    o.scenario = scenario;
    const char *path = std::getenv("PATH");
    o.env.push_back(std::string("PATH=") + BBU_TOOLS_DIR + ":" + (path ? path : "/usr/bin:/bin"));
    return o;
}

// A shell command line under one bbusim run, in the test's directory.
e2e::Run shell(const std::string &script, const std::string &scenario = "")
{
    return e2e::run({"sh", "-c", "cd \"$0\" && " + script, e2e::test_dir()}, tools(scenario));
}

std::vector<std::string> transfers(const e2e::Run &r)
{
    std::vector<std::string> out;
    for (const std::string &e : r.events())
        if (e.rfind("read ", 0) == 0 || e.rfind("write ", 0) == 0)
            out.push_back(e);
    return out;
}

bool opened(const e2e::Run &r)
{
    for (const std::string &e : r.events())
        if (e.rfind("open ", 0) == 0)
            return true;
    return false;
}

const std::string kDefaultStatus = "firmware version: 05.12\n"
                                   "elapsed time: 1234567 s\n"
                                   "average temperature: 27 C\n"
                                   "capacity period: 168 h\n"
                                   "battery strings: 3\n"
                                   "charging state light: 1\n"
                                   "service fault light: 0\n"
                                   "data in cache light: 0\n"
                                   "TCBLA: 3000\n"
                                   "command in progress: 0\n"
                                   "backup discharge current: 300\n"
                                   "FET sense A: 600\n"
                                   "A/D test point: 900\n";
// "bbuctl light set 3" on a terminal made by script(1), which itself leaks
// under the sanitizer runtime that a sanitized build preloads.
const std::string kOnTerminal =
    "ASAN_OPTIONS=detect_leaks=0 script -qec 'bbuctl light set 3' /dev/null";
const std::string kNoErrors = "error bits: none\n";
const std::string kImageHead = "size: 49152 bytes, 384 blocks\nmagic: 0xfeedface ok\n";
const std::string kImage = kImageHead + "crc: 0x427e1124, header 0x427e1124 ok\n" +
                           "header check: 0x9cbeddfc, header 0x9cbeddfc ok\nversion: ";
const std::string kImageBadCrc = kImageHead + "crc: 0x427e1124, header 0x427e1125 BAD\n" +
                                 "header check: 0x9cbeddfd, header 0x9cbeddfd ok\nversion: ";
const std::string kDefaultFlags = "flags: proper_connection actual_connection non_zero "
                                  "state_save_avail valid_image all_acok all_charger_ok "
                                  "all_battery_ok\n";

// ---------------------------------------------------------------------------
// Each command's result, exit status and messages, from a shell line.

struct CommandCase {
    const char *name;
    std::string scenario;
    std::string script;
    int status;
    std::string out;
    std::string err;
};

void PrintTo(const CommandCase &c, std::ostream *os)
{
    *os << c.name;
}

// The update's first read of the image passes; both reads of its head come
// back with byte 3 disturbed.
const std::string kTornHead = "fault vpd-flip 3 01 skip 1 count 2\n";
const std::string kNoLayout = "layout: bad (no \"FN=\" at byte 13)\n";

const CommandCase kCommands[] = {
    {"Status", "", "bbuctl status", 0, kDefaultStatus + kDefaultFlags + kNoErrors, ""},
    {"StatusErrorBitsAndFlashMode", "status 4 0x82\nstatus 5 0x01\nstatus 6 0x20\n",
     "bbuctl status", 0,
     kDefaultStatus +
         "flags: proper_connection actual_connection non_zero state_save_avail operation_mode "
         "all_acok all_charger_ok all_battery_ok\n"
         "error bits: tfb_block_sync checksum_error flash_program\n",
     ""},
    {"StatusBadCheckByte", "fault gss-check count always\n", "bbuctl status", 1, "",
     "bbuctl: status: the general status read has a wrong check byte\n"},
    {"StatusFailedReadInPrometheus", "device 40 absent\n", "bbuctl status --prometheus", 1,
     "# HELP bbu_status_read_success 1 when the general status was read whole with a correct "
     "check byte, 0 when not.\n# TYPE bbu_status_read_success gauge\nbbu_status_read_success 0\n",
     "bbuctl: status: cannot read the general status (result -6)\n"},
    {"StatusNoAdapter", "", "bbuctl -a /dev/i2c-9 status", 1, "",
     "i2c open failed: No such file or directory\n"
     "bbuctl: status: cannot open the adapter /dev/i2c-9\n"},
    {"Vpd", "vpd 5 1b\nvpd 255 ff\n", "bbuctl vpd", 0,
     "part number: \\x1b0AB1234\nFRU number: 00AB1235\nserial number: YLSIM0000001\n"
     "EC level: H12345\nmanufacturer: BBUSIM\ncode level: 0105A101\nname: BBU\nDFL: 00001\n"
     "PC: SIM00001\nBAT: 3S1P\nlayout: ok\ncheck byte: ok (0xff)\n",
     ""},
    {"VpdCheckGood", "", "bbuctl vpd check", 0, "layout: ok\ncheck byte: ok (0xd4)\n", ""},
    {"VpdCheckBadCheckByte", "vpd 255 00\n", "bbuctl vpd check", 1,
     "layout: ok\ncheck byte: bad (stored 0x00, computed 0xd4)\n",
     "bbuctl: vpd check: the VPD is not valid\n"},
    {"VpdCheckBadLayout", "vpd 13 \"XN=\"\nvpd 255 ca\n", "bbuctl vpd check", 1,
     kNoLayout + "check byte: ok (0xca)\n", "bbuctl: vpd check: the VPD is not valid\n"},
    {"VpdCheckByteZero", "vpd 0 01\nvpd 255 d5\n", "bbuctl vpd check", 1,
     "layout: bad (byte 0 is 0x01, not 0x00)\ncheck byte: ok (0xd5)\n",
     "bbuctl: vpd check: the VPD is not valid\n"},
    {"VpdSetCodeLevel", "", "bbuctl -y vpd set-codelevel Z9 && bbuctl vpd | grep code", 0,
     "code level: 0105A1Z9\n", ""},
    {"VpdSetCodeLevelTornHead", kTornHead, "bbuctl vpd set-codelevel -y Z9", 1, "",
     "bbuctl: vpd set-codelevel: the VPD read back differently each time; nothing written\n"},
    {"Light", "status 14 0x1a\n", "bbuctl light", 0, "service fault light: 10\n", ""},
    {"LightSet", "", "bbuctl light set 0x0c --yes && bbuctl light", 0, "service fault light: 12\n",
     ""},
    {"LightSetNotTaken", "fault fail 40 write count always\n", "bbuctl -y light set 3", 1, "",
     "bbuctl: light set: the BBU does not show the light value 3 after the command\n"},
    {"ResetSoft", "", "bbuctl -y reset soft", 0, "", ""},
    {"ResetHardClockAbsent", "device 68 absent\n", "bbuctl -y reset hard", 1, "",
     "bbuctl: reset hard: the real-time clock did not take the alarm (result -1)\n"},
    {"ImageCheck", "", "bbusim-mkimage -v 7 a.img && bbuctl image check a.img", 0, kImage + "07\n",
     ""},
    {"ImageCheckBadCrc", "", "bbusim-mkimage -v 7 -c crc a.img; bbuctl image check a.img", 1,
     kImageBadCrc + "07\n",
     "bbuctl: image check: a.img is not a valid image: its CRC does not match its header\n"},
    // Refused at once: a FIFO without a writer would block a read for ever.
    {"ImageFilesNotRegularOrEmpty", "",
     "mkfifo p && mkdir d && : >e && bbuctl image check p; bbuctl -y flash p; "
     "bbuctl image check d; bbuctl image check e",
     1, "",
     "bbuctl: image check: p is not a regular file\nbbuctl: flash: p is not a regular file\n"
     "bbuctl: image check: d is not a regular file\nbbuctl: image check: e: it holds no data\n"},
    {"FlashThenStatus", "",
     "bbusim-mkimage -v 7 a.img && bbuctl -y flash a.img && bbuctl status | grep -e firm -e err", 0,
     "firmware version: 07.12\nerror bits: none\n", ""},
    {"FlashSameVersion", "", "bbusim-mkimage -v 5 a.img && bbuctl -y flash a.img", 0,
     "the BBU already holds this version and validates it: nothing loaded\n",
     "BBU already has this version of code\n"},
    {"FlashBadImage", "", "bbusim-mkimage -c magic a.img; bbuctl -y flash a.img", 1, "",
     "bbuctl: flash: a.img is no image to load: its magic number is wrong\n"},
    {"FlashFailsPartWay", "fault error-bits 6 20 on 89\n",
     "bbusim-mkimage -v 7 a.img && bbuctl -y flash a.img", 1, "",
     "bbuctl: flash: the load failed (result -5); the BBU is left in the middle of a flash "
     "load\n"},
    {"Validate", "", "bbuctl validate", 0, "image: valid\n", ""},
    {"ValidateReprogram", "validate reprogram\n", "bbuctl validate", 1, "image: not valid\n", ""},
    {"Dump", "",
     "bbuctl dump 0x1004 20 && bbuctl dump 0x1000 4 -o d.bin && od -An -tx1 d.bin && "
     "bbuctl dump 0xffffffff 1",
     0,
     "00001004: 00 00 00 05 20 24 06 11 00 09 30 00 62 65 77 c1\n"
     "00001014: bc a5 bb 1b\n fe ed fa ce\nffffffff: ff\n",
     ""},
    {"LockHeldByAnotherProgram", "", "flock /dev/i2c-0b bbuctl -w 0 status", 1, "",
     "bbuctl: status: the adapter /dev/i2c-0b is in use by another program\n"},
    {"ChangeDeclinedAtTerminal", "", "echo n | " + kOnTerminal + " >/dev/null", 1, "", ""},
};

class Command : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Command, ResultStatusAndMessages)
{
    const CommandCase &c = GetParam();
    e2e::Run r = shell(c.script, c.scenario);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Bbuctl, Command, ::testing::ValuesIn(kCommands),
                         [](const auto &info) { return std::string(info.param.name); });

// What reached the bus.
TEST(Bus, StatusOnlyReadsEvenInFlashProgramMode)
{
    e2e::Run r = shell("bbuctl status", "status 4 0x02\n");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(transfers(r).size(), 1u);
    EXPECT_EQ(transfers(r).at(0).rfind("read 0x40 33 -> 33 : ", 0), 0u);
}

TEST(Bus, ChangesSendTheirFramesOnlyWhenConfirmed)
{
    e2e::Run r = shell("bbuctl -y vpd set-codelevel Z9 && bbuctl -y light set 5 && "
                       "echo y | " +
                       kOnTerminal);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> writes;
    for (const std::string &t : transfers(r))
        if (t.rfind("write 0x54 2 ", 0) == 0 || t.rfind("write 0x40", 0) == 0)
            writes.push_back(t.substr(0, t.find(" ->")));
    EXPECT_EQ(writes, (std::vector<std::string>{"write 0x54 2 : 01 fd", "write 0x54 2 : 47 5a",
                                                "write 0x54 2 : 48 39", "write 0x54 2 : fe 00",
                                                "write 0x54 2 : ff b6", "write 0x40 3 : c2 25 e7",
                                                "write 0x40 3 : c2 23 e5"}));
}

TEST(Bus, FlashForcedWithTfbDelay)
{
    e2e::Run r = shell("bbusim-mkimage -v 5 a.img && bbuctl -y flash --force --tfb-delay 7 a.img");
    ASSERT_EQ(r.status, 0) << r.err;
    int delays = 0, memoryReads = 0;
    for (const std::string &e : r.events()) {
        delays += e == "sleep 7000" ? 1 : 0;
        memoryReads += e.rfind("write 0x40 8 : e0 90", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(delays, 384);
    EXPECT_EQ(memoryReads, 0);
}

// With -v, the library's console output on both streams and bbuctl's own
// result reach one file a whole line at a time: a failing read's message
// never lands inside a line of a hex dump.
TEST(Bus, VerboseLinesStayWholeInOneFile)
{
    e2e::Run r = shell("bbuctl -v dump 0 0x4000 >all 2>&1", "fault fail 60 read count 40 skip 3\n");
    const std::regex whole("addr [0-9a-f]{8} data length = 128|([0-9a-f]{8} ?){4}|"
                           "(read memory cmd|sarx read) rc = (8|256|-6)|"
                           "the ioctl (read|write) command worked, rc: 1|"
                           "time zs writing I2c addr 40 cmd e0|The Ioctl read failed rc: -1 |"
                           "[0-9a-f]{8}:( [0-9a-f]{2}){16}|");
    int failures = 0;
    for (const std::string &line : e2e::lines(e2e::read_file(e2e::test_dir() + "/all"))) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
        failures += line == "The Ioctl read failed rc: -1 " ? 1 : 0;
    }
    EXPECT_EQ(failures, 40);
}

// ---------------------------------------------------------------------------
// Usage errors: exit 2 and the message, before the adapter is opened.

struct UsageCase {
    std::vector<std::string> args;
    std::string err;
};

class Usage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(Usage, RefusedWithStatus2)
{
    std::vector<std::string> command{"bbuctl"};
    command.insert(command.end(), GetParam().args.begin(), GetParam().args.end());
    e2e::Run r = e2e::run(command, tools());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(opened(r));
}

const std::string kTryStatus = "Try 'bbuctl status --help'.\n";
const std::string kTryLight = "Try 'bbuctl light --help'.\n";
const std::string kTryVpd = "Try 'bbuctl vpd --help'.\n";
const std::string kTry = "Try 'bbuctl --help'.\n";
const std::string kNoTerminal = ": this changes the BBU: give -y to go ahead without a terminal\n";

INSTANTIATE_TEST_SUITE_P(
    Bbuctl, Usage,
    ::testing::Values(
        UsageCase{{}, "bbuctl: no command given\n" + kTry},
        UsageCase{{"--bogus", "status"}, "bbuctl: unknown option '--bogus'\n" + kTry},
        UsageCase{{"-a"}, "bbuctl: option '-a' needs a value\n" + kTry},
        UsageCase{{"fr\x1bob"}, "bbuctl: unknown command 'fr\\x1bob'\n" + kTry},
        UsageCase{{"status", "-x"}, "bbuctl: unknown option '-x'\n" + kTryStatus},
        UsageCase{{"status", "--adapter"},
                  "bbuctl: option '--adapter' needs a value\n" + kTryStatus},
        UsageCase{{"status", "--json", "--prometheus"},
                  "bbuctl: --json and --prometheus exclude each other\n" + kTryStatus},
        UsageCase{{"status", "now"}, "bbuctl: unexpected argument 'now'\n" + kTryStatus},
        UsageCase{{"vpd", "check", "now"}, "bbuctl: unexpected argument 'now'\n" + kTryVpd},
        UsageCase{{"vpd", "set-codelevel", "ABC"},
                  "bbuctl: the code level's last two characters must be two printable "
                  "characters, e.g. 'A3'\n" +
                      kTryVpd},
        UsageCase{{"light", "set"}, "bbuctl: expected 'light' or 'light set N'\n" + kTryLight},
        UsageCase{{"light", "set", "16"},
                  "bbuctl: the light value must be a number from 0 to 15, not '16'\n" + kTryLight},
        UsageCase{{"decode"}, "bbuctl: no record file given\nTry 'bbuctl decode --help'.\n"},
        UsageCase{{"-w", "86401", "status"},
                  "bbuctl: the lock wait must be 0 to 86400 seconds, not '86401'\n" + kTry},
        UsageCase{{"--lock", "5", "status"},
                  "bbuctl: unknown option '--lock' (did you mean '--lock-wait'?)\n" + kTry},
        UsageCase{{"status", "--pro"},
                  "bbuctl: unknown option '--pro' (did you mean '--prometheus'?)\n" + kTryStatus},
        UsageCase{{"status", "-j"}, "bbuctl: unknown option '-j'\n" + kTryStatus},
        UsageCase{{"status", "-p"}, "bbuctl: unknown option '-p'\n" + kTryStatus},
        UsageCase{{"flash", "-f", "a.img"},
                  "bbuctl: unknown option '-f'\nTry 'bbuctl flash --help'.\n"},
        UsageCase{{"flash", "-d", "5", "a.img"},
                  "bbuctl: unknown option '-d'\nTry 'bbuctl flash --help'.\n"},
        UsageCase{{"decode", "-j", "r.bin"},
                  "bbuctl: unknown option '-j'\nTry 'bbuctl decode --help'.\n"},
        UsageCase{{"vpd", "", "x", "y"}, "bbuctl: unexpected argument ''\n" + kTryVpd},
        UsageCase{{"light", "set", "0x0x3"},
                  "bbuctl: the light value must be a number from 0 to 15, not '0x0x3'\n" +
                      kTryLight},
        UsageCase{{"light", "set", "+3"},
                  "bbuctl: the light value must be a number from 0 to 15, not '+3'\n" + kTryLight},
        UsageCase{{"dump", "0xffffff00", "0x101"},
                  "bbuctl: 257 bytes from 0xffffff00 run past the last address, 0xffffffff\n"
                  "Try 'bbuctl dump --help'.\n"},
        UsageCase{{"reset", "warm"},
                  "bbuctl: expected 'reset soft' or 'reset hard'\nTry 'bbuctl reset --help'.\n"},
        UsageCase{{"flash", "a.img", "--tfb-delay", "10001"},
                  "bbuctl: the TFB delay must be 0 to 10000 ms, not '10001'\nTry 'bbuctl flash "
                  "--help'.\n"},
        UsageCase{
            {"dump", "0x1000", "0"},
            "bbuctl: the length must be 1 to 1048576 bytes, not '0'\nTry 'bbuctl dump --help'.\n"},
        UsageCase{{"image", "a.img"},
                  "bbuctl: expected 'image check FILE'\nTry 'bbuctl image --help'.\n"},
        UsageCase{{"reset", "soft"}, "bbuctl: reset" + kNoTerminal},
        UsageCase{{"light", "set", "1"}, "bbuctl: light" + kNoTerminal},
        UsageCase{{"vpd", "set-codelevel", "A1"}, "bbuctl: vpd" + kNoTerminal}));

// ---------------------------------------------------------------------------
// The record file round trip: what battsnap prints for a capture, decode
// prints for its record file; each capture in a fresh world.

class Decode : public ::testing::TestWithParam<int> {};

// The JSON document's numbers in document order; its keys, which must all
// be snake_case, checked on the way.
void flatten(const nlohmann::ordered_json &j, std::string &bytes)
{
    if (j.is_number())
        bytes.push_back(static_cast<char>(j.get<int>()));
    if (j.is_object()) {
        for (const auto &[key, value] : j.items()) {
            EXPECT_TRUE(std::regex_match(key, std::regex("[a-z][a-z0-9_]*"))) << key;
        }
    }
    if (j.is_structured())
        for (const auto &item : j)
            flatten(item, bytes);
}

TEST_P(Decode, PrintsBattsnapsReportAndEveryFieldAsJson)
{
    const std::string n = std::to_string(GetParam());
    ASSERT_EQ(shell("battsnap -t 0 -b " + n + " -f rec.bin").status, 0);
    e2e::Run report = shell("battsnap -t 0 -b " + n);
    ASSERT_EQ(report.status, 0);
    e2e::Run decoded = shell("bbuctl decode rec.bin");
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.out, report.out);
    EXPECT_FALSE(opened(decoded));
    EXPECT_EQ(decoded.trace_log(), "");

    e2e::Run json = shell("bbuctl decode --json rec.bin");
    ASSERT_EQ(json.status, 0);
    auto doc = nlohmann::ordered_json::parse(json.out);
    EXPECT_EQ(doc["strings"], GetParam());
    EXPECT_EQ(doc["firmware"], "05.12");
    EXPECT_EQ(doc["general_status"].size(), 33u);
    EXPECT_EQ(doc["battery_string_status"].back().size(), 32u);
    doc.erase("strings");
    std::string bytes;
    flatten(doc, bytes);
    EXPECT_EQ(bytes, e2e::read_file(e2e::test_dir() + "/rec.bin"));
}

INSTANTIATE_TEST_SUITE_P(Bbuctl, Decode, ::testing::Values(1, 2, 3));

TEST(Decode, OtherSizesAndFilesAreRefused)
{
    for (std::size_t size : {0, 144, 146, 178, 210, 4096}) {
        std::ofstream(e2e::test_dir() + "/r.bin", std::ios::binary) << std::string(size, '\1');
        e2e::Run r = shell("bbuctl decode r.bin");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "bbuctl: decode: r.bin is not a record file: " +
                             (size > 209 ? "more than 209" : std::to_string(size)) +
                             " bytes, not 145, 177 or 209 (1, 2 or 3 battery strings)\n");
    }
    EXPECT_EQ(shell("bbuctl decode .").err, "bbuctl: decode: . is not a regular file\n");
    EXPECT_EQ(shell("bbuctl decode none").err,
              "bbuctl: decode: cannot open none: No such file or directory\n");
}

// ---------------------------------------------------------------------------
// The fleet formats.

TEST(Fleet, JsonCarriesTheStatusByName)
{
    e2e::Run r = shell("bbuctl status --json", "status 5 0x01\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto doc = nlohmann::ordered_json::parse(r.out);
    std::string numbers;
    flatten(doc, numbers);  // its keys
    EXPECT_EQ(doc["firmware"], "05.12");
    EXPECT_EQ(doc["firmware_version"], 5);
    EXPECT_EQ(doc["firmware_sub_version"], 0x12);
    EXPECT_EQ(doc["elapsed_time_seconds"], 1234567);
    EXPECT_EQ(doc["average_temperature_celsius"], 27);
    EXPECT_EQ(doc["flags"]["non_zero"], true);
    EXPECT_EQ(doc["flags"]["charging"], false);
    EXPECT_EQ(doc["error_bits"]["checksum_error"], true);
    EXPECT_EQ(doc["error_bits"]["invalid_parameter"], false);
    EXPECT_EQ(doc["errors"], true);
    // The bytes are those the BBU sent.
    std::istringstream read(transfers(r).at(0).substr(sizeof "read 0x40 33 -> 33 :"));
    std::vector<int> sent;
    for (std::string hex; read >> hex;)
        sent.push_back(std::stoi(hex, nullptr, 16));
    EXPECT_EQ(doc["bytes"].get<std::vector<int>>(), sent);
}

TEST(Fleet, PrometheusPassesPromtool)
{
    e2e::Run r = shell("bbuctl status --prometheus", "status 5 0x01\nstatus 14 0x13\n");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line :
         {"bbu_status_read_success 1\n", "bbu_firmware_info{version=\"05\",sub_version=\"12\"} 1\n",
          "bbu_elapsed_time_seconds 1234567\n", "bbu_capacity_period_seconds 604800\n",
          "# HELP bbu_capacity_period_seconds Capacity period, in seconds (the BBU reports it "
          "in whole hours).\n",
          "bbu_service_fault_light 3\n", "bbu_status_flag{byte=\"0\",name=\"non_zero\"} 1\n",
          "bbu_error_bit{byte=\"5\",name=\"checksum_error\"} 1\n",
          "bbu_error_bit{byte=\"5\",name=\"invalid_parameter\"} 0\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line;

    if (std::string(PROMTOOL_PATH).empty())
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus): the exposition "
                        "was not checked against it";
    const std::string file = e2e::test_dir() + "/bbu.prom";
    std::ofstream(file) << r.out;
    e2e::Run check = e2e::run_program(
        {"/bin/sh", "-c", "exec \"$0\" check metrics <\"$1\"", PROMTOOL_PATH, file});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");
}

}  // namespace
