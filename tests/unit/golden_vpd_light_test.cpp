// VPD read and code-level update, and the indicator light, as whole sessions.
#include <bbu/bbu.h>

#include "bbusim.h"
#include "golden.h"

namespace {

const golden::Row kVpd[] = {
    // The text stops at the NUL after the EC level; the XOR decides, not the sum.
    {"read_quiet", "", GOLDEN_CALL(read_vpd_buff(fd, 0, buf))},
    {"read_verbose_bad_check_byte", "vpd 51 20", GOLDEN_CALL(read_vpd_buff(fd, 1, buf))},
    {"read_sum_is_not_the_check", "vpd 255 f1", GOLDEN_CALL(read_vpd_buff(fd, 0, buf))},
    {"read_absent", "device 54 absent", GOLDEN_CALL(read_vpd_buff(fd, 0, buf))},
    {"read_text_without_nul", "vpd 2 \"" + std::string(254, 'A') + "\"",
     GOLDEN_CALL(read_vpd_buff(fd, 0, buf))},
    {"read_vpd", "vpd 0 01", GOLDEN_CALL(read_vpd(fd, 0))},
    {"read_vpd_verbose", "", GOLDEN_CALL(read_vpd(fd, 1))},
    // A wrong stored check byte (byte 51 changed) is repaired.
    {"update_repairs_check_byte", "vpd 51 20", GOLDEN_CALL(update_vpd_codelevel(fd, "B7x", 0, 0))},
    // Byte 0 not zero, then a head that differs once: both read again.
    {"update_verbose", "vpd 0 01\nvpd 51 20\nfault vpd-flip 3 01 skip 2",
     GOLDEN_CALL(update_vpd_codelevel(fd, "B7", 1, 1))},
    {"update_rereads_byte0", "vpd 0 01 10", GOLDEN_CALL(update_vpd_codelevel(fd, "9Z", 0, 0))},
    {"update_head_differs_once", "fault vpd-flip 3 01 skip 1",
     GOLDEN_CALL(update_vpd_codelevel(fd, "B7", 0, 0))},
    {"update_head_differs_twice", "fault vpd-flip 15 80 skip 1 count 2",
     GOLDEN_CALL(update_vpd_codelevel(fd, "B7", 0, 0))},
    // A byte write fails, and so do the two reads (three tries each) that judge
    // the result.
    {"update_transfers_fail", "fault fail 54 write skip 3\nfault fail 54 read count 6 skip 2",
     GOLDEN_CALL(update_vpd_codelevel(fd, "B7", 0, 0))},
    // With a 5 ms write cycle, every write after the first finds the part busy.
    {"update_part_busy", "vpd-write-cycle 5000", GOLDEN_CALL(update_vpd_codelevel(fd, "B7", 0, 0))},
};

GOLDEN_TABLE(vpd, kVpd)

const golden::Row kLight[] = {
    {"get", "status 14 a3", GOLDEN_CALL(get_light_status(fd, 0))},
    {"get_verbose", "status 14 a3", GOLDEN_CALL(get_light_status(fd, 1))},
    {"set_0", "", GOLDEN_CALL(set_light(fd, 0, 0))},
    {"set_1_verbose", "", GOLDEN_CALL(set_light(fd, 1, 1))},
    {"set_15", "status 14 a3", GOLDEN_CALL(set_light(fd, 15, 0))},
    {"set_16", "status 14 a3", GOLDEN_CALL(set_light(fd, 16, 0))},
    {"set_minus_1", "status 14 a3", GOLDEN_CALL(set_light(fd, -1, 0))},
    {"set_write_fails", "status 14 a3\nfault fail 40 write", GOLDEN_CALL(set_light(fd, 5, 0))},
    {"set_0_no_bbu", "device 40 absent", GOLDEN_CALL(set_light(fd, 0, 0))},
    {"set_2_no_bbu", "device 40 absent", GOLDEN_CALL(set_light(fd, 2, 0))},
};

GOLDEN_TABLE(light, kLight)

}  // namespace

namespace {

// bad_vpd makes no transfer: its checks, each alone and each before all the
// later ones, on the simulator's default image.
TEST(vpdLayout, FirstCheckThatFailsDecides)
{
    bbusim::reset(std::string(BBU_TEST_SCRATCH) + "/vpdLayout");
    const auto good = bbusim::peek_vpd();
    EXPECT_EQ(bad_vpd(good.data()), 0);
    // Each head's last byte becomes a NUL, last check first.
    const int head_end[] = {4, 15, 26, 41, 55, 64, 77, 91, 99, 111};
    auto all_broken = good;
    all_broken[0] = 0x01;
    EXPECT_EQ(bad_vpd(all_broken.data()), 11);
    for (int i = 9; i >= 0; --i) {
        auto one = good;
        one[head_end[i]] = all_broken[head_end[i]] = 0x00;
        EXPECT_EQ(bad_vpd(one.data()), i + 1);
        EXPECT_EQ(bad_vpd(all_broken.data()), i + 1);
    }
}

// The code level is in place only when the update would write nothing: the
// length byte, both characters and a right check byte; never for anything
// but two printable characters.
TEST(vpdCodeLevel, InPlaceOnlyWhenTheUpdateWouldWriteNothing)
{
    bbusim::reset(std::string(BBU_TEST_SCRATCH) + "/vpdCodeLevel");
    auto image = bbusim::peek_vpd();
    image[1] = 0xfd;
    image[71] = 'Z';
    image[72] = '9';
    image[255] = xorcheck(image.data(), 255);
    EXPECT_EQ(bbu_codelevel_in_place(image.data(), "Z9"), 1);
    EXPECT_EQ(bbu_codelevel_in_place(image.data(), "Z8"), 0);
    EXPECT_EQ(bbu_codelevel_in_place(image.data(), "Z"), 0);
    EXPECT_EQ(bbu_codelevel_in_place(image.data(), ""), 0);
    EXPECT_EQ(bbu_codelevel_in_place(nullptr, "Z9"), 0);
    auto stale = image;
    stale[255] ^= 1;
    EXPECT_EQ(bbu_codelevel_in_place(stale.data(), "Z9"), 0);
    stale = image;
    stale[1] = 0xfc;
    stale[255] = xorcheck(stale.data(), 255);
    EXPECT_EQ(bbu_codelevel_in_place(stale.data(), "Z9"), 0);
    image[72] = '\x01';
    image[255] = xorcheck(image.data(), 255);
    EXPECT_EQ(bbu_codelevel_in_place(image.data(), "Z\x01"), 0);
}

}  // namespace
