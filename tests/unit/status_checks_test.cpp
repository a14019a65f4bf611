// The error-bit checks over every value of their bytes; the checked status
// read itself is a golden session (golden_transfers_status_test.cpp).
#include <bbu/bbu.h>
#include <gmock/gmock.h>

#include <array>

#include "sim_world.h"

namespace {

using namespace ::testing;
using StatusChecks = SimWorldTest;

// Every value of each checked byte: its checked bits traced from the top down,
// the result telling whether one was set, and only byte 5's bit 0 raising
// checksumError. The other bytes are all ones: a check looks at its own byte.
TEST_F(StatusChecks, EveryValueOfEachCheckedByte)
{
    const struct {
        int byte;
        unsigned checked;
        int (*check)(const char *);
    } bytes[] = {{4, 0xfc, checkByte4}, {5, 0xff, checkByte5}, {6, 0x60, checkByte6}};
    for (const auto &b : bytes) {
        for (unsigned value = 0; value < 256; ++value) {
            SCOPED_TRACE(::testing::Message() << "byte " << b.byte << " value " << value);
            std::array<char, 33> gss;
            gss.fill('\xff');
            gss[static_cast<std::size_t>(b.byte)] = static_cast<char>(value);
            clear_records();
            checksumError = 0;
            std::string expected;
            for (int bit = 7; bit >= 0; --bit)
                if ((value & b.checked) & (1u << bit))
                    expected += "ERROR, Byte" + std::to_string(b.byte) + ", Bit" +
                                std::to_string(bit) + " is ON\n";
            EXPECT_EQ(b.check(gss.data()), expected.empty() ? 0 : 1);
            EXPECT_EQ(checksumError, b.byte == 5 && (value & 1) != 0 ? 1 : 0);
            EXPECT_EQ(trace_messages(), expected);
        }
    }
}

}  // namespace
