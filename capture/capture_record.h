// capture_record.h - battsnap's capture record: the tool's byte-by-byte views
// of the blocks it reads, the record file they make and its console report.
// Internal to the tools (battsnap writes and prints records, bbuctl decodes
// record files): programs built with the library use <bbu/bbu.h>.
//
// Every block battsnap reads is kept byte for byte as the BBU sent it; the
// records below only name the bytes, they never combine multi-byte values.
#ifndef BBU_CAPTURE_RECORD_H
#define BBU_CAPTURE_RECORD_H

#include <bbu/bbu.h>

#include <cstddef>
#include <cstdint>

// The fixed-width unsigned types of the tool's records.
typedef std::uint8_t ui8;
typedef std::uint16_t ui16;
typedef std::uint32_t ui32;

// Header of a response block read from 0x60: the block is the header, the
// data the command defines, and a sumcheck byte over header and data.
struct BbuHdr {
    ui8 cmdEcho;    // command code being answered
    ui8 ctr;        // counter byte, not examined
    ui8 len;        // length byte, not examined
    ui8 blkNbr;     // number of this block, from 0
    ui8 blkSetNbr;  // number of blocks in the answer
};

// The 33 bytes of the general status read from 0x40, check byte included.
// Multi-byte values keep the order received, byte ...0 first.
struct BbuGeneralStatus {
    ui8 status1;          // 0
    ui8 status1ChkSum;    // 1: complement of byte 0
    ui8 status2;          // 2
    ui8 status3;          // 3
    ui8 status4;          // 4
    ui8 status5;          // 5
    ui8 status6;          // 6
    ui8 status7;          // 7
    ui8 seconds0;         // 8: most significant
    ui8 seconds1;         // 9
    ui8 seconds2;         // 10
    ui8 seconds3;         // 11
    ui8 rsvd0C;           // 12
    ui8 rsvd0D;           // 13
    ui8 stateLED;         // 14
    ui8 dataInCacheLED;   // 15
    ui8 statusTCBLA0;     // 16
    ui8 statusTCBLA1;     // 17
    ui8 numStrings;       // 18
    ui8 cmdInProgress;    // 19
    ui8 avgTemp0;         // 20
    ui8 avgTemp1;         // 21
    ui8 capacityPeriod0;  // 22
    ui8 capacityPeriod1;  // 23
    ui8 BkupDischgCur0;   // 24
    ui8 BkupDischgCur1;   // 25
    ui8 FETsenseA0;       // 26
    ui8 FETsenseA1;       // 27
    ui8 A_D_TestPoint0;   // 28
    ui8 A_D_TestPoint1;   // 29
    ui8 version;          // 30
    ui8 sub_version;      // 31
    ui8 GenStatChkSum;    // 32: sumcheck of bytes 0 to 31
};

// The state of the three battery strings as the BBU saved it. Every element is
// one byte; row j of each table belongs to battery string j.
struct StateInfo {
    ui8 battNbr;          // battery number
    ui8 current[3];       // current state of each string
    ui8 previous[3][9];   // nine previous states of each string
    ui8 history[3][9];    // nine history states of each string
    ui8 changeReason[3];  // state change reason of each string
    ui8 bbuErrorCode[3];  // error code of each string
};

// The 80 data bytes of the state-save response block.
struct bbuSS {
    ui8 stack[16];
    StateInfo state;
};

// The 32 data bytes of a battery string status response block. Multi-byte
// values keep the order received, byte ...0 first.
struct BbuStringStatus {
    ui8 status00;
    ui8 status01;
    ui8 fault_code;
    ui8 status03;
    ui8 deltaVChrg0, deltaVChrg1;                // delta-V charge
    ui8 seconds0, seconds1, seconds2, seconds3;  // elapsed seconds
    ui8 capacity0, capacity1, capacity2, capacity3;
    ui8 vBatA0, vBatA1;  // battery voltage A
    ui8 iCHG0, iCHG1;    // charge current
    ui8 iCTL0, iCTL1;
    ui8 thermistor0, thermistor1;
    ui8 tempAccum0, tempAccum1, tempAccum2, tempAccum3;  // temperature accumulator
    ui8 tempAccumCt;                                     // accumulator count
    ui8 daysSinceChrg;                                   // days since charge
    ui8 tstDiscrgCur0, tstDiscrgCur1;                    // test discharge current
    ui8 vTest0, vTest1;                                  // test voltage
};

