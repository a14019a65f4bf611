// capture_reads.cpp - battsnap's reads of the BBU (capture_reads.h).
//
// An exchange writes a command frame to 0x40 (SAR), polls the general status
// until the command has finished without error, then reads the answer from
// 0x60 (SARX) as one response block: a 5-byte BbuHdr, the data and a sumcheck
// byte. Every transfer attempt is preceded by a pause of sleepTime
// microseconds, which paces the BBU's microcontroller.
#include "capture_reads.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int fd = -1;
int sleepTime = 50000;

namespace {

constexpr int CAPTURE_ATTEMPTS = 5;  // attempts per transfer, and status polls per command

// Error bits of a finished command: byte 4 without TFB_BLOCK_SYNC and
// EEPROM_FULL, byte 5 without FLASH_CHKSUM (neither concerns these reads).
constexpr ui8 GSS4_ERROR_MASK = WRITE_CNT_SYNC | NUMOFBYTE_ERR | DATA_BLK_ERR | EEPROM_CHKSUM;
constexpr ui8 GSS5_ERROR_MASK = static_cast<ui8>(0xFF & ~FLASH_CHKSUM);
static_assert(GSS4_ERROR_MASK == 0x74 && GSS5_ERROR_MASK == 0xFB);

constexpr ui8 READ_STATE_SAVE_CMD = 0xC8;
constexpr ui8 READ_STRING_STATUS_CMD = 0xC4;
constexpr std::size_t HDR_LEN = sizeof(BbuHdr);

using Gss = std::array<ui8, BBU_GSS_READ_LEN>;

void pace()
{
    usleep(static_cast<useconds_t>(sleepTime));
}

// One paced read of the general status; true when all 33 bytes came and the
// check byte matches.
bool readGSSattempt(Gss &gss, int verbose)
{
    pace();
    gss.fill(0);
    int rc = do_i2c_read(fd, BBU_SAR_ADDR, BBU_GSS_READ_LEN, reinterpret_cast<char *>(gss.data()),
                         verbose);
    return rc == BBU_GSS_READ_LEN && sumcheck(gss.data(), BBU_GSS_LEN) == gss[BBU_GSS_LEN];
}

// Up to five attempts; a failed transfer and a wrong check byte count alike.
bool readValidGSS(Gss &gss, int verbose)
{
    for (int attempt = 0; attempt < CAPTURE_ATTEMPTS; ++attempt) {
        if (readGSSattempt(gss, verbose))
            return true;
    }
    return false;
}

bool sendCommand(const std::array<ui8, 3> &frame, int verbose)
{
    for (int attempt = 0; attempt < CAPTURE_ATTEMPTS; ++attempt) {
        pace();
        if (do_i2c_write(fd, BBU_SAR_ADDR, static_cast<int>(frame.size()),
                         reinterpret_cast<const char *>(frame.data()),
                         verbose) == static_cast<int>(frame.size()))
            return true;
    }
    return false;
}

// What distinguishes the two readers: the name that prefixes their messages,
// their command-failure text and the command they send.
struct Exchange {
    const char *who;
    const char *commandFailure;  // full line, written when the frame or the wait fails
    ui8 command;
    ui8 parameter;
};

// Reads the one-block answer of DataLen data bytes into block, up to
// CAPTURE_ATTEMPTS times until its check byte is right; says why when it never was.
template <std::size_t DataLen>
bool readAnswerBlock(const Exchange &x, std::array<ui8, HDR_LEN + DataLen + 1> &block, int verbose)
{
    constexpr std::size_t blockLen = HDR_LEN + DataLen + 1;
    constexpr std::size_t sumLen = blockLen - 1;
    unsigned int expected = 0;  // stays 0 when no block ever arrived whole
    for (int attempt = 0; attempt < CAPTURE_ATTEMPTS; ++attempt) {
        pace();
        block.fill(0);
        int rc = do_i2c_read(fd, BBU_SARX_ADDR, static_cast<int>(blockLen),
                             reinterpret_cast<char *>(block.data()), verbose);
        if (rc == static_cast<int>(blockLen)) {
            expected = sumcheck(block.data(), sumLen);
            if (expected == block[sumLen])
                return true;
        }
    }
    std::fprintf(stderr, "%s: CheckSum Error -- Actual:0x%2.2x Expected:0x%2.2x\n", x.who,
                 block[sumLen], expected);
    return false;
}

// Only one-block answers to the command just sent are accepted; checked in
// this order: echo, block number, block count.
bool answerHeaderAccepted(const Exchange &x, const std::array<ui8, 3> &frame, const ui8 *block,
                          int verbose)
{
    BbuHdr hdr;
    std::memcpy(&hdr, block, HDR_LEN);
    if (verbose)
        std::fprintf(
            stderr,
            "%s: Cmd: 0x%2.2x %2.2x %2.2x  SARX Header data: 0x%2.2x %2.2x %2.2x %2.2x %2.2x \n",
            x.who, frame[0], frame[1], frame[2], hdr.cmdEcho, hdr.ctr, hdr.len, hdr.blkNbr,
            hdr.blkSetNbr);

    if (hdr.cmdEcho != x.command) {
        std::fprintf(stderr,
                     "%s: Command was not echoed in Header. expected: 0x%2.2x Actual: 0x%2.2x\n",
                     x.who, x.command, hdr.cmdEcho);
        return false;
    }
    if (hdr.blkNbr != 0) {
        std::fprintf(stderr, "%s: Block index not as expected. expected: 0x%2.2x Actual: 0x%2.2x\n",
                     x.who, 0, hdr.blkNbr);
        return false;
    }
    if (!(hdr.blkNbr < hdr.blkSetNbr)) {
        std::fprintf(
            stderr, "%s: Block index exceeded maximum allowed. expected: 0x%2.2x Actual: 0x%2.2x\n",
            x.who, hdr.blkSetNbr, hdr.blkNbr);
        return false;
    }
    return true;
}

// Sends the command, waits for it and reads its one-block answer of DataLen
// data bytes; copies the data to pBuff only when the block and its header are
// right.
template <std::size_t DataLen>
int commandResponse(const Exchange &x, ui8 *pBuff, int verbose)
{
    std::array<ui8, 3> frame{x.command, x.parameter, 0};
    frame[2] = sumcheck(frame.data(), 2);

    if (!sendCommand(frame, verbose) || verifyBBUopComplete(verbose) != successful) {
        std::fputs(x.commandFailure, stderr);
        return -1;
    }
    std::array<ui8, HDR_LEN + DataLen + 1> block{};
    if (!readAnswerBlock<DataLen>(x, block, verbose) ||
        !answerHeaderAccepted(x, frame, block.data(), verbose))
        return -1;
    std::memcpy(pBuff, block.data() + HDR_LEN, DataLen);
    return 0;
}

}  // namespace

