// Transfers, retried transfers, the status displays and reads, and the
// checked status read, as whole sessions.
#include <bbu/bbu.h>

#include <cstring>

#include "golden.h"

namespace {

// The command frame C8 00 C8 at the start of the caller's buffer.
void frame(golden::Call &call)
{
    call.buf[0] = call.buf[2] = 0xc8;
    call.buf[1] = 0x00;
}

// A call on the frame C8 00 C8.
#define FRAMED(...) GOLDEN_CALL(__VA_ARGS__), {}, frame

const golden::Row kTransfers[] = {
    {"read", "", GOLDEN_CALL(do_i2c_read(fd, 0x40, 33, cbuf, 1))},
    {"read_quiet", "", GOLDEN_CALL(do_i2c_read(fd, 0x40, 33, cbuf, 0))},
    {"read_fails", "fault fail 0x40", GOLDEN_CALL(do_i2c_read(fd, 0x40, 33, cbuf, 1))},
    {"read_fails_quiet", "fault fail 0x40", GOLDEN_CALL(do_i2c_read(fd, 0x40, 33, cbuf, 0))},
    {"read_no_device", "", GOLDEN_CALL(do_i2c_read(fd, 0x23, 4, cbuf, 1))},
    {"read_short", "fault short 0x60 read 20", GOLDEN_CALL(do_i2c_read(fd, 0x60, 86, cbuf, 1))},
    {"write", "", FRAMED(do_i2c_write(fd, 0x40, 3, cbuf, 1))},
    {"write_quiet", "", FRAMED(do_i2c_write(fd, 0x40, 3, cbuf, 0))},
    {"write_fails", "fault fail 0x40", FRAMED(do_i2c_write(fd, 0x40, 3, cbuf, 1))},
    {"write_fails_quiet", "fault fail 0x40", FRAMED(do_i2c_write(fd, 0x40, 3, cbuf, 0))},
    {"write_no_device", "", FRAMED(do_i2c_write(fd, 0x23, 1, cbuf, 1))},
    {"write_short", "fault short 0x40 write 1", FRAMED(do_i2c_write(fd, 0x40, 3, cbuf, 1))},
};

GOLDEN_TABLE(transfers, kTransfers)

const golden::Row kRetries[] = {
    {"read_at_first_attempt", "", GOLDEN_CALL(I2C_command_with_retry(1, fd, 0x40, 33, cbuf, 0))},
    {"read_at_third_attempt", "fault fail 0x40 read count 2",
     GOLDEN_CALL(I2C_command_with_retry(1, fd, 0x40, 33, cbuf, 0))},
    {"read_at_third_attempt_verbose", "fault fail 0x40 read count 2",
     GOLDEN_CALL(I2C_command_with_retry(1, fd, 0x40, 33, cbuf, 1))},
    {"read_never", "fault fail 0x40 read count 3",
     GOLDEN_CALL(I2C_command_with_retry(1, fd, 0x40, 33, cbuf, 0))},
    {"read_no_device", "", GOLDEN_CALL(I2C_command_with_retry(1, fd, 0x23, 4, cbuf, 0))},
    {"write_at_first_attempt", "", FRAMED(I2C_command_with_retry(2, fd, 0x40, 3, cbuf, 0))},
    {"write_at_third_attempt", "fault fail 0x40 write count 2",
     FRAMED(I2C_command_with_retry(2, fd, 0x40, 3, cbuf, 0))},
    {"write_never", "fault fail 0x40 write count 5",
     FRAMED(I2C_command_with_retry(2, fd, 0x40, 3, cbuf, 0))},
    {"zero_length_read", "", GOLDEN_CALL(I2C_command_with_retry(1, fd, 0x40, 0, cbuf, 0))},
    {"zero_length_write", "", GOLDEN_CALL(I2C_command_with_retry(2, fd, 0x40, 0, cbuf, 0))},
    // A direction that is neither is refused before any transfer, quietly.
    {"direction_0", "", GOLDEN_CALL(I2C_command_with_retry(0, fd, 0x40, 8, cbuf, 1))},
    {"direction_3", "", GOLDEN_CALL(I2C_command_with_retry(3, fd, 0x40, 8, cbuf, 1))},
    {"direction_minus_1", "", GOLDEN_CALL(I2C_command_with_retry(-1, fd, 0x40, 8, cbuf, 1))},
};

GOLDEN_TABLE(retries, kRetries)

// Bytes first, first + 1, ... in the caller's buffer.
template <unsigned char First>
void counting(golden::Call &call)
{
    for (std::size_t i = 0; i < 64; ++i)
        call.buf[i] = static_cast<unsigned char>(First + i);
}

// A 48-byte status block: bytes 0 and 2 to 6 as given, bytes 1 and 7 all ones
// (no line of their own: they must not leak into one), the rest zero.
template <unsigned char B0, unsigned char B2, unsigned char B3, unsigned char B4, unsigned char B5,
          unsigned char B6>
void status_block(golden::Call &call)
{
    const unsigned char block[8] = {B0, 0xff, B2, B3, B4, B5, B6, 0xff};
    std::memset(call.buf.data(), 0, 48);
    std::memcpy(call.buf.data(), block, sizeof block);
}

#define DISPLAY(...) GOLDEN_CALL(print_general_status("m", cbuf)), {}, status_block<__VA_ARGS__>

const golden::Row kStatus[] = {
    // The hex dump: full lines traced, a short last line on the console only.
    {"dump_0", "", GOLDEN_CALL(print_buffer("image header", buf, 0)), {}, counting<0>},
    {"dump_3", "", GOLDEN_CALL(print_buffer("image header", buf, 3)), {}, counting<0>},
    {"dump_8", "", GOLDEN_CALL(print_buffer("image header", buf, 8)), {}, counting<0>},
    {"dump_16", "", GOLDEN_CALL(print_buffer("image header", buf, 16)), {}, counting<0>},
    {"dump_20", "", GOLDEN_CALL(print_buffer("image header", buf, 20)), {}, counting<0>},
    {"dump_38", "", GOLDEN_CALL(print_buffer("image header", buf, 38)), {}, counting<0xf0>},
    // Every label in table order; the bits without one never named.
    {"display_all_bits", "", DISPLAY(0xff, 0xff, 0xff, 0xff, 0xff, 0xff)},
    {"display_unnamed_bits", "", DISPLAY(0x33, 0xf1, 0x07, 0xf7, 0x00, 0x87)},
    {"display_zero", "", DISPLAY(0, 0, 0, 0, 0, 0)},
    // Plain reads: the working buffer handed over, zeros where the read left them.
    {"read_verbose_2", "status 5 0x41",
     GOLDEN_CALL(read_and_print_status(fd, "light", nullptr, 2))},
    {"read_verbose", "status 5 0x41", GOLDEN_CALL(read_and_print_status(fd, "light", sar, 1))},
    {"read_quiet", "", GOLDEN_CALL(read_and_print_status(fd, "light", sar, 0))},
    {"read_retry_0_fails", "fault fail 0x40 read",
     GOLDEN_CALL(read_and_print_status_with_retry(0, fd, "soft reset", sar, 0))},
    {"read_retry_1", "fault fail 0x40 read count 2",
     GOLDEN_CALL(read_and_print_status_with_retry(1, fd, "soft reset", sar, 0))},
    {"read_retry_7", "fault fail 0x40 read count 1",
     GOLDEN_CALL(read_and_print_status_with_retry(7, fd, "soft reset", sar, 0))},
    {"read_retry_1_fails", "fault fail 0x40 read count 3",
     GOLDEN_CALL(read_and_print_status_with_retry(1, fd, "soft reset", sar, 0))},
};

GOLDEN_TABLE(status, kStatus)

// What an earlier checked read left: checksumError raised, global_GSS full.
void earlier_read(golden::Call &)
{
    checksumError = 1;
    std::memset(global_GSS, 0x77, sizeof global_GSS);
}

#define CHECKED(...) GOLDEN_CALL(read_and_print_status_with_checks(fd, "TFB", __VA_ARGS__))

const golden::Row kChecked[] = {
    // Bits the checks leave alone: operation mode, valid image, the switch...
    {"clean_with_unchecked_bits", "status 4 0x03 0x00 0x9f", CHECKED(sar, 0)},
    {"bytes_4_and_6", "status 4 0x80 0x00 0x20", CHECKED(sar, 0)},
    {"checksum_error_bit", "status 4 0x04 0x03 0x40", CHECKED(sar, 0)},
    {"checksum_error_stays", "", CHECKED(sar, 0), {}, earlier_read},
    {"verbose", "status 5 0x01", CHECKED(sar, 1)},
    {"verbose_2", "status 5 0x01", CHECKED(nullptr, 2)},
    {"corrupt_check_byte", "status 5 0x01\nfault gss-check count 3", CHECKED(sar, 1)},
    {"read_fails", "fault fail 0x40 read count 3", CHECKED(sar, 1), {}, earlier_read},
    {"short_read", "fault short 0x40 20 read", CHECKED(sar, 0)},
};

GOLDEN_TABLE(checked_read, kChecked)

}  // namespace
