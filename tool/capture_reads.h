// capture_reads.h - battsnap's reads of the BBU: the general status and the
// command-response exchanges that fetch the state save and the battery
// strings. They write to the standard streams only, never to the trace log.
#ifndef BATTSNAP_CAPTURE_READS_H
#define BATTSNAP_CAPTURE_READS_H

#include "capture_record.h"

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

#endif  // BATTSNAP_CAPTURE_READS_H
