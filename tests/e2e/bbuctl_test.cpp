// bbuctl under bbusim as golden sessions: each row is a shell line run in a
// fresh simulated world with its scenario; its exit status, both streams, the
// trace log and the whole bus transcript are compared with the reviewed file
// tests/data/golden/bbuctl/ROW.txt. What a session cannot show stays a plain
// test below.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>

#include "e2e_harness.h"

namespace {

struct Row {
    const char *name;
    std::string scenario;
    std::string script;  // run by sh in the row's own directory, PATH leading to the tools
};

void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

e2e::Run shell(const std::string &script, const std::string &scenario = "")
{
    e2e::Options o;
    o.scenario = scenario;
    const char *path = std::getenv("PATH");
    o.env.push_back(std::string("PATH=") + BBU_TOOLS_DIR + ":" + (path ? path : "/usr/bin:/bin"));
    return e2e::run({"sh", "-c", "cd \"$0\" && " + script, e2e::test_dir()}, o);
}

// A command on a terminal made by script(1), which itself leaks under the
// sanitizer runtime that a sanitized build preloads.
const std::string kScript = "ASAN_OPTIONS=detect_leaks=0 script -qec ";
// A flash of a five-block image of version 7, then the BBU's own verdict on
// what it holds; the flash's exit status.
const std::string kFlashThenValidate = "bbusim-mkimage -v 7 -s 640 a.img && bbuctl -y flash a.img; "
                                       "s=$?; bbuctl validate; exit $s";
// bbuctl with each of `args`, each exit status after it on standard output.
std::string each(const std::vector<std::string> &args)
{
    std::string script;
    for (const std::string &a : args)
        script += (script.empty() ? "bbuctl" : "; bbuctl") + (a.empty() ? "" : " " + a) +
                  "; echo \"exit $?\"";
    return script;
}
const std::string kRecordSizes =
    "for n in 0 144 146 178 210 4096; do head -c $n /dev/zero >r.bin; "
    "bbuctl decode r.bin; echo \"exit $?\"; done; bbuctl decode .; bbuctl decode none";

const Row kRows[] = {
    // Reads.
    {"status", "", "bbuctl status"},
    {"status_error_bits_flash_mode", "status 4 0x82\nstatus 5 0x01\nstatus 6 0x20\n",
     "bbuctl status"},
    {"status_bad_check_byte", "fault gss-check count always\n", "bbuctl status"},
    {"status_json", "status 5 0x01\n", "bbuctl status --json"},
    {"status_prometheus", "status 5 0x01\nstatus 14 0x13\n", "bbuctl status --prometheus"},
    {"status_prometheus_absent", "device 40 absent\n", "bbuctl status --prometheus"},
    {"status_prometheus_one_byte", "fault short 40 read 1 count always\n",
     "bbuctl status --prometheus"},
    {"status_no_adapter", "", "bbuctl -a /dev/i2c-9 status"},
    // The exposition of a status not read, whatever kept it from being read.
    {"status_prometheus_not_read", "",
     each({"-a /dev/i2c-9 status --prometheus", "status --prometheus -w 1x",
           "status -x --prometheus"}) +
         "; flock /dev/i2c-0b bbuctl -w 0 status --prometheus"},
    // Output that cannot be written: said, and never exit 0.
    {"outputs_lost", "",
     "battsnap -t 0 -b 1 -f r.bin && " +
         each({"status >/dev/full", "--json status >/dev/full", "status --prometheus >/dev/full",
               "decode r.bin >/dev/full", "dump 0x1000 4 -o /dev/full", "--help >/dev/full",
               "-V --json >/dev/full", "vpd check --json -h >/dev/full",
               "-a /dev/i2c-9 status --json >/dev/full"})},
    // Asked I2C_FUNCS before anything is sent: none of these is an adapter.
    {"status_not_an_adapter", "",
     ": >f && mkfifo p && " + each({"-a f status", "-a p status", "-a /dev/null -y light set 3",
                                    "--json -a /dev/null status"})},
    {"status_no_valid_image", "status 6 08\n",
     "bbuctl status && bbuctl status --json | grep '\"image\"'"},
    {"vpd", "vpd 5 1b\nvpd 255 ff\n", "bbuctl vpd"},
    {"vpd_absent", "device 54 absent\n", "bbuctl vpd"},
    {"vpd_check", "", "bbuctl vpd check"},
    {"vpd_check_bad_check_byte", "vpd 255 00\n", "bbuctl vpd check"},
    {"vpd_check_bad_layout", "vpd 13 \"XN=\"\nvpd 255 ca\n", "bbuctl vpd check"},
    {"vpd_check_byte_zero", "vpd 0 01\nvpd 255 d5\n", "bbuctl vpd check"},
    {"light", "status 14 0x1a\n", "bbuctl light"},
    {"light_verbose", "", "bbuctl -v light"},
    {"light_unread", "fault fail 40 read count always\n", "bbuctl light"},
    {"validate", "", "bbuctl validate"},
    {"validate_reprogram", "validate reprogram\n", "bbuctl validate"},
    // A spoilt image: no verdict is given when the command or the status is lost.
    {"validate_command_refused", "memory 0x1000 00\nfault fail 40 write count 3\n",
     "bbuctl validate"},
    {"validate_status_short", "memory 0x1000 00\nfault short 40 read 1 skip 1 count 6\n",
     "bbuctl validate"},
    {"dump", "",
     "bbuctl dump 0x1004 20 && bbuctl dump 0x1000 4 -o d.bin && od -An -tx1 d.bin && "
     "bbuctl dump 0xffffffff 1"},
    {"dump_unread", "fault fail 60 read count always\n",
     "bbuctl dump 0x1000 16; echo \"exit $?\"; bbuctl dump 0x1000 16 -o d.bin; echo \"exit $?\"; "
     "test ! -e d.bin"},
    {"decode_one_string", "", "battsnap -t 0 -b 1 -f r.bin && bbuctl decode r.bin"},
    {"decode_three_strings_json", "",
     "battsnap -t 0 -b 3 -f r.bin && bbuctl decode r.bin && bbuctl decode --json r.bin && "
     "od -An -tu1 -w16 r.bin"},
    {"decode_other_sizes", "", kRecordSizes},
    {"lock_held_by_another_program", "", "flock /dev/i2c-0b bbuctl -w 0 status"},
    // Changes, each followed by a read of what the device holds.
    {"vpd_set_codelevel", "vpd-write-cycle 5000\n", "bbuctl -y vpd set-codelevel Z9 && bbuctl vpd"},
    {"vpd_set_codelevel_short_cycle", "vpd-write-cycle 1200\n",
     "bbuctl -y vpd set-codelevel Z9 && bbuctl vpd check"},
    {"vpd_set_codelevel_unread", "fault fail 54 read count 3\n",
     "bbuctl -y vpd set-codelevel Z9; s=$?; bbuctl vpd check; exit $s"},
    // The second and third reads agree on a disturbed head: nothing is written.
    {"vpd_set_codelevel_torn_head", "fault vpd-flip 3 01 skip 1 count 2\n",
     "bbuctl vpd set-codelevel -y Z9"},
    {"light_set", "", "bbuctl light set 0x0c --yes && bbuctl light"},
    {"light_set_not_taken", "fault fail 40 write count 3\n",
     "bbuctl -y light set 3; s=$?; bbuctl light; exit $s"},
    {"light_set_no_answer", "fault fail 40 count always\n", "bbuctl -y light set 3"},
    {"reset_soft", "", "bbuctl -y reset soft"},
    {"reset_hard", "clock @1239807149\n", "bbuctl -y reset hard"},
    {"reset_hard_clock_absent", "device 68 absent\n", "bbuctl -y reset hard"},
    // Images.
    {"image_check", "", "bbusim-mkimage -v 7 a.img && bbuctl image check a.img"},
    {"image_check_bad_crc", "", "bbusim-mkimage -v 7 -c crc a.img; bbuctl image check a.img"},
    // One byte past the image format's blocks, where the BBU's memory may end.
    {"image_check_longer_than_the_blocks", "",
     "bbusim-mkimage -v 7 a.img && printf x >>a.img && " +
         each({"image check --long-image a.img", "image check a.img"})},
    // Refused at once: a FIFO without a writer would block a read for ever.
    {"image_files_not_regular_or_empty", "",
     "mkfifo p && mkdir d && : >e && " +
         each({"image check p", "-y flash p", "image check d", "image check e"})},
    // The flash: progress on a terminal, the result line, and what the BBU then runs.
    {"flash_at_terminal", "",
     "bbusim-mkimage -v 7 -s 640 a.img && " + kScript +
         "'bbuctl -y flash a.img' /dev/null && "
         "bbuctl status"},
    {"flash_same_image", "", "bbusim-mkimage -v 5 a.img && bbuctl -y flash a.img"},
    // Reads only: the status and the image header (a read-memory command).
    {"flash_check", "", "bbusim-mkimage -v 6 -s 640 a.img && bbuctl -v flash --check a.img"},
    {"flash_older", "",
     "bbusim-mkimage -v 4 -s 640 a.img && " +
         each({"-y flash a.img", "flash --check a.img", "-y flash --allow-downgrade a.img"})},
    {"light_set_check_then_already_set", "", each({"light set 3 --check", "-y light set 0"})},
    {"vpd_set_codelevel_check_then_twice", "",
     each({"vpd set-codelevel Z9 --check", "-y vpd set-codelevel Z9", "-y vpd set-codelevel Z9"})},
    {"flash_forced_with_tfb_delay", "",
     "bbusim-mkimage -v 5 -s 200 a.img && bbuctl -y flash --force --tfb-delay 7 a.img"},
    // The image file replaced by a bad one while the load waits for the
    // adapter's lock: the copy read and checked is what is loaded.
    {"flash_file_replaced_while_waiting", "",
     "bbusim-mkimage -v 7 -s 640 a.img && (flock -o /dev/i2c-0b sh -c '(env " + kScript +
         "\"bbuctl -y -w 60 flash a.img\" /dev/null >out; echo $? >rc) & until grep -qs waiting "
         "out || test -e rc; do :; done; bbusim-mkimage -v 9 -c crc a.img'); until test -e rc; "
         "do :; done; cat rc; bbuctl status | grep firm"},
    {"flash_bad_image", "", "bbusim-mkimage -c magic a.img; bbuctl -y flash a.img"},
    // The way back: a load from either state says what it found and goes on.
    {"flash_from_half_finished_load", "status 4 02\n",
     "bbuctl status --json | grep '\"image\"'; bbuctl validate; " + kFlashThenValidate},
    // A spoilt image: after a restart the boot code runs, which refuses the
    // light until a load brings the firmware back.
    {"flash_from_no_valid_image", "memory 0x1000 00\nclock @1239807149\n",
     "bbusim-mkimage -v 7 -s 640 a.img && bbuctl -y reset soft && " +
         each({"-y light set 3", "light", "-y flash a.img", "-y light set 3"})},
    // A load that fails on a terminal: the lines after it name where it failed.
    {"flash_fails_at_terminal", "fault tfb-lost 3 count 4\n",
     "bbusim-mkimage -v 7 -s 640 a.img && " + kScript + "'bbuctl -y flash a.img' /dev/null"},
    // Faults during the load: transient ones the retries absorb end verified;
    // others end in exit 1 with what the BBU holds, which its validation confirms.
    {"flash_block_lost_thrice_then_taken", "fault tfb-lost 3 count 3\n", kFlashThenValidate},
    {"flash_terminate_byte_fails_once", "fault fail 40 write skip 6\n", kFlashThenValidate},
    {"flash_block_never_taken", "fault tfb-lost 3 count 4\n", kFlashThenValidate},
    {"flash_terminate_byte_refused", "fault fail 40 write skip 6 count 3\n", kFlashThenValidate},
    {"flash_every_record_refused", "fault fail 60 write count always\n", kFlashThenValidate},
    {"flash_record_refused_part_way", "fault fail 60 write skip 3 count 3\n", kFlashThenValidate},
    {"flash_status_reads_stop", "fault fail 40 read count always skip 22\n", kFlashThenValidate},
    {"flash_error_bit_at_start", "fault error-bits 6 20 on 89\n", kFlashThenValidate},
    // The verdict spoilt after the load and in the recovery: the claim says what it rests on.
    {"flash_verdict_spoilt_three_times", "fault error-bits 6 08 on 8c count 3\n",
     kFlashThenValidate},
    // The header holds this image, the status another version: said, and loaded.
    {"flash_header_and_status_disagree", "image 06 640\nstatus 30 05\n",
     "bbusim-mkimage -v 6 -s 640 a.img && bbuctl -y flash a.img"},
    // Without the trace log's folder, standard error holds bbuctl's own
    // lines only; with -v it says once that no trace is written.
    {"trace_log_folder_missing",
     "log-dir absent\nfault fail 40 read count 3\nfault fail 40 write count 3\n",
     "mkfifo p && head -c 70000 /dev/zero >big && " +
         each({"image check /nonexistent", "image check p", "image check big", "status",
               "-y light set 3", "-v status"})},
    // Usage errors: exit 2 and the message, before the adapter is opened.
    {"usage_no_command", "", each({""})},
    {"usage_unknown", "",
     each({"--bogus status", "\"$(printf 'fr\\033ob')\"", "-a", "status --adapter",
           "-w 86401 status", "--lock 5 status"})},
    {"usage_status", "",
     each({"status -x", "status --json --prometheus", "status now", "status --pro", "status -j",
           "status -p"})},
    {"usage_vpd", "",
     each({"vpd check now", "vpd set-codelevel ABC", "vpd '' x y", "vpd set-codelevel A1"})},
    {"usage_light", "",
     each({"light set", "light set 16", "light set 0x0x3", "light set +3", "light set 1"})},
    {"usage_other_commands", "",
     each({"decode", "decode ''", "decode -j r.bin", "flash -f a.img", "flash -d 5 a.img",
           "flash a.img --tfb-delay 10001", "image check ''", "image a.img",
           "dump 0xffffff00 0x101", "dump 0x1000 0", "reset warm", "reset soft"})},
};

class Bbuctl : public ::testing::TestWithParam<Row> {};

TEST_P(Bbuctl, Session)
{
    const Row &row = GetParam();
    std::vector<std::string> lines{"run| " + row.script};
    for (const std::string &line : e2e::lines(row.scenario))
        lines.push_back("scenario| " + line);
    lines.emplace_back("---");
    const std::vector<std::string> session = e2e::session(shell(row.script, row.scenario));
    lines.insert(lines.end(), session.begin(), session.end());
    e2e::check_golden("bbuctl", row.name, lines);
}

INSTANTIATE_TEST_SUITE_P(golden, Bbuctl, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(BbuctlFiles, EachGoldenFileHasARow)
{
    std::vector<std::string> names;
    for (const Row &row : kRows)
        names.emplace_back(row.name);
    names.emplace_back("device_choices");
    e2e::check_no_stray_golden("bbuctl", names);
}

// Every change and read under every BBU the documents allow: the default,
// each other choice alone, and all the least helpful at once. A change
// exits 0 only with what it reports then read back (the header, the
// validation, the VPD, the light); a reset that cannot see the restart exits
// 3; nothing fails without a fault. One line a command: its exit status and
// its last lines.
TEST(Bbuctl, EveryDeviceChoice)
{
    const char *const choices[] = {
        "",
        "device response-header random",
        "device response-check random",
        "device response-padding random",
        "device idle-response random",
        "device status-tail zeros",
        "device status-tail random",
        "device clear-status keeps power-up",
        "device clear-status keeps errors",
        "device power-up start set",
        "device power-up restart keeps",
        "device command-byte zero",
        "device command-byte random",
        "device i2c-busy-bit during-command",
        "device validate-time 10",
        "device program-time 10",
        "device version-byte keeps",
        "device valid-image-bit never",
        "device valid-image-bit always",
        "device blank-memory zeros",
        "device blank-memory random",
        "device block-counter random",
        "device nack EREMOTEIO",
        "vpd-write-cycle 10000",
        "reset-polls 29",
        "device strict",
    };
    const std::string script =
        "bbusim-mkimage -v 6 -s 640 a.img >/dev/null; for c in '-y flash a.img' "
        "'dump 0x1000 8' validate '-y vpd set-codelevel Z9' 'vpd check' '-y light set 3' light "
        "'-y reset soft' '-y reset hard'; do bbuctl $c >o 2>e; echo \"$c: exit $? | $(tail -n1 "
        "o) | $(tail -n1 e)\"; done";
    std::vector<std::string> lines;
    for (const char *choice : choices) {
        lines.push_back(std::string("scenario| ") + (*choice != 0 ? choice : "(default)"));
        for (const std::string &line : e2e::lines(shell(script, std::string(choice) + "\n").out))
            lines.push_back("out| " + line);
    }
    e2e::check_golden("bbuctl", "device_choices", lines);
}

// With -v, the library's console output on both streams and bbuctl's own
// result reach one file a whole line at a time: a failing read's message
// never lands inside a line of a hex dump. The retries absorb the faults.
TEST(Bbuctl, VerboseLinesStayWholeInOneFile)
{
    std::string faults;
    for (int i = 0; i < 40; ++i)
        faults += "fault fail 60 read skip " + std::to_string(2 * i) + "\n";
    EXPECT_EQ(shell("bbuctl -v dump 0 0x4000 >all 2>&1", faults).status, 0);
    const std::regex whole("the ioctl (read|write) command worked, rc: 1|"
                           "time zs writing I2c addr 40 cmd e0|The Ioctl read failed rc: -1 |"
                           "[0-9a-f]{8}:( [0-9a-f]{2}){16}");
    int failures = 0, dumped = 0;
    for (const std::string &line : e2e::lines(e2e::read_file(e2e::test_dir() + "/all"))) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
        failures += line == "The Ioctl read failed rc: -1 " ? 1 : 0;
        dumped += line.size() == 57 ? 1 : 0;
    }
    EXPECT_EQ(failures, 40);
    EXPECT_EQ(dumped, 0x4000 / 16);
}

// On a terminal a change asks first: declined, nothing reaches the bus; the
// answer's wait shows in the bus transcript as the terminal program's pauses,
// so the sessions here are not golden.
TEST(Bbuctl, ChangesAskOnATerminal)
{
    for (const char *answer : {"y", "n"}) {
        const e2e::Run r = shell(std::string("echo ") + answer + " | " + kScript +
                                 "'bbuctl light set 3' /dev/null");
        std::vector<std::string> writes;
        for (const std::string &e : r.events())
            if (e.starts_with("write"))
                writes.push_back(e);
        EXPECT_EQ(r.status, *answer == 'y' ? 0 : 1) << r.out;
        EXPECT_EQ(writes, *answer == 'y' ? std::vector<std::string>{"write 0x40 3 : c2 23 e5 -> 3"}
                                         : std::vector<std::string>{});
        EXPECT_NE(r.out.find("Continue? [y/N] "), std::string::npos);
    }
}

// On a terminal, while another program holds the adapter's lock: who holds
// it and the time left, then the give-up message, each in place.
TEST(Bbuctl, NamesTheLockHolderOnATerminal)
{
    const e2e::Run r = shell("flock /dev/i2c-0b env " + kScript + "'bbuctl -w 1 status' /dev/null");
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("\rbbuctl: status: waiting for the adapter's lock, held by pid [0-9]+ "
                          "\\(flock\\): 1 s left\x1b\\[K\r(.*\r)*\x1b\\[Kbbuctl: status: the "
                          "adapter /dev/i2c-0b is in use by pid [0-9]+ \\(flock\\): gave up "
                          "waiting after 1 s \\(-w, --lock-wait\\)\r\n")))
        << r.out;
}

}  // namespace
