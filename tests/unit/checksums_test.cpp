// The two check functions: the worked examples and a cross-check of the
// end-around-carry sum against folding the plain sum.
#include <bbu/bbu.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Example {
    std::vector<unsigned char> bytes;
    unsigned char sum, x;
};

TEST(Checksums, WorkedExamples)
{
    const Example examples[] = {
        {{}, 0x00, 0x00},           {{'a', 'b', 'c'}, 0x27, 0x60}, {{0xc8, 0x00}, 0xc8, 0xc8},
        {{0xff, 0x01}, 0x01, 0xfe}, {{0x80, 0x80}, 0x01, 0x00},    {{0xc4, 0x01}, 0xc5, 0xc5},
        {{0xc4, 0x02}, 0xc6, 0xc6}, {{0xc4, 0x03}, 0xc7, 0xc7},    {{0xff, 0xff}, 0xff, 0x00},
    };
    for (const auto &e : examples) {
        auto n = static_cast<unsigned>(e.bytes.size());
        EXPECT_EQ(sumcheck(e.bytes.data(), n), e.sum) << ::testing::PrintToString(e.bytes);
        EXPECT_EQ(xorcheck(e.bytes.data(), n), e.x) << ::testing::PrintToString(e.bytes);
    }
}

TEST(Checksums, NeverReadPastTheCount)
{
    const unsigned char bytes[] = {0x10, 0x20, 0xff};
    EXPECT_EQ(sumcheck(bytes, 2), 0x30);
    EXPECT_EQ(xorcheck(bytes, 2), 0x30);
    EXPECT_EQ(sumcheck(nullptr, 0), 0);
    EXPECT_EQ(xorcheck(nullptr, 0), 0);
}

// Adding with end-around carry byte by byte is ones'-complement addition, so it
// equals the plain sum folded back into eight bits.
TEST(Checksums, SumMatchesTheFoldedTotalForRandomBlocks)
{
    std::mt19937 rng(20090415);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 500; ++round) {
        std::vector<unsigned char> block(static_cast<size_t>(round % 300));
        unsigned long total = 0;
        for (auto &b : block) {
            b = static_cast<unsigned char>(byte(rng));
            total += b;
        }
        while (total > 0xff)
            total = (total & 0xff) + (total >> 8);
        ASSERT_EQ(sumcheck(block.data(), static_cast<unsigned>(block.size())), total)
            << "round " << round;
    }
}

TEST(BigEndianFields, ReadFirstByteMostSignificant)
{
    GENERAL_STATUS gss{};
    const unsigned char elapsed[4] = {0x00, 0x01, 0x51, 0x80};
    std::memcpy(gss.elapsed_time.be, elapsed, 4);
    gss.avg_temp_all.be[0] = 0x01;
    gss.avg_temp_all.be[1] = 0x2c;
    EXPECT_EQ(bbu_be32_value(gss.elapsed_time), 86400u);
    EXPECT_EQ(bbu_be16_value(gss.avg_temp_all), 300u);
}

}  // namespace
