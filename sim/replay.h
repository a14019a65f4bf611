// replay.h - a recorded conversation served back to a program (bbusim --replay).
//
// The launcher reads the recording (a transcript of a real run, see
// docs/recording.md), refuses it whole at its first malformed line, and
// writes its requests as a table to ROOT/bbusim.replay: the entries in order,
// then a pool of bytes (the data of writes and reads, paths and request
// names, and each line's text for messages). The command's processes map the
// table read-only; where they have got to in it is in the world
// (World::replay), under the world's lock, shared by all of them.
//
// Each request of the program is matched against the next entry: an open by
// its path, a close by its descriptor (as the recording numbered it), a write
// by address, length and bytes, a read by address and length, a request
// refused as a whole by its name, a pause by its length. A match is answered
// from the entry; the first request that differs ends the replay, and every
// request after it fails with EIO.
#ifndef BBUSIM_REPLAY_H
#define BBUSIM_REPLAY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "world.h"

namespace bbusim {

enum class ReplayKind : std::uint8_t { open, close, write, read, ioctl, sleep };

struct ReplayEntry {
    ReplayKind kind;
    std::uint16_t addr;   // write, read: the message's address
    std::uint32_t line;   // its line in the recording
    std::uint32_t len;    // write, read: the message's length; close: the recorded descriptor
    std::int32_t result;  // bytes carried or the descriptor opened, or -errno
    std::uint64_t us;     // sleep: the pause asked for
    // In the pool: the bytes written or read, open's path, the request's name;
    // and the line without its time stamp.
    std::uint32_t data, data_len;
    std::uint32_t text, text_len;
};

// The table file: this header, `count` entries, `pool_len` bytes of pool.
struct ReplayTable {
    std::uint32_t magic;
    std::uint32_t count;
    std::uint32_t pool_len;
    std::uint32_t end_line;  // the exit line, or the line after the last request
    std::uint32_t end_text;  // in the pool: the exit line's text (empty when none)
    std::uint32_t end_len;
    std::uint32_t file, file_len;  // in the pool: the recording's name
};

constexpr std::uint32_t kReplayMagic = 0x50524242;  // "BBRP"
constexpr const char *kReplayFileName = "bbusim.replay";
// A recording is read whole: at most this many bytes.
constexpr std::size_t kRecordingMax = std::size_t{16} * 1024 * 1024;

// A recording as the launcher reads it.
struct Recording {
    std::vector<ReplayEntry> entries;
    std::string pool;
    std::vector<std::string> paths;  // the adapter paths it opens
    std::uint32_t end_line = 0;
    std::string end_text;
    bool has_start = false;  // the header says when it started
    std::int64_t start_wall_us = 0;
};

// Reads and checks the recording `path`: "" or the reason it is refused
// ("FILE:LINE: ..." for a malformed line).
std::string read_recording(const std::string &path, Recording &out);

// The same for a recording's text already read; `name` stands for the file
// in the messages.
std::string parse_recording(const std::string &text, const std::string &name, Recording &out);

// Writes the table to ROOT/bbusim.replay (never through a symbolic link) and
// starts the replay in the world; "" or why not. `name` is the recording's
// name for the messages.
std::string start_replay(World &w, int root_fd, const std::string &root, const Recording &rec,
                         const std::string &name, bool no_timing);

// Lets go of the table this process mapped for an earlier replay, so that
// the next request maps the one start_replay writes (a program that links
// the simulator may replay one recording after another).
void release_replay_table();

// After the command: a recording with requests left over differs at its first
// unused one. True when the replay differed; then w.replay.message says how.
bool finish_replay(World &w);

// A request of the program, in the terms of a recording's line.
struct ReplayRequest {
    ReplayKind kind;
    std::uint16_t addr = 0;
    std::size_t len = 0;
    const std::uint8_t *bytes = nullptr;  // write: the bytes offered
    const char *name = nullptr;           // open: the path; ioctl: the request's name
    std::uint64_t number = 0;             // close: the descriptor; sleep: the pause
};

// Matches the request with the next entry of the recording (the caller holds
// the world's lock): the entry that answers it, or null when the replay
// differs, now or before (the request then gets EIO).
const ReplayEntry *replay_match(World &w, const ReplayRequest &request);

// One message answered from the recording: the bytes carried (a read's
// recorded bytes copied to buf) or a negative errno.
int replay_transfer(World &w, std::uint16_t addr, bool is_read, std::uint8_t *buf, std::size_t len);

// An open of an adapter path: the recorded descriptor (>= 0) or -errno; the
// caller opens a descriptor of its own and tells it with replay_opened.
int replay_open(World &w, const char *path);
void replay_opened(World &w, int fd, int recorded);
// A close of a claimed descriptor, matched under the recording's number for it.
void replay_close(World &w, int fd);
// A request refused as a whole: the errno the recording gives it (EIO when it differs).
int replay_refusal(World &w, const char *name);
// A pause (not matched with --no-timing).
void replay_pause(World &w, std::uint64_t us);

}  // namespace bbusim

#endif  // BBUSIM_REPLAY_H