// Everything one capture reads; also the layout of the record file, which
// holds the first 145, 177 or 209 bytes (1, 2 or 3 strings).
struct bbuStateSave {
    bbuSS stateSaveInfo;
    BbuGeneralStatus generalStatus;
    BbuStringStatus batteryStringStatus[3];  // entry i holds battery string i + 1
};

static_assert(sizeof(BbuHdr) == 5 && offsetof(BbuHdr, blkNbr) == 3 &&
                  offsetof(BbuHdr, blkSetNbr) == 4,
              "BbuHdr: 5 bytes, block number at 3, block count at 4");
static_assert(sizeof(BbuGeneralStatus) == BBU_GSS_READ_LEN, "BbuGeneralStatus is 33 bytes");
static_assert(offsetof(BbuGeneralStatus, seconds0) == 8 &&
                  offsetof(BbuGeneralStatus, numStrings) == 18 &&
                  offsetof(BbuGeneralStatus, version) == 30 &&
                  offsetof(BbuGeneralStatus, GenStatChkSum) == BBU_GSS_LEN,
              "BbuGeneralStatus byte positions");
static_assert(sizeof(StateInfo) == 64, "StateInfo is 64 bytes");
static_assert(offsetof(StateInfo, current) == 1 && offsetof(StateInfo, previous) == 4 &&
                  offsetof(StateInfo, history) == 31 && offsetof(StateInfo, changeReason) == 58 &&
                  offsetof(StateInfo, bbuErrorCode) == 61,
              "StateInfo tables at bytes 1, 4, 31, 58 and 61");
static_assert(sizeof(bbuSS) == 80 && offsetof(bbuSS, state) == 16,
              "bbuSS: 16 stack bytes, then the state");
static_assert(sizeof(BbuStringStatus) == 32, "BbuStringStatus is 32 bytes");
static_assert(offsetof(BbuStringStatus, seconds0) == 6 && offsetof(BbuStringStatus, vBatA0) == 14 &&
                  offsetof(BbuStringStatus, tempAccum0) == 22 &&
                  offsetof(BbuStringStatus, daysSinceChrg) == 27 &&
                  offsetof(BbuStringStatus, vTest1) == 31,
              "BbuStringStatus byte positions");
static_assert(sizeof(bbuStateSave) == 209, "bbuStateSave is 209 bytes");
static_assert(offsetof(bbuStateSave, generalStatus) == 80 &&
                  offsetof(bbuStateSave, batteryStringStatus) == 113,
              "bbuStateSave: state save, general status, strings");

// Size of the record file of a capture of nbrBS strings: 145, 177 or 209
// bytes, so the size alone gives the number of strings.
constexpr std::size_t recordFileSize(int nbrBS)
{
    return sizeof(bbuSS) + sizeof(BbuGeneralStatus) +
           static_cast<std::size_t>(nbrBS) * sizeof(BbuStringStatus);
}

// Writes the record file: state save, general status and the first nbrBS
// string entries, as raw bytes. An existing file is replaced. 0, or -1 after
// a message prefixed with pgm.
int writeBBUstatesaveFile(const bbuStateSave &ss, int nbrBS, const char *fileName, const char *pgm);

// Prints the console report of a capture of nbrBS strings to standard output.
void printBBUstatesave(const bbuStateSave &ss, int nbrBS);

// Prints lead and the 16 bytes at `bytes` as four big-endian 32-bit words:
// "<lead>0x%8.8x %8.8x %8.8x %8.8x\n". The line of the report and of the
// verbose status dump.
void printWords(const char *lead, const ui8 *bytes);

#endif  // BBU_CAPTURE_RECORD_H
