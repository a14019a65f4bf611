// Image validation and the memory dump as whole sessions.
#include <bbu/bbu.h>

#include "golden.h"

namespace {

const golden::Row kRows[] = {
    {"validate_valid", "", GOLDEN_CALL(validate_img(fd, 1))},
    {"validate_valid_quiet", "", GOLDEN_CALL(validate_img(fd, 0))},
    {"validate_reprogram", "validate reprogram", GOLDEN_CALL(validate_img(fd, 0))},
    {"validate_nonzero_clear", "validate none", GOLDEN_CALL(validate_img(fd, 1))},
    {"validate_second_read_fails", "fault fail 40 read count 3 skip 1",
     GOLDEN_CALL(validate_img(fd, 0))},
    {"validate_second_read_corrupt", "fault gss-check skip 1", GOLDEN_CALL(validate_img(fd, 0))},
    {"dump_first_image_verbose", "", GOLDEN_CALL(dump_memory(fd, 0x1000, 32, nullptr, buf, 1))},
    // Three chunks, into a file longer than the dump: its tail stays.
    {"dump_300_to_buffer_and_file",
     "",
     GOLDEN_CALL(dump_memory(fd, 0x1000, 300, "dump.bin", buf, 0)),
     {{"dump.bin", std::string(400, 'x')}}},
    // Started with standard input closed, the dump file is descriptor 0.
    {"dump_to_descriptor_0", "",
     GOLDEN_CALL((golden::StdinClosed(call), dump_memory(fd, 0x1000, 16, "dump.bin", nullptr, 0)))},
    {"dump_nothing_creates_file", "",
     GOLDEN_CALL(dump_memory(fd, 0x1000, 0, "fresh.bin", nullptr, 0))},
    {"dump_transfers_fail", "fault fail 40 write\nfault fail 60 read",
     GOLDEN_CALL(dump_memory(fd, 0x1000, 16, "no/such/dir.bin", buf, 1))},
};

GOLDEN_TABLE(validate_dump, kRows)

}  // namespace
