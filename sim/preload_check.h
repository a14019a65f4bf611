// preload_check.h - whether a preloaded library loads into the program that
// an exec would run: the one check of the launcher and of the exec functions
// of the interposer and the recorder.
//
// The dynamic loader puts LD_PRELOAD's libraries only into a dynamically
// linked program of this machine, and leaves them out of a set-user-ID,
// set-group-ID or file-capability program (secure execution). Under the
// simulator such a program would open the machine's own adapters; under the
// recorder it would record nothing. A script is followed through its #! line
// to its interpreter, as the kernel does.
//
// The check uses system calls only, allocates nothing and keeps its buffers
// in the PreloadCheck the caller gives: it is safe in the child of a fork of
// a multithreaded program, and in a signal handler.
#ifndef BBUSIM_PRELOAD_CHECK_H
#define BBUSIM_PRELOAD_CHECK_H

#include <climits>
#include <cstddef>

namespace bbusim {

// Whose library is to load: the words of the refusal.
enum class Preloaded { simulator, recorder };

// The exit status of a process stopped at an exec the library cannot follow,
// and of the launcher that refuses its command.
constexpr int kNotPreloadable = 122;

// The longest name a refusal quotes escaped (four bytes for each byte).
constexpr std::size_t kShownPathMax = std::size_t{4} * PATH_MAX;

// The scratch of one check: too large for a small thread's stack, so the
// exec functions map it.
struct PreloadCheck {
    char program[PATH_MAX];  // the program found on PATH
    char interpreter[PATH_MAX];
    char head[256];  // a file's first bytes: the kernel reads no more of a #! line
    char message[2 * kShownPathMax + 256];
};

// Whether `library` (null: none to check) can load into what an exec of
// `path` runs: `path` as it is when it holds a '/' or `search` is false,
// otherwise the first executable file of that name in PATH, as execvp finds
// it. True also when the exec itself would fail before anything runs (no such
// file, no permission, not a format the kernel runs): it then says so
// itself. False with check.message set, one line ending in a newline, when
// the library cannot load into the program or the program cannot be read to
// tell.
// Hidden: each preloaded library uses its own.
__attribute__((visibility("hidden"))) bool preload_admitted(const char *path, bool search,
                                                            Preloaded who, const char *library,
                                                            PreloadCheck &check);

}  // namespace bbusim

#endif  // BBUSIM_PRELOAD_CHECK_H
