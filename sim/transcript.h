// transcript.h - the run's transcript: one line per event, stamped with the
// virtual time at which the event started ("S.UUUUUU").
#ifndef BBUSIM_TRANSCRIPT_H
#define BBUSIM_TRANSCRIPT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "world.h"

namespace bbusim {

// Builds one line and appends it with a single write(2) to the transcript,
// opened with O_APPEND, so lines of concurrent processes never mix. Safe in
// a small thread stack and in a signal handler: the text sits in a small
// buffer on the stack; a line with many transfer bytes moves to a buffer the
// process keeps mapped for that (or one mapped for that line), never malloc.
class TranscriptLine {
public:
    explicit TranscriptLine(std::uint64_t t_us);
    ~TranscriptLine();
    TranscriptLine(const TranscriptLine &) = delete;
    TranscriptLine &operator=(const TranscriptLine &) = delete;
    TranscriptLine &text(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // " b0 b1 ..." in lower-case hex.
    TranscriptLine &bytes(const std::uint8_t *p, std::size_t n);
    void emit(const World &w);

    // The longest line: a message of 8192 bytes and its text.
    static constexpr std::size_t kMax = 8192 * 3 + 256;

private:
    // Room for `more` bytes and the newline; false when the line is full.
    bool reserve(std::size_t more);

    static constexpr std::size_t kInline = 256;
    char inline_[kInline];
    char *buf_ = inline_;
    std::size_t cap_ = kInline;
    std::size_t n_ = 0;
};

// An observer of this process's transcript lines, for in-process tests
// (bbusim::observe_transcript); nullptr when none.
using LineObserver = void (*)(std::string_view line, void *context);
void set_line_observer(LineObserver observer, void *context);

// Open a run's transcript once, for appending. `path` empty is
// ROOT/bbusim.transcript: a regular file, never reached through a symbolic
// link. A named regular file is emptied, unless its name is a symbolic link:
// then it is only appended to (--transcript /dev/stderr with standard error
// redirected to a file). A FIFO or pipe, or a character device (terminal,
// /dev/null), is written as it is; a FIFO that no process reads is refused
// rather than waited for; anything else is refused. Returns the descriptor
// (O_APPEND, close-on-exec) with the file's absolute name in `name`, or -1
// with `err` saying why.
int open_transcript(int root_fd, const std::string &root, const std::string &path,
                    std::string &name, std::string &err);

// "ENOENT" for ENOENT; a number in text for an errno without a name.
std::string errno_name(int err);
// The errno for a name ("EIO") or a decimal number; 0 when unknown.
int errno_from_name(const std::string &name);

}  // namespace bbusim

#endif  // BBUSIM_TRANSCRIPT_H
