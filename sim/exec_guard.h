// exec_guard.h - the exec family of a preloaded library (the interposer, the
// recorder), so that no process of a run leaves it behind.
//
// execve, execv, execvp, execvpe, execl, execle, execlp, fexecve, execveat,
// posix_spawn, posix_spawnp, system and popen are each taken here: the C
// library's own exec functions call its execve internally, past any
// interposed one. Before the next definition runs, the program is checked
// (preload_check.h): one the library cannot load into stops the process that
// asked for it, with the refusal on standard error and exit status
// kNotPreloadable. An environment that no longer names the library in
// LD_PRELOAD, or lacks the variables its processes need (env -i, a program's
// own clean environment), gets them back as this process got them, so the
// program runs under the library like every other process of the run.
//
// As allocation-free and async-signal-safe as the exec functions themselves
// (an exec after fork in a multithreaded program): pages are mapped for what
// does not fit a small stack, the refusal is one write(2).
#ifndef BBUSIM_EXEC_GUARD_H
#define BBUSIM_EXEC_GUARD_H

#include "preload_check.h"

namespace bbusim {

struct ExecGuardConfig {
    Preloaded who;
    // The environment variables the library's processes need besides
    // LD_PRELOAD; null-ended.
    const char *const *variables;
};

// Both libraries carry the guard, the recorder and the interposer in one
// process inside a simulated run: each keeps its guard to itself (hidden),
// or the first library's would answer for both.

// Defined by each library that carries the guard: null when this process is
// none of the library's business (the recorder when nothing is recorded).
__attribute__((visibility("hidden"))) const ExecGuardConfig *exec_guard_config();

// Called once when the library loads, after its own setup: the next
// definitions, the library's own file, and copies of what the environment
// holds of LD_PRELOAD and the library's variables.
__attribute__((visibility("hidden"))) void exec_guard_prepare();

}  // namespace bbusim

#endif  // BBUSIM_EXEC_GUARD_H
