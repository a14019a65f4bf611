// The flashable BBU as whole bus sessions: the flash load, read-memory,
// validation, restarts, the clock's alarm reset and the bus timing
// (bbusim-mkimage, which writes test images, has a session of bbusim's own).
#include <cstdio>
#include <set>

#include "golden.h"
#include "sim_bus.h"

namespace {

using bbusim::make_image;

// Status reads until one has the bits of `mask` in byte `at` set (`set`) or
// clear, at most `max` of them.
void poll(int fd, int max, std::size_t at, std::uint8_t mask, bool set)
{
    for (int n = 0;
         n < max && ((rdwr(fd, 0x40, true, Bytes(33, 0xa5)).data[at] & mask) != 0) != set;)
        ++n;
}

void run(int fd, const Bytes &frame)
{
    wr(fd, 0x40, frame);
    poll(fd, 50, 0, 0x80, false);  // until commandInProgress clears
}

void until_power_up(int fd)
{
    poll(fd, 40, 2, 0x04, true);
}

// The record of block n as the load builds it.
Bytes record(const Bytes &img, unsigned n)
{
    Bytes r(134, 0);
    const std::size_t at = n * 128u, len = std::min<std::size_t>(128, img.size() - at);
    r[0] = 0x8f;
    r[1] = r[4] = static_cast<std::uint8_t>(n);
    r[2] = static_cast<std::uint8_t>(len);
    r[3] = static_cast<std::uint8_t>(n >> 8);
    std::copy_n(img.begin() + static_cast<long>(at), len, r.begin() + 5);
    r[133] = end_around_sum(r.data(), 133);
    return r;
}

// Whether the flash holds the image's first `n` bytes (all by default) at 0x1000.
void note_stored(golden::Call &call, Bytes img, std::size_t n = SIZE_MAX)
{
    img.resize(std::min(n, img.size()));
    const bool same = bbusim::peek_memory(0x1000, img.size()) == img;
    note(call, "memory", std::string("0x1000 holds the image: ") + (same ? "yes" : "no"));
}

// Start, every block with its terminate byte and TFB (but those in `no_tfb`),
// each followed by a status read, End_Flash_Load and the restart, then
// validate-image and the status 10 s later.
void load(golden::Call &call, const Bytes &img, const std::set<unsigned> &no_tfb = {})
{
    run(call.fd, {0x89, 0x89});
    for (unsigned n = 0; n * 128 < img.size(); ++n) {
        wr(call.fd, 0x60, record(img, n));
        wr(call.fd, 0x40, {0x01});
        if (no_tfb.count(n) == 0)
            wr(call.fd, 0x40, {0x8f, 0x8f});
        rd(call.fd, 0x40, 33);
    }
    wr(call.fd, 0x40, {0x8a, 0x8a});
    until_power_up(call.fd);
    wr(call.fd, 0x40, {0x8c, 0x8c});
    sleep(10);
    rd(call.fd, 0x40, 33);
    note_stored(call, img);
}

// Block 5's record with byte `at` set to `value` (134: one byte short), its
// check byte made right unless `at` is the check byte; then two good records.
void record_checks(int fd, int at, std::uint8_t value)
{
    run(fd, {0x89, 0x89});
    Bytes r = record(make_image(1), 5);
    if (at == 134)
        r.pop_back();
    else
        r[static_cast<std::size_t>(at)] = value;
    if (at < 133)
        r[133] = end_around_sum(r.data(), 133);
    for (const Bytes &each : {r, record(make_image(1), 5), record(make_image(1), 5)}) {
        wr(fd, 0x60, each);
        rd(fd, 0x40, 33);
    }
}

// read-memory: the frame (its check byte added), then at once the 256-byte
// response.
void memory(int fd, std::uint32_t addr, std::uint8_t count)
{
    Bytes f = {0xe0, 0x90, count, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        f[3 + i] = static_cast<std::uint8_t>(addr >> (24 - 8 * i));
    f.push_back(end_around_sum(f.data(), 7));
    wr(fd, 0x40, f);
    rd(fd, 0x60, 256);
}

void frame_then_status(int fd, Bytes f)
{
    f.push_back(end_around_sum(f.data(), f.size()));
    wr(fd, 0x40, f);
    rd(fd, 0x40, 33);
}

// End_Flash_Load from flash-program mode with power_up already shown, the
// polls until it shows again, then clear status.
void restart(int fd)
{
    wr(fd, 0x40, {0x8a, 0x8a});
    until_power_up(fd);
    rd(fd, 0x40, 33);
    wr(fd, 0x40, {0xe9, 0xe9});
    rd(fd, 0x40, 33);
}

// The alarm and control registers written 0.75 s before a whole second, then
// the control/status register and the BBU's status 2 s later.
void alarm(int fd, const Bytes &alarm, const Bytes &control)
{
    wr(fd, 0x68, alarm);
    wr(fd, 0x68, control);
    sleep(2);
    wr(fd, 0x68, {0x0f});
    rd(fd, 0x68, 1);
    rd(fd, 0x40, 33);
}

const Bytes kAlarmEverySecond = {0x07, 0x80, 0x80, 0x80, 0x80}, kIntcnA1ie = {0x0e, 0x05, 0x00};

const golden::Row kRows[] = {
    // End_Flash_Load keeps only a whole image.
    {"load_last_block_not_taken", "", GOLDEN_CALL(load(call, make_image(7, 200), {1}))},
    // A block is taken by the TFB after its terminate byte, not before; a
    // lost TFB never reaches the BBU.
    {"tfb_after_terminate_byte", "fault tfb-lost 0 count 2",
     GOLDEN_CALL(run(fd, {0x89, 0x89}), wr(fd, 0x60, record(make_image(9), 0)),
                 wr(fd, 0x40, {0x8f, 0x8f}), rd(fd, 0x40, 33), wr(fd, 0x40, {0x01}),
                 rd(fd, 0x40, 33), wr(fd, 0x40, {0x8f, 0x8f}), rd(fd, 0x40, 33),
                 wr(fd, 0x40, {0x8f, 0x8f}), rd(fd, 0x40, 33), wr(fd, 0x40, {0x8f, 0x8f}),
                 rd(fd, 0x40, 33), note_stored(call, make_image(9), 128))},
    {"outside_flash_mode", "",
     GOLDEN_CALL(wr(fd, 0x40, {0x01}), rd(fd, 0x40, 33), wr(fd, 0x60, record(make_image(1), 0)),
                 rd(fd, 0x40, 33), wr(fd, 0x40, {0x8f, 0x8f}), rd(fd, 0x40, 33))},
    // A record is checked as it arrives; a good one clears the error.
    {"record_bad_sumcheck", "", GOLDEN_CALL(record_checks(fd, 133, 0x00))},
    {"record_one_byte_short", "", GOLDEN_CALL(record_checks(fd, 134, 0))},
    {"record_length_zero", "", GOLDEN_CALL(record_checks(fd, 2, 0x00))},
    {"record_length_over_128", "", GOLDEN_CALL(record_checks(fd, 2, 0x81))},
    {"record_not_tfb_command", "", GOLDEN_CALL(record_checks(fd, 0, 0x8e))},
    {"read_memory_bad_frames", "",
     GOLDEN_CALL(frame_then_status(fd, {0xe0, 0x90, 0x00, 0, 0, 0x10, 0}),
                 frame_then_status(fd, {0xe0, 0x90, 0x81, 0, 0, 0x10, 0}),
                 frame_then_status(fd, {0xe0, 0x91, 0x20, 0, 0, 0x10, 0}),
                 frame_then_status(fd, {0xe0, 0x90, 0x20, 0, 0, 0x10}))},
    // The clock's alarm resets the processor only when it matches and may
    // interrupt.
    {"alarm_day_matched", "clock @1000000000.250000\nstatus 4 02",
     GOLDEN_CALL(alarm(fd, {0x07, 0x80, 0x80, 0x80, 0x01}, kIntcnA1ie))},
    {"alarm_no_intcn", "clock @1000000000.250000\nstatus 4 02",
     GOLDEN_CALL(alarm(fd, kAlarmEverySecond, {0x0e, 0x01, 0x00}))},
    {"alarm_flag_still_set", "clock @1000000000.250000\nstatus 4 02",
     GOLDEN_CALL(alarm(fd, kAlarmEverySecond, {0x0e, 0x05, 0x01}))},
    // Each message takes its bits' time; a failed one its address's.
    {"bus_clock", "",
     GOLDEN_CALL(rd(fd, 0x40, 33), bbusim::apply("bus-clock 100000\nfault fail 54"),
                 rd(fd, 0x40, 33), wr(fd, 0x60, Bytes(134)), rd(fd, 0x54, 8),
                 bbusim::apply("bus-clock 400000"), wr(fd, 0x40, {0x8f, 0x8f}),
                 bbusim::apply("bus-clock off"), rd(fd, 0x40, 1))},
    // Choices a real BBU may make: a slow programming that keeps byte 30 and
    // never shows valid_image, random block counters; the verdict at 10 s;
    // random bytes around read-memory's data, blank memory random but stable;
    // power_up and errors that neither clear status nor a restart clears.
    {"choices_load",
     "device program-time 10\ndevice version-byte keeps\ndevice valid-image-bit never\n"
     "device block-counter random",
     GOLDEN_CALL(load(call, make_image(7, 200)), wr(fd, 0x40, {0x8c, 0x8c}), sleep(10),
                 rd(fd, 0x40, 33))},
    {"choices_validation_after_10s", "memory 0x1000 00\ndevice validate-time 10",
     GOLDEN_CALL(wr(fd, 0x40, {0x8c, 0x8c}), usleep(9999999), rd(fd, 0x40, 33), usleep(1),
                 rd(fd, 0x40, 33))},
    {"choices_read_memory",
     "device response-header random\ndevice response-check random\n"
     "device response-padding random\ndevice blank-memory random",
     GOLDEN_CALL(memory(fd, 0x1000, 8), memory(fd, 0x10ffe, 4), memory(fd, 0x10ffe, 4))},
    {"choices_restart",
     "device power-up restart keeps\ndevice clear-status keeps power-up\n"
     "device clear-status keeps errors\nstatus 2 04\nstatus 4 02",
     GOLDEN_CALL(frame_then_status(fd, {0xc7, 0x00}), frame_then_status(fd, {0xe9}), restart(fd),
                 frame_then_status(fd, {0xc8, 0x00}))},
};

GOLDEN_TABLE(sim_flash, kRows)

}  // namespace
