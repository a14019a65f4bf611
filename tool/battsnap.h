// battsnap.h - records and functions of battsnap, the BBU state-save capture
// tool. Internal to the tool: programs built with the library use <bbu/bbu.h>.
//
// Every block battsnap reads is kept byte for byte as the BBU sent it; the
// records below only name the bytes, they never combine multi-byte values.
#ifndef BATTSNAP_BATTSNAP_H
#define BATTSNAP_BATTSNAP_H

#include <bbu/bbu.h>

#include <cstddef>

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

// Process-wide I/O context of the capture reads, set by main before the first read.
extern int fd;         // the open I2C device
extern int sleepTime;  // pause in microseconds before every transfer attempt (default 50000)

// Outcome of waiting for a BBU command to finish.
enum verifyResult {
    successful = 0,           // finished, no error bit set
    readGSSfailed = 1,        // no valid general status could be read
    opInprogressTimeout = 2,  // still in progress at every poll
    bbuDetectederror = 3,     // finished with an error bit set
};

// Reads the 33-byte general status (check byte included) into pBuff with up to
// five attempts. 0, or -1 with pBuff untouched.
int readBBUgeneralstatus(ui8 *pBuff, int verbose);

// Polls the general status until the command in progress has finished and
// judges its error bits; writes its own message on every failure.
verifyResult verifyBBUopComplete(int verbose);

// Sends "read state save" and copies the 80 data bytes to pBuff. 0, or -1 with
// pBuff untouched after the failure's messages.
int readBBUstatesave(ui8 *pBuff, int verbose);

// Sends "read battery string status" for battery string `string` (counted from
// 1, not range-checked) and copies the 32 data bytes to pBuff. 0, or -1 with
// pBuff untouched after the failure's messages.
int readBBUbatterystringstatus(ui8 *pBuff, ui8 string, int verbose);

// Writes the record file: state save, general status and the first nbrBS
// string entries, as raw bytes. An existing file is replaced. 0, or -1 after
// a message prefixed with pgm.
int writeBBUstatesaveFile(const bbuStateSave &ss, int nbrBS, const char *fileName, const char *pgm);

// Prints the console report of a capture of nbrBS strings to standard output.
void printBBUstatesave(const bbuStateSave &ss, int nbrBS);

// Writes the usage text to standard error, after the build-date line when
// helpType is greater than 0.
void help(int helpType);

// Prints lead and the 16 bytes at `bytes` as four big-endian 32-bit words:
// "<lead>0x%8.8x %8.8x %8.8x %8.8x\n". The line of the report and of the
// verbose status dump.
void printWords(const char *lead, const ui8 *bytes);

#endif  // BATTSNAP_BATTSNAP_H
