// record.h - the recording: a program's whole conversation on its i2c-dev
// adapters, written down as it happens on a real machine (or inside a
// simulated run), in the transcript's own line formats.
//
// The recorder library (libbbusim-record.so) is preloaded before anything
// else and passes every call to the next definition; it only writes down
// what happened. The processes of a recorded command find the recording
// through the environment:
//
//   BBUSIM_RECORD_FD     the recording's descriptor, opened O_APPEND
//   BBUSIM_RECORD_FILE   its absolute name, to reopen it after a program
//                        closed the descriptor (never through a symbolic link)
//   BBUSIM_RECORD_ID     DEV:INO of the recording: a line goes only there
//   BBUSIM_RECORD_START  CLOCK_MONOTONIC microseconds at the recording's start
//   BBUSIM_RECORD_BEGIN  set by a program that records itself (bbu-i2cd
//                        --record): the recorder writes the header and, when
//                        the process exits, the exit line
#ifndef BBUSIM_RECORD_H
#define BBUSIM_RECORD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bbusim {

constexpr const char *kEnvRecordFd = "BBUSIM_RECORD_FD";
constexpr const char *kEnvRecordFile = "BBUSIM_RECORD_FILE";
constexpr const char *kEnvRecordId = "BBUSIM_RECORD_ID";
constexpr const char *kEnvRecordStart = "BBUSIM_RECORD_START";
constexpr const char *kEnvRecordBegin = "BBUSIM_RECORD_BEGIN";

constexpr const char *kRedactedWhat = "VPD serial and part numbers";

// Where the recording goes, as the environment hands it down.
struct RecordTarget {
    int fd = -1;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t start_us = 0;
    char file[1024] = {};
};

// One line of the recording, built without malloc (a small buffer on the
// stack; a long transfer's line in pages mapped for it) and appended with
// one write(2), so lines of concurrent processes never mix.
class RecordLine {
public:
    // A line stamped `t_us` after the recording's start, with room for a
    // path or transfer of `bytes` bytes.
    RecordLine(std::uint64_t t_us, std::size_t bytes);
    ~RecordLine();
    RecordLine(const RecordLine &) = delete;
    RecordLine &operator=(const RecordLine &) = delete;
    RecordLine &text(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // " b0 b1 ..." in lower-case hex.
    RecordLine &bytes(const std::uint8_t *p, std::size_t n);
    // A path, bytes outside printable ASCII and blanks as \xNN.
    RecordLine &path(const char *p);
    void emit(const RecordTarget &target);

private:
    static constexpr std::size_t kInline = 512;
    char inline_[kInline];
    char *buf_ = inline_;
    std::size_t cap_ = kInline;
    std::size_t mapped_ = 0;
    std::size_t n_ = 0;
};

// Microseconds of the monotonic clock.
std::uint64_t monotonic_now_us();

// The target described by the environment; fd -1 when there is none.
void read_record_target(RecordTarget &target);

// The header's lines, newline-terminated: format, UTC start, host, command,
// versions, redaction.
std::string record_header(const std::vector<std::string> &command, std::string_view version,
                          bool redacted);

// Opens FILE for a recording: a regular file created 0600, or emptied; a
// symbolic link, a FIFO, a directory or a device is refused. Returns the
// descriptor (O_APPEND, close-on-exec) or -1 with `err` saying why.
int open_recording(const std::string &path, std::string &err);

// Exports the target to the environment for the command's processes (the
// descriptor is made inheritable, moved to 100 or above when it can be).
// Returns the target, its start time now.
RecordTarget hand_down_recording(int fd, const std::string &path);

// The recording's text with the VPD's serial and part numbers replaced by
// placeholders of the same length, in every read and write at 0x54, and the
// check bytes those reads and writes carry made to fit; the header says so.
std::string redact_recording(const std::string &text);

}  // namespace bbusim

#endif  // BBUSIM_RECORD_H
