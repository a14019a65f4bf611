// battsnap on a failing device, as golden sessions: every failure ends the
// run with its messages in order on standard error, status 255, no report
// and no record file (each row runs once as for a report and once with a
// record file); the transcript shows the retries that came before. Faults
// one attempt short of the limit are ridden out.
#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;
using namespace ::testing;

constexpr RunOptions kTwice = {.alsoToFile = true};

// In the distinctive BBU status byte 4 is 0x8a and a command clears byte 5.
// Its state-save block sums to 0x2b and string 2's (third command) to 0xee;
// a corrupted check byte arrives inverted.
const golden::Row kFailures[] = {
    // Opening the adapter.
    row("OpenNoSuchFile", {}, "fault open ENOENT\n", kTwice),
    row("OpenDenied", {}, "fault open EACCES\n", kTwice),
    // The general status.
    row("GssCheckByteWrongFiveTimes", {}, "fault gss-check count 5\n", kTwice),
    row("GssReadFailsFiveTimes", {}, "fault fail 40 read count 5\n", kTwice),
    row("GssReadShortFiveTimes", {}, "fault short 40 32 read count 5\n", kTwice),
    // The state save: command, wait, block, header.
    row("SaveWriteFailsFiveTimes", {}, "fault fail 40 write count 5\n", kTwice),
    row("SaveWriteShortFiveTimes", {}, "fault short 40 2 write count 5\n", kTwice),
    row("SaveNoValidStatus", {}, "fault gss-check count 5 on c8\n", kTwice),
    row("SaveStillBusyAtFifthPoll", {}, "fault busy 5 on c8\n", kTwice),
    row("SaveErrorInByte4", {}, "fault error-bits 4 04 on c8\n", kTwice),
    row("SaveCheckByteWrongFiveTimes", {}, "fault block-check count 5 on c8\n", kTwice),
    row("SaveBlockReadFailsFiveTimes", {}, "fault fail 60 read count 5\n", kTwice),
    row("SaveBlockShortFiveTimes", {}, "fault short 60 85 read count 5\n", kTwice),
    row("SaveExpectedFromLastWholeBlock", {},
        "fault block-check count 1 on c8\nfault fail 60 read count 4 skip 1\n", kTwice),
    row("SaveWrongEcho", {}, "fault echo c4 on c8\n", kTwice),
    row("SaveBlockNumberOne", {}, "fault block-number 01 on c8\n", kTwice),
    row("SaveBlockCountZero", {}, "fault block-count 00 on c8\n", kTwice),
    row("SaveEchoCheckedFirst", {},
        "fault echo 00 on c8\nfault block-number 05 on c8\nfault block-count 00 on c8\n", kTwice),
    row("SaveBlockNumberBeforeCount", {},
        "fault block-number ff on c8\nfault block-count 00 on c8\n", kTwice),
    // Battery string 2 of 3: string 1 has been read, string 3 is never asked for.
    row("String2WriteFailsFiveTimes", {}, "fault fail 40 write count 5 skip 2\n", kTwice),
    row("String2StillBusyAtFifthPoll", {}, "fault busy 5 on c4 02\n", kTwice),
    row("String2ErrorInByte5", {}, "fault error-bits 5 08 on c4 02\n", kTwice),
    row("String2CheckByteWrongFiveTimes", {}, "fault block-check count 5 on c4 02\n", kTwice),
    row("String2EchoesStateSave", {}, "fault echo c8 on c4 02\n", kTwice),
    // The first and the last string.
    row("OnlyStringFails", {"-b", "1"}, "fault error-bits 4 40 on c4 01\n", kTwice),
    row("LastStringFails", {"-b", "3"}, "fault echo c3 on c4 03\n", kTwice),
    // Every error bit of a finished command, on its own, with both bytes shown.
    row("ErrorBit4x40", {}, "status 4 00 00\nfault error-bits 4 40 on c8\n"),
    row("ErrorBit4x20", {}, "status 4 00 00\nfault error-bits 4 20 on c8\n"),
    row("ErrorBit4x10", {}, "status 4 00 00\nfault error-bits 4 10 on c8\n"),
    row("ErrorBit4x04", {}, "status 4 00 00\nfault error-bits 4 04 on c8\n"),
    row("ErrorBit5x80", {}, "status 4 00 00\nfault error-bits 5 80 on c8\n"),
    row("ErrorBit5x40", {}, "status 4 00 00\nfault error-bits 5 40 on c8\n"),
    row("ErrorBit5x20", {}, "status 4 00 00\nfault error-bits 5 20 on c8\n"),
    row("ErrorBit5x10", {}, "status 4 00 00\nfault error-bits 5 10 on c8\n"),
    row("ErrorBit5x08", {}, "status 4 00 00\nfault error-bits 5 08 on c8\n"),
    row("ErrorBit5x02", {}, "status 4 00 00\nfault error-bits 5 02 on c8\n"),
    row("ErrorBit5x01", {}, "status 4 00 00\nfault error-bits 5 01 on c8\n"),
    // Ridden out: one attempt short of the limit; every status read is a
    // poll, so the command finishes behind the bad ones.
    row("RiddenOutGssCheck", {"-b", "1"}, "fault gss-check count 4\n"),
    row("RiddenOutWriteFails", {"-b", "1"}, "fault fail 40 write count 4\n"),
    row("RiddenOutPollCheck", {"-b", "1"}, "fault gss-check count 4 on c8\n"),
    row("RiddenOutBusy", {"-b", "1"}, "fault busy 4 on c8\n"),
    row("RiddenOutBlockCheck", {"-b", "1"}, "fault block-check count 4 on c4 01\n"),
    row("RiddenOutBlockShort", {"-b", "1"}, "fault short 60 10 read count 4\n"),
    // Not errors of a finished command: byte 4's 0x80, 0x08 and 0x02 (set in
    // the distinctive BBU) and 0x01, byte 5's flash checksum 0x04, byte 6.
    row("NotAnErrorByte4x01", {"-b", "1"}, "fault error-bits 4 01 on c8\n"),
    row("NotAnErrorByte5x04", {"-b", "1"}, "fault error-bits 5 04 on c8\n"),
    row("NotAnErrorByte6", {"-b", "1"}, "fault error-bits 6 ff on c8\n"),
};

GOLDEN_TABLE(battsnap_failure, kFailures)

// Descriptor 0 is no device: with standard input closed the adapter gets it,
// and the run stops.
TEST(DeviceOpen, DescriptorZeroCountsAsFailure)
{
    e2e::Run r = e2e::run({"sh", "-c", "exec \"$0\" <&-", "battsnap"}, battsnapOptions(kDistinct));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "battsnap: Error opening i2c device 0\n");
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.events(), ElementsAre("open /dev/i2c-0b -> 0", "exit 255"));
}

}  // namespace
