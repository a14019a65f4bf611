// The checked operations as whole sessions: each one's success, a transient
// fault the retries absorb, and each kind of failure with what the device
// holds. After the session, the result record ("checked|") and what the
// simulated device really holds ("device|"), so that a golden file shows at
// once whether the record tells the truth. The progress callback prints its
// reports ("out| progress ..."), so they stand in order with the bus events.
#include <bbu/bbu.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <utility>

#include "bbusim.h"
#include "golden.h"

namespace {

bbu_checked_result g_result;
bbu_checked_image g_image;

std::string line_of(const char *format, auto... args)
{
    char text[300];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

void note_result(golden::Call &call)
{
    const bbu_checked_result &r = g_result;
    call.notes.push_back(
        line_of("checked| ok=%d step=%d (%s) why=%d (%s) rc=%d err=%d (%s) block=%d", r.ok, r.step,
                bbu_checked_step_text(r.step), r.why, bbu_checked_why_text(r.why), r.rc, r.err,
                r.err != 0 ? std::strerror(r.err) : "", r.block));
    call.notes.push_back(line_of("checked| holds=%d (%s) changed=%d before=%04x after=%04x",
                                 r.holds, bbu_checked_holds_text(r.holds), r.changed, r.before,
                                 r.after));
    std::string verified = "checked| verified";
    for (unsigned bit = 1; bit != 0; bit <<= 1)
        if ((r.verified & bit) != 0)
            verified += std::string(" [") + bbu_checked_evidence_text(bit) + "]";
    call.notes.push_back(verified);
}

void note_status(golden::Call &call)
{
    note_result(call);
    const auto s = bbusim::peek_status();
    call.notes.push_back(line_of("device| firmware %02x.%02x, light %x, power_up %s, flash mode %s",
                                 s[30], s[31], s[14] & 0x0f, (s[2] & 0x04) != 0 ? "set" : "clear",
                                 (s[4] & 0x02) != 0 ? "on" : "off"));
}

void note_vpd(golden::Call &call)
{
    note_result(call);
    const auto v = bbusim::peek_vpd();
    call.notes.push_back(line_of("device| vpd byte 1 %02x, code level %c%c, check byte %s", v[1],
                                 v[71], v[72],
                                 xorcheck(v.data(), 255) == v[255] ? "right" : "wrong"));
}

void note_flash(golden::Call &call)
{
    note_status(call);
    const auto memory = bbusim::peek_memory(BBU_FIRST_IMAGE_ADDR, g_image.length);
    call.notes.push_back(line_of("device| memory at 0x1000 %s the image read",
                                 std::memcmp(memory.data(), g_image.bytes, g_image.length) == 0
                                     ? "holds"
                                     : "does not hold"));
}

void show_progress(const bbu_checked_progress *p, void *)
{
    std::printf("progress %s block %d of %d, %d s left\n", bbu_checked_phase_text(p->phase),
                p->block, p->blocks, p->seconds_left);
}

// A caller's callback that traces: inside an operation too, its LogTrace
// says when the log cannot be opened.
void trace_progress(const bbu_checked_progress *p, void *)
{
    LogTrace("progress %s", bbu_checked_phase_text(p->phase));
}

// What happens to the image file while the load runs: at block 2 it is
// written over, or removed.
enum class Fate { kept, rewritten, removed };
Fate g_fate;

void progress_and_fate(const bbu_checked_progress *p, void *context)
{
    show_progress(p, context);
    if (g_fate == Fate::kept || p->phase != BBU_PHASE_BLOCKS || p->block != 2)
        return;
    if (g_fate == Fate::removed)
        unlink("image.bin");
    else
        std::ofstream("image.bin", std::ios::trunc) << std::string(384, '\xee');
    std::printf("(image.bin %s)\n", g_fate == Fate::removed ? "removed" : "written over");
}

int flash_file(int fd, unsigned flags, Fate fate = Fate::kept, int verbose = 0)
{
    g_fate = fate;
    if (bbu_checked_read_image("image.bin", &g_image, &g_result) != BBU_CHECKED_OK)
        return -2;
    return bbu_checked_flash(fd, &g_image, flags, progress_and_fate, nullptr, &g_result, verbose);
}

std::string image(std::uint8_t version, std::size_t size = 384,
                  bbusim::ImageFault fault = bbusim::ImageFault::none)
{
    const auto bytes = bbusim::make_image(version, size, fault);
    return {bytes.begin(), bytes.end()};
}

// Image files and their checks, without a BBU.
int check_file(const char *path, unsigned flags)
{
    FIRMWARE_IMAGE_CHECK found{};
    std::memset(&g_image, 0x5a, sizeof g_image);  // shows what the read leaves
    const int read = bbu_checked_read_image(path, &g_image, &g_result);
    std::printf("length %u, last byte %02x\n", g_image.length, g_image.bytes[0xffff]);
    if (read != BBU_CHECKED_OK)
        return -2;
    const int rc = bbu_checked_check_image(g_image.bytes, g_image.length, flags, &found);
    std::printf("size %d blocks %d version %02x read %d magic %d crc %d checksum %d\n", found.size,
                found.numblocks, found.version, found.read_ok, found.magic_ok, found.crc_ok,
                found.checksum_ok);
    return rc;
}

// A call made while standard input is closed: what it opens gets descriptor 0.
int without_stdin(const std::function<int()> &call)
{
    const int saved = dup(0);
    close(0);
    const int rc = call();
    dup2(saved, 0);
    close(saved);
    return rc;
}

using Files = std::vector<std::pair<std::string, std::string>>;

// A row: its name, scenario, call, what to note after it, and the files the
// call finds in its directory.
golden::Row row(const char *name, std::string scenario, const char *text,
                std::function<std::string(golden::Call &)> call, void (*after)(golden::Call &),
                Files files = {})
{
    return {name, std::move(scenario), text, std::move(call), std::move(files), nullptr, after};
}

// HELPER(name, scenario, files): a row of the one call most rows of a family
// make, noted by NOTE.
#define SAME_CALL_ROWS(helper, note, ...)                                                          \
    golden::Row helper(const char *name, std::string scenario, Files files = {})                   \
    {                                                                                              \
        return row(name, std::move(scenario), GOLDEN_CALL(__VA_ARGS__), note, std::move(files));   \
    }
SAME_CALL_ROWS(status_row, note_status, bbu_checked_read_status(fd, nullptr, &g_result, 0))
SAME_CALL_ROWS(dump_row, note_result, bbu_checked_dump(fd, 0x1000, 8, buf, &g_result, 0))
SAME_CALL_ROWS(validate_row, note_status, bbu_checked_validate(fd, nullptr, nullptr, &g_result, 0))
SAME_CALL_ROWS(soft_reset_row, note_status,
               bbu_checked_soft_reset(fd, nullptr, nullptr, &g_result, 0))
SAME_CALL_ROWS(hard_reset_row, note_status,
               bbu_checked_hard_reset(fd, nullptr, nullptr, &g_result, 0))
SAME_CALL_ROWS(vpd_row, note_vpd, bbu_checked_read_vpd(fd, buf, &g_result, 0))
SAME_CALL_ROWS(codelevel_row, note_vpd, bbu_checked_set_codelevel(fd, "B7", &g_result, 0))
SAME_CALL_ROWS(image_row, note_result, check_file("image.bin", 0))
SAME_CALL_ROWS(flash_call_row, note_flash, flash_file(fd, 0))

// Most flash rows load an image of version 6 from image.bin.
golden::Row flash_row(const char *name, std::string scenario, const std::string &file = image(6))
{
    return flash_call_row(name, std::move(scenario), {{"image.bin", file}});
}

const golden::Row kStatusRows[] = {
    row("status", "", GOLDEN_CALL(bbu_checked_read_status(fd, (GENERAL_STATUS *)buf, &g_result, 0)),
        note_status),
    row("status_verbose", "", GOLDEN_CALL(bbu_checked_read_status(fd, nullptr, &g_result, 1)),
        note_status),
    status_row("status_two_failed_reads", "fault fail 40 read count 2"),
    status_row("status_bad_check_byte_once", "fault gss-check"),
    status_row("status_bad_check_byte_twice", "fault gss-check count 2"),
    status_row("status_no_answer", "fault fail 40 read ETIMEDOUT count 3"),
    status_row("status_no_answer_no_log", "log-dir absent\nfault fail 40 read ETIMEDOUT count 3"),
    status_row("status_one_byte", "fault short 40 read 1 count 3"),
    status_row("status_no_byte", "fault short 40 read 0 count 3"),
    row("light", "status 14 0x1c",
        GOLDEN_CALL(bbu_checked_read_light(fd, (int *)buf, &g_result, 1)), note_status),
    row("light_unread", "fault fail 40 read count 3",
        GOLDEN_CALL(bbu_checked_read_light(fd, (int *)buf, &g_result, 0)), note_status),
    row("light_set_0", "status 14 0x1c", GOLDEN_CALL(bbu_checked_set_light(fd, 0, &g_result, 1)),
        note_status),
    row("light_set_out_of_range", "", GOLDEN_CALL(bbu_checked_set_light(fd, 16, &g_result, 0)),
        note_status),
    row("light_set_15_write_fails", "fault fail 40 write count 3",
        GOLDEN_CALL(bbu_checked_set_light(fd, 15, &g_result, 0)), note_status),
    row("light_set_refused", "busy-polls 0\nfault error-bits 5 02 on c2",
        GOLDEN_CALL(bbu_checked_set_light(fd, 3, &g_result, 0)), note_status),
    row("light_set_read_back_fails", "fault fail 40 read count 3 skip 1",
        GOLDEN_CALL(bbu_checked_set_light(fd, 3, &g_result, 0)), note_status),
    // Values past each list of words, and no phase, have no word.
    row("texts_out_of_range", "",
        GOLDEN_CALL(std::printf(
            "[%s][%s][%s][%s][%s][%s][%s]\n", bbu_checked_step_text(28), bbu_checked_why_text(27),
            bbu_checked_holds_text(13), bbu_checked_phase_text(11), bbu_checked_phase_text(0),
            bbu_checked_evidence_text(1u << BBU_EVIDENCE_BITS), bbu_checked_evidence_text(3))),
        nullptr),
};
GOLDEN_TABLE(checked_status, kStatusRows)

const golden::Row kMemoryRows[] = {
    row("dump", "", GOLDEN_CALL(bbu_checked_dump(fd, 0x1000, 300, buf, &g_result, 0)), note_result),
    dump_row("dump_check_byte_once", "fault block-check"),
    dump_row("dump_check_byte_always", "fault block-check count always"),
    // One response spoilt on the way: two others agree on the true bytes.
    dump_row("dump_first_response_spoilt", "fault first-image"),
    dump_row("dump_wrong_echo", "fault echo c8 count 3"),
    row("dump_second_chunk_unread", "fault fail 60 read count always skip 2",
        GOLDEN_CALL(bbu_checked_dump(fd, 0x1000, 200, buf, &g_result, 0)), note_result),
    row("dump_last_addresses", "",
        GOLDEN_CALL(bbu_checked_dump(fd, 0xffffff80, 128, buf, &g_result, 0)), note_result),
    row("dump_past_last_address", "",
        GOLDEN_CALL(bbu_checked_dump(fd, 0xffffff81, 128, buf, &g_result, 0)), note_result),
    row("validate", "", GOLDEN_CALL(bbu_checked_validate(fd, show_progress, nullptr, &g_result, 0)),
        note_status),
    validate_row("validate_reprogram", "validate reprogram"),
    validate_row("validate_no_verdict", "validate none"),
    validate_row("validate_command_fails", "fault fail 40 write count 3"),
    validate_row("validate_in_flash_mode", "status 4 02"),
    row("validate_while_light_set_runs", "busy-polls 3",
        GOLDEN_CALL((bbu_checked_set_light(fd, 3, nullptr, 0),
                     bbu_checked_validate(fd, nullptr, nullptr, &g_result, 0))),
        note_status),
    validate_row("validate_command_in_progress", "status 0 b1"),
    validate_row("validate_verdict_unread", "fault fail 40 read count 3 skip 2"),
};
GOLDEN_TABLE(checked_memory, kMemoryRows)

// The clock's alarm fires as the wall clock passes a whole second: the hard
// resets start it on one, so that their sessions are the same on every run.
const golden::Row kResetRows[] = {
    row("soft_reset", "",
        GOLDEN_CALL(bbu_checked_soft_reset(fd, show_progress, nullptr, &g_result, 1)), note_status),
    row("soft_reset_never_restarts", "reset-polls never",
        GOLDEN_CALL(bbu_checked_soft_reset(fd, show_progress, nullptr, &g_result, 0)), note_status),
    soft_reset_row("soft_reset_power_up_set_before", "status 2 04"),
    // A BBU whose validation was cut short restarts with non_zero clear:
    // power_up seen clear, then set, is the restart all the same.
    soft_reset_row("soft_reset_non_zero_clear", "status 0 30"),
    // power_up never seen clear: the polls run out, and nothing tells.
    soft_reset_row("soft_reset_not_verifiable",
                   "device power-up start set\ndevice clear-status keeps power-up"),
    // Seen clear only after the reset, then set: a restart after all.
    soft_reset_row("soft_reset_clear_seen_after_the_reset",
                   "device power-up start set\ndevice clear-status keeps power-up\nreset-polls 2"),
    soft_reset_row("soft_reset_other_status_bits", "status 2 01\nstatus 4 02"),
    soft_reset_row("soft_reset_clear_fails", "status 2 04\nfault fail 40 write count 3"),
    row("soft_reset_clear_fails_no_log", "log-dir absent\nstatus 2 04\nfault fail 40 write count 3",
        GOLDEN_CALL(bbu_checked_soft_reset(fd, trace_progress, nullptr, &g_result, 0)),
        note_status),
    soft_reset_row(
        "soft_reset_alarm_restarts_it_after_clear",
        "status 4 01\nclock @1699999999.99\nbus-clock 1000\nrtc 7 80 80 80 80\nrtc 14 05"),
    row("soft_reset_write_fails", "fault fail 40 write count 3",
        GOLDEN_CALL(bbu_checked_soft_reset(fd, nullptr, nullptr, &g_result, 1)), note_status),
    row("hard_reset", "clock @1700000000",
        GOLDEN_CALL(bbu_checked_hard_reset(fd, show_progress, nullptr, &g_result, 0)), note_status),
    hard_reset_row("hard_reset_no_clock", "device 68 absent"),
    hard_reset_row("hard_reset_disable_fails",
                   "clock @1700000000\nfault fail 68 write count 3 skip 2"),
    hard_reset_row("hard_reset_enable_fails",
                   "clock @1700000000\nfault fail 68 write count 3 skip 1"),
    hard_reset_row("hard_reset_clear_flags_fails",
                   "clock @1700000000\nfault fail 68 write count 3 skip 3"),
    hard_reset_row("hard_reset_alarm_unread", "clock @1700000000\nfault fail 68 read count 3"),
};
GOLDEN_TABLE(checked_resets, kResetRows)

// Images of version 6 and three blocks unless a row says otherwise; the BBU
// holds its version 5.
const golden::Row kFlashRows[] = {
    flash_row("flash", ""),
    flash_row("flash_same_image", "image 06 384"),
    row("flash_same_image_forced", "image 06 384",
        GOLDEN_CALL(flash_file(fd, BBU_CHECKED_FLASH_FORCE)), note_flash,
        {{"image.bin", image(6)}}),
    flash_row("flash_header_unreadable_once", "fault first-image"),
    flash_row("flash_take_block_lost_three_times", "fault tfb-lost 1 count 3"),
    flash_row("flash_take_block_lost_four_times", "fault tfb-lost 1 count 4"),
    flash_row("flash_terminate_fails_once", "fault fail 40 write skip 4"),
    flash_row("flash_terminate_fails", "fault fail 40 write count 3 skip 4"),
    flash_row("flash_record_writes_fail", "fault fail 60 write count always"),
    flash_row("flash_record_write_fails_on_block_1", "fault fail 60 write count 3 skip 1"),
    flash_row("flash_block_checksum_every_time", "fault block-checksum 1 count 4"),
    flash_row("flash_status_unread_from_block_1", "fault fail 40 read count always skip 10"),
    flash_row("flash_start_refused", "busy-polls 0\nfault error-bits 5 08 on 89"),
    flash_row("flash_validation_refuses", "validate reprogram"),
    // The verdict spoilt after the load and after the recovery's validation too.
    flash_row("flash_verdict_spoilt_three_times", "fault error-bits 6 08 on 8c count 3"),
    // The header says this image, the status another version: loaded again.
    flash_row("flash_same_header_other_status_version", "image 06 384\nstatus 30 05"),
    // A validation that a program which died left running: the load waits for it.
    row("flash_after_a_running_validation", "",
        GOLDEN_CALL((do_i2c_write(fd, BBU_SAR_ADDR, 2, "\x8c\x8c", 0), flash_file(fd, 0))),
        note_flash, {{"image.bin", image(6)}}),
    row("flash_file_written_over", "", GOLDEN_CALL(flash_file(fd, 0, Fate::rewritten)), note_flash,
        {{"image.bin", image(6)}}),
    row("flash_file_removed", "", GOLDEN_CALL(flash_file(fd, 0, Fate::removed)), note_flash,
        {{"image.bin", image(6)}}),
    flash_row("flash_image_too_long", "", image(6, 49153)),
    row("flash_verbose_257_bytes_validation_refuses", "validate reprogram",
        GOLDEN_CALL(flash_file(fd, 0, Fate::kept, 1)), note_flash, {{"image.bin", image(6, 257)}}),
    flash_row("flash_header_never_readable", "clock @1700000000\nfault first-image count always"),
    row("flash_command_in_progress", "status 0 b1", GOLDEN_CALL(flash_file(fd, 0, Fate::kept, 1)),
        note_flash, {{"image.bin", image(6)}}),
    flash_row("flash_header_unread", "fault fail 60 read count always"),
    flash_row("flash_take_block_refused", "fault error-bits 5 08 on 8f"),
    flash_row("flash_block_error_bit", "fault error-bits 4 80 on 8f"),
    flash_row("flash_erase_error_bit", "fault error-bits 6 40 on 89"),
    flash_row("flash_end_load_write_fails", "fault fail 40 write count always skip 10"),
    flash_row("flash_valid_image_bit_clear", "status 6 01"),
    flash_row("flash_from_firmware_00_00", "status 4 01\nstatus 30 00 00"),
    flash_row("flash_take_counters_10_11", "status 11 07\nstatus 12 10 11"),
    flash_row("flash_bad_crc", "", image(6, 384, bbusim::ImageFault::bad_crc)),
};
GOLDEN_TABLE(checked_flash, kFlashRows)

const golden::Row kVpdRows[] = {
    vpd_row("vpd", ""),
    vpd_row("vpd_no_eeprom", "device 54 absent"),
    vpd_row("vpd_bad_check_byte", "vpd 255 00"),
    vpd_row("vpd_last_data_byte_set", "vpd 254 5a"),
    vpd_row("vpd_check_byte_flipped_once", "fault vpd-flip 255 01"),
    codelevel_row("codelevel", ""),
    codelevel_row("codelevel_reads_fail", "fault fail 54 read count 3"),
    codelevel_row("codelevel_reads_disagree",
                  "fault vpd-flip 3 01 skip 1\nfault vpd-flip 4 01 skip 1"),
    codelevel_row("codelevel_one_read_disturbed", "fault vpd-flip 3 01"),
    codelevel_row("codelevel_write_cycle_5ms", "vpd-write-cycle 5000"),
    codelevel_row("codelevel_write_cycle_30ms", "vpd-write-cycle 30000"),
    codelevel_row("codelevel_write_short", "fault short 54 write 1 skip 4"),
    codelevel_row("codelevel_read_back_disturbed_once", "fault vpd-flip 71 01 skip 2"),
    codelevel_row("codelevel_read_back_disturbed_twice", "fault vpd-flip 71 01 skip 2 count 2"),
    codelevel_row("codelevel_bad_layout", "vpd 2 00"),
    row("codelevel_space_tilde", "", GOLDEN_CALL(bbu_checked_set_codelevel(fd, " ~", &g_result, 0)),
        note_vpd),
    row("codelevel_first_not_printable", "",
        GOLDEN_CALL(bbu_checked_set_codelevel(fd, "\037B", &g_result, 0)), note_vpd),
    row("codelevel_second_not_printable", "",
        GOLDEN_CALL(bbu_checked_set_codelevel(fd, "B\x7f", &g_result, 0)), note_vpd),
};
GOLDEN_TABLE(checked_vpd, kVpdRows)

const golden::Row kImageRows[] = {
    image_row("image", "", {{"image.bin", image(6)}}),
    row("image_full_size", "", GOLDEN_CALL((errno = EINTR, check_file("image.bin", 0))),
        note_result, {{"image.bin", image(6, 49152)}}),
    image_row("image_too_long", "", {{"image.bin", image(6, 49153)}}),
    row("image_long_allowed", "", GOLDEN_CALL(check_file("image.bin", BBU_CHECKED_IMAGE_LONG)),
        note_result, {{"image.bin", image(6, 65536)}}),
    row("image_longer_than_memory", "",
        GOLDEN_CALL(check_file("image.bin", BBU_CHECKED_IMAGE_LONG)), note_result,
        {{"image.bin", image(6) + std::string(65536, 'x')}}),
    image_row("image_bad_magic", "", {{"image.bin", image(6, 384, bbusim::ImageFault::bad_magic)}}),
    image_row("image_empty", "", {{"image.bin", ""}}),
    row("image_size_unknown", "", GOLDEN_CALL(check_file("/proc/kallsyms", 0)), note_result),
    row("image_without_stdin", "",
        GOLDEN_CALL(without_stdin([] { return check_file("image.bin", 0); })), note_result,
        {{"image.bin", image(6)}}),
    row("open_without_stdin", "",
        GOLDEN_CALL(without_stdin([] { return errno = EINTR, bbu_checked_open(nullptr); })),
        nullptr),
    image_row("image_missing", ""),
    row("image_symbolic_link", "",
        GOLDEN_CALL(symlink("image.bin", "link") + check_file("link", 0)), note_result,
        {{"image.bin", image(6)}}),
    row("image_fifo", "", GOLDEN_CALL(mkfifo("fifo", 0600) + check_file("fifo", 0)), note_result),
    row("image_directory", "", GOLDEN_CALL(mkdir("dir", 0700) + check_file("dir", 0)), note_result),
};
GOLDEN_TABLE(checked_image, kImageRows)

}  // namespace
