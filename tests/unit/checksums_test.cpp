// The two check functions: worked examples, and the sum against the tests'
// own end-around-carry sum over random blocks.
#include <bbu/bbu.h>
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bytes.h"

namespace {

TEST(Checksums, WorkedExamples)
{
    const struct {
        std::vector<unsigned char> bytes;
        unsigned count;  // the bytes the check covers
        unsigned char sum, x;
    } examples[] = {
        // The command frames' check bytes are asserted on the bus by battsnap's end-to-end tests.
        {{}, 0, 0x00, 0x00},           {{'a', 'b', 'c'}, 3, 0x27, 0x60},
        {{0xff, 0x01}, 2, 0x01, 0xfe}, {{0x80, 0x80}, 2, 0x01, 0x00},
        {{0xff, 0xff}, 2, 0xff, 0x00}, {{0x10, 0x20, 0xff}, 2, 0x30, 0x30},
    };
    for (const auto &e : examples) {
        EXPECT_EQ(sumcheck(e.bytes.data(), e.count), e.sum) << ::testing::PrintToString(e.bytes);
        EXPECT_EQ(xorcheck(e.bytes.data(), e.count), e.x) << ::testing::PrintToString(e.bytes);
    }
}

TEST(Checksums, SumMatchesTheOracleForRandomBlocks)
{
    std::mt19937 rng(20090415);
    std::uniform_int_distribution<int> byte(0, 255);
    for (unsigned length = 0; length < 300; ++length) {
        bbutest::Bytes block(length);
        for (auto &b : block)
            b = static_cast<unsigned char>(byte(rng));
        ASSERT_EQ(sumcheck(block.data(), length), bbutest::end_around_sum(block.data(), length))
            << "length " << length;
    }
}

}  // namespace