int readBBUgeneralstatus(ui8 *pBuff, int verbose)
{
    Gss gss;
    if (!readValidGSS(gss, verbose))
        return -1;
    std::memcpy(pBuff, gss.data(), gss.size());
    return 0;
}

verifyResult verifyBBUopComplete(int verbose)
{
    Gss gss;
    bool finished = false;
    for (int poll = 0; poll < CAPTURE_ATTEMPTS && !finished; ++poll) {
        if (!readValidGSS(gss, verbose)) {
            std::fputs("verifyBBUopComplete: Failure to read GSS\n", stderr);
            return readGSSfailed;
        }
        if (verbose)
            std::fprintf(
                stderr, "verifyBBUopComplete: GSS: 0x%2.2x%2.2x%2.2x%2.2x 0x%2.2x%2.2x%2.2x%2.2x\n",
                gss[0], gss[1], gss[2], gss[3], gss[4], gss[5], gss[6], gss[7]);
        finished = (gss[0] & SAR0_CMD_IN_PROGRESS) == 0;
    }
    if (!finished) {
        std::fputs("verifyBBUopComplete: Timed out waiting for BBU Operation to complete\n",
                   stderr);
        return opInprogressTimeout;
    }

    if (verbose) {
        std::printf("GSS data:\n");
        printWords("    ", gss.data());
        printWords("    ", gss.data() + 16);
    }

    if ((gss[4] & GSS4_ERROR_MASK) == 0 && (gss[5] & GSS5_ERROR_MASK) == 0)
        return successful;
    std::fprintf(stderr,
                 "verifyBBUopComplete: BBU detected error\n                     GSS[4]: 0x%2.2x\n"
                 "                     GSS[5]: 0x%2.2x\n",
                 gss[4], gss[5]);
    return bbuDetectederror;
}

int readBBUstatesave(ui8 *pBuff, int verbose)
{
    static constexpr Exchange stateSave{"readBBUstatesave",
                                        "readBBUstatesave: Failure on 'read state save' command to "
                                        "prepare to read the state save data\n",
                                        READ_STATE_SAVE_CMD, 0};
    return commandResponse<sizeof(bbuSS)>(stateSave, pBuff, verbose);
}

int readBBUbatterystringstatus(ui8 *pBuff, ui8 string, int verbose)
{
    const Exchange stringStatus{
        "readBBUbatterystringstatus",
        "readBBUbatterystringstatus: Failure on 'read Battery String Sttaus' command to "
        "prepare to read the history log\n",
        READ_STRING_STATUS_CMD, string};
    return commandResponse<sizeof(BbuStringStatus)>(stringStatus, pBuff, verbose);
}
