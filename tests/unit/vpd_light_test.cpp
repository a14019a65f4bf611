// VPD read, layout check and code-level update, and the indicator light.
//
// Each call of the table runs in a fresh simulated world and is recorded, in
// tests/data/vpd_light_calls.txt, as what a user or the device would notice:
// the result, what the copy of the image received, the bytes the EEPROM
// changed and status byte 14, every transfer and pause on the bus with its
// virtual time, and, where the row asks, standard output and the trace log.
#include <bbu/bbu.h>

#include "sim_world.h"

namespace {

using Image = std::array<unsigned char, 256>;

Image copy;  // read_vpd_buff's outbuff

struct Call {
    const char *what;
    std::string scenario;
    int (*fn)(int fd);
    int messages;  // 1: record standard output too; 2: and the trace log
};

const Call kCalls[] = {
    // The text stops at the NUL after the EC level; the XOR decides, not the sum.
    {"read 0", "", [](int fd) { return read_vpd_buff(fd, 0, copy.data()); }, 2},
    {"read 1", "vpd 51 20", [](int fd) { return read_vpd_buff(fd, 1, copy.data()); }, 1},
    {"read 0", "vpd 255 f1", [](int fd) { return read_vpd_buff(fd, 0, copy.data()); }, 2},
    {"read 0", "device 54 absent", [](int fd) { return read_vpd_buff(fd, 0, copy.data()); }, 2},
    {"read 0", "vpd 2 \"" + std::string(254, 'A') + "\"",
     [](int fd) { return read_vpd_buff(fd, 0, copy.data()); }, 2},
    {"read_vpd 0", "vpd 0 01", [](int fd) { return read_vpd(fd, 0); }, 0},
    // A wrong stored check byte (byte 51 changed) is repaired.
    {"update B7x 0", "vpd 51 20", [](int fd) { return update_vpd_codelevel(fd, "B7x", 0, 0); }, 2},
    {"update B7 1", "vpd 51 20", [](int fd) { return update_vpd_codelevel(fd, "B7", 1, 1); }, 1},
    {"update 9Z 0", "vpd 0 01 10", [](int fd) { return update_vpd_codelevel(fd, "9Z", 0, 0); }, 1},
    {"update B7 0", "fault vpd-flip 3 01 skip 1",
     [](int fd) { return update_vpd_codelevel(fd, "B7", 0, 0); }, 1},
    {"update B7 0", "fault vpd-flip 15 80 skip 1 count 2",
     [](int fd) { return update_vpd_codelevel(fd, "B7", 0, 0); }, 2},
    {"update B7 0", "fault fail 54 write skip 3",
     [](int fd) { return update_vpd_codelevel(fd, "B7", 0, 0); }, 0},
    // With a 5 ms write cycle, every write after the first finds the part busy.
    {"update B7 0", "vpd-write-cycle 5000",
     [](int fd) { return update_vpd_codelevel(fd, "B7", 0, 0); }, 0},
    {"get_light_status 0", "status 14 a3", [](int fd) { return get_light_status(fd, 0); }, 2},
    {"set_light 0 0", "", [](int fd) { return set_light(fd, 0, 0); }, 2},
    {"set_light 1 1", "", [](int fd) { return set_light(fd, 1, 1); }, 1},
    {"set_light 15 0", "status 14 a3", [](int fd) { return set_light(fd, 15, 0); }, 1},
    {"set_light 16 0", "status 14 a3", [](int fd) { return set_light(fd, 16, 0); }, 1},
    {"set_light -1 0", "status 14 a3", [](int fd) { return set_light(fd, -1, 0); }, 1},
    {"set_light 5 0", "status 14 a3\nfault fail 40 write",
     [](int fd) { return set_light(fd, 5, 0); }, 1},
    {"set_light 0 0", "device 40 absent", [](int fd) { return set_light(fd, 0, 0); }, 1},
    {"set_light 2 0", "device 40 absent", [](int fd) { return set_light(fd, 2, 0); }, 1},
};

using VpdLight = SimWorldTest;

TEST_F(VpdLight, EachCallAsRecorded)
{
    std::string record;
    for (const Call &c : kCalls) {
        start_world(true);
        apply(c.scenario);
        const auto before = bbusim::peek_vpd();
        copy.fill(0x5a);
        const int fd = open_I2C_device(0);
        int rc = 0;
        const std::string out = bbutest::capture([&] { rc = c.fn(fd); }).out;
        close_I2C_device(fd);

        const auto after = bbusim::peek_vpd();
        char line[64];
        std::snprintf(line, sizeof line, "result %d, status byte 14 %02x\neeprom", rc,
                      bbusim::peek_status()[14]);
        record += std::string("== ") + c.what + " | " + c.scenario + "\n" + line;
        for (std::size_t i = 0; i < after.size(); ++i) {
            std::snprintf(line, sizeof line, " %02zx:%02x>%02x", i, before[i], after[i]);
            record += before[i] != after[i] ? line : "";
        }
        record += copy == before    ? "\ncopy: the eeprom\n"
                  : copy == Image{} ? "\ncopy: zeros\n"
                                    : "\n";
        // Transfers and pauses; the bytes a read delivered show in the dumps.
        for (const std::string &t : bbusim::transcript())
            if (t.find(" open ") == std::string::npos && t.find(" close ") == std::string::npos)
                record +=
                    "  " + t.substr(0, t.find(" read ") == t.npos ? t.npos : t.find(" : ")) + "\n";
        record += c.messages > 0 ? "stdout:\n" + out : "";
        record += c.messages > 1 ? "trace:\n" + trace_messages() : "";
    }
    EXPECT_EQ(record, read_file(VPD_LIGHT_CALLS));
}

TEST_F(VpdLight, LayoutCheckGivesTheFirstCheckThatFails)
{
    const Image good = bbusim::peek_vpd();
    EXPECT_EQ(bad_vpd(good.data()), 0);
    // Each head's last byte becomes a NUL, last check first: each fails alone,
    // and with all the later ones broken too the first still decides.
    const int head_end[] = {4, 15, 26, 41, 55, 64, 77, 91, 99, 111};
    Image all_broken = good;
    all_broken[0] = 0x01;
    EXPECT_EQ(bad_vpd(all_broken.data()), 11);
    for (int i = 9; i >= 0; --i) {
        Image one = good;
        one[head_end[i]] = all_broken[head_end[i]] = 0x00;
        EXPECT_EQ(bad_vpd(one.data()), i + 1);
        EXPECT_EQ(bad_vpd(all_broken.data()), i + 1);
    }
}

}  // namespace
