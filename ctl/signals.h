// signals.h - bbuctl takes SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1
// and SIGUSR2 as a request to stop, never as a silent end.
//
// Until a change is under way (reads, and a change before it is confirmed) a
// signal ends bbuctl at once: nothing was changed. Once a change is under
// way, the first signal asks the library's checked change to stop
// (bbu_checked_request_stop()): before its point of no return it stops at its
// next step boundary and its failure is reported as usual; past it, it
// finishes, and bbuctl says so at once, with the time that takes. A second
// signal ends bbuctl at once. Ending at once writes a line saying what the
// BBU holds as far as known and, with --json, the one document saying the
// same, then _exit(): exit status 1 for a first signal, 128 + N for a second
// signal N. The handler only sets flags and writes text that the main flow
// prepared as its state changed.
#ifndef BBUCTL_SIGNALS_H
#define BBUCTL_SIGNALS_H

#include <bbu/bbu.h>

namespace bbuctl::signals {

// From here on the signals are taken as a request (first thing in main).
void install();

// The name of the first signal taken ("SIGTERM"), or null while none came.
const char *received();

// The command's form was named (setForm()): the texts name it.
void formNamed();

// The change of the command's form is about to be made: from here on a
// first signal asks it to stop or to finish.
void changeUnderWay();

// A progress report of the change under way; `loadSecondsLeft` is the time
// a planned flash load has left, -1 when unknown.
void progressed(const bbu_checked_progress &progress, int loadSecondsLeft);

// The document and the result go to standard output through `fd` (another
// descriptor while -v sends the library's output to standard error).
void outputTo(int fd);

// A file the command made, that an end at once removes (a dump gives no
// bytes unless it ends); null for none. `path` must outlive the command.
void removeOnEnd(const char *path);

// The outcome is being written: signals are held off until the process ends,
// so that it writes one outcome only.
void holdOff();

}  // namespace bbuctl::signals

#endif  // BBUCTL_SIGNALS_H
