// The image checks against images the simulator's own code writes: the CRC
// and header check, and the header of a flash block record.
#include <bbu/bbu.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bbusim.h"

namespace {

TEST(firmwareImage, CrcAndHeaderCheckWorkedValues)
{
    const unsigned char abc[] = {'a', 'b', 'c'}, one[] = {0x01};
    EXPECT_EQ((std::vector<uint32_t>{crc32(abc, 3), crc32(one, 1), crc32(abc, 0)}),
              (std::vector<uint32_t>{0x00FF00FF, 0x000000FF, 0}));
    // Only bit 0 of each byte counts; past 32 bits the polynomial comes in.
    const unsigned char low[] = {0x01, 0x00, 0x01}, high[] = {0xFF, 0xFE, 0x03};
    EXPECT_EQ(crc32(low, 3), crc32(high, 3));
    const std::vector<std::uint8_t> body = bbusim::make_image(7);
    EXPECT_EQ(crc32(body.data(), 4000), bbusim::image_crc(body.data(), 4000));

    const bbu_be32 words[] = {{{0x01, 0x02, 0x03, 0x04}}, {{0x10, 0x20, 0x30, 0x40}}};
    EXPECT_EQ(checksum32(words, words + 2), 0x11223344u);
    EXPECT_EQ(checksum32(words, words), 0u);
}

TEST(firmwareImage, FlashBlockRecordHeader)
{
    // Block, length; the header and check byte made around zero data.
    for (const std::vector<unsigned> &c :
         std::vector<std::vector<unsigned>>{{0, 128, 0x8F, 0x00, 0x80, 0x00, 0x00, 0x10},
                                            {256, 128, 0x8F, 0x00, 0x80, 0x01, 0x00, 0x11},
                                            {385, 72, 0x8F, 0x81, 0x48, 0x01, 0x81, 0xDB}}) {
        codebuffer record{};
        make_flash_block(&record, c[0], c[1]);
        const auto *b = reinterpret_cast<const std::uint8_t *>(&record);
        EXPECT_EQ((std::vector<unsigned>{c[0], c[1], b[0], b[1], b[2], b[3], b[4], b[133]}), c);
    }
}

}  // namespace
