// The flash load as whole sessions: the image checks, the version check with
// its re-reads and resets, the load block by block with its re-sends, and
// every failure that ends it, on images of two and three blocks.
#include <bbu/bbu.h>

#include <cstdio>
#include <string>

#include "bbusim.h"
#include "golden.h"

namespace {

using F = bbusim::ImageFault;

// An image file "image.bin" as bbusim-mkimage writes it.
std::vector<std::pair<std::string, std::string>> image(std::uint8_t version, std::size_t size,
                                                       F fault = F::none)
{
    const std::vector<std::uint8_t> bytes = bbusim::make_image(version, size, fault);
    return {{"image.bin", std::string(bytes.begin(), bytes.end())}};
}

// The version the BBU runs after the call.
void running_version(golden::Call &call)
{
    char line[64];
    std::snprintf(line, sizeof line, "bbu| runs firmware version %02x", bbusim::peek_status()[30]);
    call.notes.emplace_back(line);
}

void tfb_delay_20ms(golden::Call &)
{
    TFB_delay = 1;
    TFB_delaytime = 20;
}

#define LOAD(verbose, force) GOLDEN_CALL(processCodeLoad(fd, "image.bin", verbose, force))
// An image of version 9 and `size` bytes, and the version the BBU runs after the call.
#define VERSION_9(size) image(9, size), nullptr, running_version

const golden::Row kRows[] = {
    {"load_verbose", "", LOAD(1, 0), VERSION_9(200)},
    {"load_quiet", "", LOAD(0, 0), VERSION_9(384)},
    // The version check: equal versions load only when validation fails.
    {"same_version_valid", "image 09", LOAD(0, 0), VERSION_9(384)},
    {"same_version_invalid", "image 09\nvalidate reprogram", LOAD(0, 0), VERSION_9(384)},
    {"same_version_validation_read_fails", "image 09\nfault fail 40 read count 3 on 8c", LOAD(0, 0),
     VERSION_9(384)},
    {"force_skips_version_check", "image 09", LOAD(0, 1), VERSION_9(200)},
    // A first image that reads wrong: read again 2 s apart, a soft reset after
    // the second re-read, a hard reset after the third.
    {"first_image_readable_again", "fault first-image", LOAD(0, 0), VERSION_9(200)},
    // The version compared is the one of the latest read.
    {"first_image_readable_again_same_version", "image 09\nfault first-image", LOAD(0, 0),
     VERSION_9(200)},
    {"first_image_never_readable", "image 09\nfault first-image count 4", LOAD(1, 0),
     VERSION_9(200)},
    {"first_image_hard_reset_fails", "fault first-image count 4\nfault fail 68 write", LOAD(1, 0),
     VERSION_9(200)},
    {"first_image_hard_reset_fails_quiet", "fault first-image count 4\nfault fail 68 write",
     LOAD(0, 0), VERSION_9(200)},
    // Image checks: a failed one keeps the image off the bus.
    {"missing_file", "", GOLDEN_CALL(processCodeLoad(fd, "missing.bin", 1, 0))},
    {"missing_file_quiet", "", GOLDEN_CALL(processCodeLoad(fd, "missing.bin", 0, 0))},
    // A name longer than a trace line: the console shows it whole.
    {"missing_file_long_name", "",
     GOLDEN_CALL(processCodeLoad(fd, std::string(600, 'n').c_str(), 1, 0))},
    // A directory opens but does not read; text fails every header check.
    {"directory_quiet", "", GOLDEN_CALL(processCodeLoad(fd, ".", 0, 0))},
    {"not_an_image", "", LOAD(1, 0), {{"image.bin", "not an image" + std::string(200, 'x')}}},
    // Started with standard input closed, the image file is descriptor 0.
    {"image_on_descriptor_0", "",
     GOLDEN_CALL((golden::StdinClosed(call), processCodeLoad(fd, "image.bin", 0, 1))),
     VERSION_9(200)},
    {"bad_magic", "", LOAD(1, 0), image(9, 384, F::bad_magic)},
    {"bad_crc", "", LOAD(0, 0), image(9, 384, F::bad_crc)},
    {"bad_header_check", "", LOAD(0, 0), image(9, 200, F::bad_header_check)},
    {"empty_file", "", LOAD(1, 0), image(9, 0, F::empty)},
    // Re-sends: a TFB while bytes 12 and 13 have not both changed, a record
    // while the BBU reports a checksum error.
    {"tfb_lost_once_with_delay", "fault tfb-lost 1", LOAD(0, 1), image(9, 384), tfb_delay_20ms,
     running_version},
    {"tfb_lost_three_times", "fault tfb-lost 1 count 3", LOAD(0, 1), VERSION_9(384)},
    {"accept_poll_never_complete", "status 12 10 20\nfault short 40 read 10 count 15 skip 1 on 8f",
     LOAD(0, 1), VERSION_9(384)},
    {"never_ready", "status 0 0xb1", LOAD(1, 1), VERSION_9(200)},
    {"never_ready_quiet", "status 0 0xb1", LOAD(0, 1), VERSION_9(200)},
    // Transfers that carry nothing: TFB 0, record 1 and End_Flash_Load.
    {"writes_carry_nothing",
     "fault short 40 write 0 count 3 skip 3\nfault short 40 write 0 count 3 skip 6\nfault short 60 "
     "write 0 count 3 skip 1",
     LOAD(0, 1), VERSION_9(200)},
    {"checksum_error_once", "fault block-checksum 1", LOAD(0, 1), VERSION_9(384)},
    {"record_write_fails", "fault fail 60 write count 3", LOAD(0, 1), VERSION_9(200)},
    // Failures that end a load.
    {"initial_status_read_fails", "fault fail 40 read skip 1", LOAD(1, 1), image(9, 200)},
    {"initial_status_read_fails_quiet", "fault fail 40 read skip 1", LOAD(0, 1), image(9, 200)},
    {"initial_status_read_carries_nothing", "fault short 40 read 0 skip 1", LOAD(0, 1),
     VERSION_9(200)},
    {"start_flash_load_carries_nothing", "fault short 40 write 0 count 3 skip 1", LOAD(0, 1),
     image(9, 200)},
    {"terminate_check_fails", "fault busy 3 on 8f\nfault error-bits 6 40 on 8f", LOAD(0, 1),
     image(9, 384)},
    {"checksum_error_every_time", "fault block-checksum 1 count 4", LOAD(0, 1), image(9, 384)},
    {"start_flash_load_check_fails", "fault error-bits 6 40 on 89", LOAD(0, 1), image(9, 384)},
    {"short_start_flash_load", "fault short 40 write 1 skip 1", LOAD(1, 1), image(9, 384)},
    {"start_flash_load_write_fails", "fault fail 40 write count 3 skip 1", LOAD(0, 1),
     image(9, 384)},
    {"tfb_check_fails", "busy-polls 0\nfault error-bits 4 80 on 8f", LOAD(0, 1), image(9, 384)},
    {"tfb_write_fails", "fault fail 40 write count 4 on 8f", LOAD(0, 1), image(9, 384)},
    {"tfb_resend_fails", "fault tfb-lost 1\nfault fail 40 write count 3 skip 2 on 8f", LOAD(0, 1),
     image(9, 384)},
    {"tfb_resend_check_fails", "fault tfb-lost 1\nbusy-polls 0\nfault error-bits 4 80 on 8f skip 1",
     LOAD(0, 1), image(9, 384)},
    {"end_flash_load_fails", "fault fail 40 write count 3 skip 8", LOAD(0, 1), VERSION_9(384)},
};

GOLDEN_TABLE(flash_load, kRows)

}  // namespace
