// battsnap.cpp - capture the BBU's state save: the general status, the 80-byte
// state-save block and the status of one to three battery strings, written
// to a raw record file (-f) or printed as a console report.
//
//   battsnap <-h> <-v> <-t time> <-b Nbr> <-f fn>
//
// Exit status 0, or 255 after the first failure; nothing is written or
// printed unless every read succeeded.
#include "capture_reads.h"
#include "options.h"

#include <cstdio>

namespace {

// Opens the device, reads everything, then writes the record file or prints
// the report.
int runCapture(const RunSettings &rs)
{
    const char *pgm = rs.pgm;
    fd = open_I2C_device(rs.local_verbose);
    if (fd <= 0) {
        std::fprintf(stderr, "%s: Error opening i2c device %d\n", pgm, fd);
        return -1;
    }
    // One program at a time on the BBU: wait silently while another works
    // on it; the lock is held until the process ends. On an open adapter it
    // cannot fail, and the capture goes on whatever it returns.
    (void)lock_I2C_device(fd, I2C_LOCK_WAIT_FOREVER);

    bbuStateSave ss{};
    if (readBBUgeneralstatus(reinterpret_cast<ui8 *>(&ss.generalStatus), rs.local_verbose) != 0) {
        std::fprintf(stderr,
                     "%s: Failure reading BBU General Status;\n                  cannot proceed\n",
                     pgm);
        return -1;
    }
    if (readBBUstatesave(reinterpret_cast<ui8 *>(&ss.stateSaveInfo), rs.local_verbose) != 0) {
        std::fprintf(stderr,
                     "%s: Failure reading BBU StateSave data;\n                  cannot proceed\n",
                     pgm);
        return -1;
    }
    for (int i = 0; i < rs.nbrBS; ++i) {
        // The command counts strings from 1.
        if (readBBUbatterystringstatus(reinterpret_cast<ui8 *>(&ss.batteryStringStatus[i]),
                                       static_cast<ui8>(i + 1), rs.local_verbose) != 0) {
            std::fprintf(stderr,
                         "%s: Failure reading BBU Batttery String Status;\n                  "
                         "cannot proceed\n",
                         pgm);
            return -1;
        }
    }

    if (rs.binary_out)
        return writeBBUstatesaveFile(ss, rs.nbrBS, rs.fileName, pgm);
    printBBUstatesave(ss, rs.nbrBS);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    RunSettings rs;
    switch (parseOptions(argc, argv, rs)) {
    case Parsed::helped:
        return 0;
    case Parsed::failed:
        return -1;
    case Parsed::run:
        break;
    }
    return runCapture(rs);
}
