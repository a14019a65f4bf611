// default_world.cpp - the BBU, VPD EEPROM and clock that a fresh world holds:
// a healthy three-string BBU that has been running for about two weeks.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "devices.h"
#include "firmware_image.h"

namespace bbusim {
namespace {

constexpr std::array<std::uint8_t, kStatusLen> kStatus = {
    0x31, 0xce,              // proper and actual connection, non_zero; complement
    0x00,                    // no threshold or power events
    0x20,                    // state_save_avail
    0x00, 0x00,              // no interface errors
    0x10,                    // valid_image
    0xe0,                    // all_acok, all_charger_ok, all_battery_ok
    0x00, 0x12, 0xd6, 0x87,  // elapsed time: 1234567 s
    0x00, 0x00,              // spare
    0x10,                    // charging state LED 1, no service fault
    0x00,                    // data in cache LED off
    0x0b, 0xb8,              // TCBLA
    0x30,                    // 3 battery strings
    0x00,                    // no command in progress
    0x00, 0x1b,              // average temperature 27
    0x00, 0xa8,              // capacity period
    0x01, 0x2c,              // backup discharge current
    0x02, 0x58,              // FET sense A
    0x03, 0x84,              // A/D test point
    0x05, 0x12,              // firmware version 5, sub-version 0x12
};
constexpr std::uint8_t kFirmwareVersion = kStatus[30];

constexpr std::array<std::uint8_t, kStateSaveLen> kStateSave = {
    // 16 bytes of stack
    0x0f, 0xa2, 0x00, 0x3c, 0x12, 0x7e, 0x00, 0x00, 0x1d, 0x40, 0x00, 0x08, 0x2f, 0x10, 0x00, 0x01,
    0x03,                                                  // battery number
    0x02, 0x02, 0x02,                                      // current state of each string
    0x01, 0x02, 0x03, 0x02, 0x01, 0x02, 0x03, 0x02, 0x02,  // previous states, string 0
    0x01, 0x02, 0x03, 0x02, 0x01, 0x02, 0x03, 0x02, 0x02,  // string 1
    0x01, 0x02, 0x04, 0x02, 0x01, 0x02, 0x03, 0x02, 0x02,  // string 2
    0x00, 0x01, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02,  // history states, string 0
    0x00, 0x01, 0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02,  // string 1
    0x00, 0x01, 0x01, 0x02, 0x02, 0x04, 0x02, 0x02, 0x02,  // string 2
    0x01, 0x01, 0x03,                                      // change reasons
    0x00, 0x00, 0x00,                                      // error codes
};

// One battery string's status; strings differ a little in their measurements.
void default_string(std::uint8_t *s, unsigned i)
{
    const std::array<std::uint8_t, kStringLen> base = {
        0x41, 0x00, 0x00, 0x02,  // status, status, fault code, status
        0x00, 0x0c,              // delta-V charge
        0x00, 0x12, 0xd6, 0x40,  // elapsed seconds
        0x00, 0x00, 0x1c, 0x20,  // capacity
        0x33, 0x90,              // battery voltage A
        0x00, 0x96,              // charge current
        0x00, 0x64,              // iCTL
        0x02, 0x1c,              // thermistor
        0x00, 0x01, 0x5f, 0x90,  // temperature accumulator
        0x40,                    // accumulator count
        0x03,                    // days since charge
        0x01, 0xf4,              // test discharge current
        0x32, 0xc8,              // test voltage
    };
    std::memcpy(s, base.data(), kStringLen);
    const auto d = static_cast<std::uint8_t>(i);
    s[5] = static_cast<std::uint8_t>(s[5] + d);
    s[9] = static_cast<std::uint8_t>(s[9] - 17 * d);
    s[13] = static_cast<std::uint8_t>(s[13] - 8 * d);
    s[15] = static_cast<std::uint8_t>(s[15] + 5 * d);
    s[17] = static_cast<std::uint8_t>(s[17] + 3 * d);
    s[21] = static_cast<std::uint8_t>(s[21] + 2 * d);
    s[25] = static_cast<std::uint8_t>(s[25] + d);
    s[27] = static_cast<std::uint8_t>(s[27] + d);
    s[29] = static_cast<std::uint8_t>(s[29] - d);
    s[31] = static_cast<std::uint8_t>(s[31] + 4 * d);
}

void put_text(std::uint8_t *mem, std::size_t offset, const char *text)
{
    std::copy_n(text, std::strlen(text),
                mem + offset);  // no terminator: VPD fields are not strings
}

// A well-formed VPD image: keyword fields at their offsets, XOR check byte.
void default_vpd(std::uint8_t *mem)
{
    std::memset(mem, 0, kVpdLen);
    mem[1] = 0xfd;
    put_text(mem, 2, "PN=00AB1234");
    put_text(mem, 13, "FN=00AB1235");
    put_text(mem, 24, "SN=YLSIM0000001");
    put_text(mem, 39, "EC=H12345   ");
    put_text(mem, 52, "MFR=BBUSIM");
    put_text(mem, 62, "CL=0105A101");
    put_text(mem, 73, "name=BBU       ");
    put_text(mem, 88, "DFL=00001");
    put_text(mem, 97, "PC=SIM00001");
    put_text(mem, 108, "BAT=3S1P");
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < kVpdLen; ++i)
        x ^= mem[i];
    mem[kVpdLen - 1] = x;
}

}  // namespace

void world_defaults(World &w, std::int64_t wall_now_us)
{
    w.adapter_count = 1;
    std::memset(w.adapters, 0, sizeof w.adapters);
    std::snprintf(w.adapters[0], sizeof w.adapters[0], "%s", kDefaultAdapter);
    w.now_us = 0;
    w.wall_offset_us = wall_now_us;
    w.real_time = 0;
    w.log_dir = 1;
    std::memset(w.absent, 0, sizeof w.absent);

    Bbu &b = w.bbu;
    b = Bbu{};
    std::memcpy(b.status, kStatus.data(), kStatusLen);
    std::memcpy(b.state_save, kStateSave.data(), kStateSaveLen);
    for (unsigned i = 0; i < kMaxStrings; ++i)
        default_string(b.strings[i], i);
    b.busy_polls = 1;
    // The first image: a valid image of the running firmware's version.
    const std::vector<std::uint8_t> image = make_image(kFirmwareVersion);
    store_image(w, image.data(), image.size());

    w.eeprom = Eeprom{};
    default_vpd(w.eeprom.mem);

    w.rtc = Rtc{};
    w.rtc.regs[0x0e] = 0x18;  // control: RS2 and RS1, as after power-up

    for (Fault &f : w.faults)
        f = Fault{};
    w.bus_clock_hz = 0;
    device_choices_defaults(w);
}

}  // namespace bbusim
