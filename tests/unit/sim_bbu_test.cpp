// The device models as whole bus sessions: the BBU's general status and
// command-response conversation, the VPD EEPROM and the real-time clock. The
// default world's bytes and a whole capture are in the golden files of the
// end-to-end tests.
#include "golden.h"
#include "sim_bus.h"

namespace {

// A frame, a read at 0x60 before the BBU offers anything, two status polls
// (busy, then done), then the response block read twice.
void command(int fd, const Bytes &frame, std::size_t block_len)
{
    wr(fd, 0x40, frame);
    rd(fd, 0x60, block_len);
    rd(fd, 0x40, 33);
    rd(fd, 0x40, 33);
    rd(fd, 0x60, block_len);
    rd(fd, 0x60, block_len);
}

// A bad frame, then a good command run to its end: its status clears the error.
void bad_frame(int fd, const Bytes &frame)
{
    wr(fd, 0x40, frame);
    rd(fd, 0x40, 33);
    rd(fd, 0x60, 38);
    wr(fd, 0x40, {0xc8, 0x00, 0xc8});
    rd(fd, 0x40, 33);
    rd(fd, 0x40, 33);
}

const std::string kData32 = "30 31 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f 40 41 42 43 44 45 46 "
                            "47 48 49 4a 4b 4c 4d 4e 4f";

const golden::Row kRows[] = {
    {"status_any_length", "",
     GOLDEN_CALL(rd(fd, 0x40, 1), rd(fd, 0x40, 32), rd(fd, 0x40, 33), rd(fd, 0x40, 40))},
    {"status_bytes_and_seconds", "status 8 00 00 01 00\nstatus 14 21 40",
     GOLDEN_CALL(sleep(300), usleep(999999), rd(fd, 0x40, 33))},
    {"string_1", "string 1 0 " + kData32,
     GOLDEN_CALL(sleep(7), command(fd, {0xc4, 0x01, 0xc5}, 38))},
    // A bad check byte, an unknown command, a wrong length, strings 0 and 4.
    {"bad_frames", "",
     GOLDEN_CALL(bad_frame(fd, {0xc8, 0x00, 0xc9}), bad_frame(fd, {0xc7, 0x00, 0xc7}),
                 bad_frame(fd, {0xc8, 0xc8}), bad_frame(fd, {0xc4, 0x00, 0xc4}),
                 bad_frame(fd, {0xc4, 0x04, 0xc8}))},
    {"one_string_only", "strings 1", GOLDEN_CALL(bad_frame(fd, {0xc4, 0x02, 0xc6}))},
    {"command_while_busy", "",
     GOLDEN_CALL(wr(fd, 0x40, {0xc8, 0x00, 0xc8}), wr(fd, 0x40, {0xc4, 0x01, 0xc5}),
                 rd(fd, 0x40, 33), rd(fd, 0x40, 33), rd(fd, 0x60, 86), wr(fd, 0x60, Bytes(134)))},
    {"peek_is_no_poll", "",
     GOLDEN_CALL(wr(fd, 0x40, {0xc8, 0x00, 0xc8}),
                 call.notes.push_back("peek| " + hex(bbusim::peek_status().data(), 33)),
                 call.notes.push_back("peek| " + hex(bbusim::peek_status().data(), 33)),
                 rd(fd, 0x40, 33), rd(fd, 0x40, 33))},
    // Byte writes and a read from a set address; a plain read goes on from
    // there; a write wraps within its 8-byte page, a read at the memory's end.
    {"vpd_addressing", "",
     GOLDEN_CALL(wr(fd, 0x54, {0x47, 'Z'}), wr(fd, 0x54, {0x48, 'Y'}), wr(fd, 0x54, {0x47}),
                 rd(fd, 0x54, 2), rd(fd, 0x54, 1), wr(fd, 0x54, {0x00}), rd(fd, 0x54, 9),
                 wr(fd, 0x54, {0x06, 1, 2, 3}), wr(fd, 0x54, {0x00}), rd(fd, 0x54, 9),
                 wr(fd, 0x54, {0xff}), rd(fd, 0x54, 2))},
    // 2024-02-29 23:59:58, a Thursday; three seconds later, Friday March 1st.
    // Alarm and control registers keep what is written.
    {"clock_runs", "",
     GOLDEN_CALL(wr(fd, 0x68, {0x00, 0x58, 0x59, 0x23, 0x05, 0x29, 0x02, 0x24}), sleep(3),
                 wr(fd, 0x68, {0x00}), rd(fd, 0x68, 7),
                 wr(fd, 0x68, {0x07, 0x80, 0x80, 0x80, 0x80}), wr(fd, 0x68, {0x0e, 0x05}),
                 wr(fd, 0x68, {0x07}), rd(fd, 0x68, 9))},
    // Choices a real BBU may make: what fills reads beyond the status and an
    // idle window, the carried bytes of a response, byte 19 and byte 4 bit
    // 0x08 while a command runs; power_up from the start; EREMOTEIO for an
    // absent device and an EEPROM in its write cycle.
    {"choices_fills_and_carried_bytes",
     "device idle-response random\ndevice status-tail zeros\ndevice response-ctr-len random\n"
     "device command-byte random\ndevice i2c-busy-bit during-command\ndevice block-tail random",
     GOLDEN_CALL(rd(fd, 0x40, 40), command(fd, {0xc8, 0x00, 0xc8}, 86), rd(fd, 0x60, 90))},
    {"choices_command_byte_zero", "device command-byte zero",
     GOLDEN_CALL(wr(fd, 0x40, {0xc8, 0x00, 0xc8}), rd(fd, 0x40, 33))},
    {"choices_power_up_and_nack",
     "device power-up start set\ndevice nack EREMOTEIO\nvpd-write-cycle 10000",
     GOLDEN_CALL(rd(fd, 0x40, 33), rd(fd, 0x7f, 1), wr(fd, 0x54, {0x00, 0x01}), rd(fd, 0x54, 1))},
    {"absent_device", "device 54 absent",
     GOLDEN_CALL(rd(fd, 0x54, 1), bbusim::apply("device 0x54 present"), rd(fd, 0x54, 1))},
};

GOLDEN_TABLE(sim_bbu, kRows)

}  // namespace
