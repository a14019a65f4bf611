// world.h - the simulated world shared by every process of one bbusim run.
//
// The whole world is one fixed-size plain struct (no pointers, no containers)
// kept in a file in the run's root directory and mapped MAP_SHARED by every
// process of the run, so that a shell script calling i2ctransfer ten times
// talks to one BBU whose state and virtual clock carry on from call to call.
// One robust, process-shared mutex inside the mapping guards all of it.
#ifndef BBUSIM_WORLD_H
#define BBUSIM_WORLD_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bbusim {

constexpr std::uint32_t kWorldMagic = 0x53554242;  // "BBUS"
constexpr std::uint32_t kWorldVersion = 5;

constexpr int kMaxAdapters = 16;
constexpr std::size_t kAdapterPathMax = 256;
constexpr std::size_t kPathMax = 1024;
constexpr int kMaxFaults = 64;
constexpr int kMaxStrings = 15;  // byte 18's high nibble can count up to 15

constexpr std::size_t kStatusLen = 32;
constexpr std::size_t kStateSaveLen = 80;
constexpr std::size_t kStringLen = 32;
constexpr std::size_t kHeaderLen = 5;
constexpr std::size_t kMaxBlockData = 256;
constexpr std::size_t kMaxFrame = 16;
constexpr std::size_t kVpdLen = 256;
constexpr std::size_t kRtcRegs = 16;

// The BBU's flash: the first image at BBU address 0x1000, loaded in records
// of 128 bytes. Blocks beyond the flash's end are not taken.
constexpr std::uint32_t kFlashBase = 0x1000;
constexpr std::size_t kFlashLen = 0x10000;
constexpr std::size_t kBlockLen = 128;
constexpr std::size_t kFlashBlocks = kFlashLen / kBlockLen;
constexpr std::size_t kRecordLen = 5 + kBlockLen + 1;  // header, data, sumcheck

// I2C addresses of the devices on the simulated bus.
constexpr std::uint8_t kSarAddr = 0x40;
constexpr std::uint8_t kSarxAddr = 0x60;
constexpr std::uint8_t kVpdAddr = 0x54;
constexpr std::uint8_t kRtcAddr = 0x68;

enum class FaultKind : std::uint8_t {
    none,
    fail,          // transfers at an address fail with an errno
    shorten,       // transfers at an address carry fewer bytes
    open,          // opening an adapter fails with an errno
    gss_check,     // 33-byte status reads deliver a wrong check byte
    busy,          // a command stays in progress for a number of polls
    error_bits,    // error bits set in status byte 4, 5 or 6 when a command completes
    block_check,   // response-block reads deliver a wrong check byte
    echo,          // the next response block carries a wrong command echo
    block_number,  // ... a wrong block number
    block_count,   // ... a wrong block count
    vpd_flip,      // a read at the VPD EEPROM delivers one byte with bits flipped

    // Flash load: a block's Take_Flash_Block not seen, a block's record
    // reported with a checksum error, the first image's header read wrong.
    tfb_lost,
    block_checksum,
    first_image,

    // The power goes, or the program making the event dies (a host crash),
    // just before a message reaches its device or halfway through a pause.
    power_cut,
    crash,
};

// Where a power-cut or crash fault strikes: a message at its address, any
// message, a pause, or a point in virtual time after the run started.
enum class Strike : std::uint8_t { address, any_message, pause, at_time };

enum class Direction : std::uint8_t { any, read, write };

constexpr std::uint32_t kCountForever = 0xffffffffu;

struct Fault {
    FaultKind kind;
    Direction dir;
    std::uint8_t addr;
    std::uint8_t armed;     // 0 while it waits for its trigger command
    std::int32_t err;       // errno for fail and open
    std::uint32_t arg;      // shorten: length; busy: polls; error_bits: byte; header faults: value;
                            // tfb_lost, block_checksum: block number
    std::uint32_t mask;     // error_bits: the bits to set
    std::uint32_t count;    // events still to affect (kCountForever: all)
    std::uint32_t skip;     // matching events to let pass first
    std::int16_t on_code;   // trigger command code, -1 for none
    std::int16_t on_param;  // trigger parameter, -1 for any
    Strike strike;          // power_cut, crash: where it strikes
    std::uint64_t at_us;    // power_cut, crash at a time: microseconds after the run started
};

// What ended the run's command early: nothing, the power going, or a crash.
enum class Stop : std::uint8_t { none, power_cut, crash };

// How the BBU answers validate-image: from its own check of the image it holds,
// or as a scenario forces (non_zero; non_zero and reprogram_req; neither).
enum class Verdict : std::uint8_t { own_check, valid, reprogram, none };

// Where a real part may behave in more than one way, the simulated devices
// follow the choice held here (scenario lines `device WHAT CHOICE`, listed in
// device_choices.cpp). Each field holds the index of its choice in that
// statement's list; Fill is shared by the statements that choose a fill.
enum Fill : std::uint8_t { kFillFf, kFillZeros, kFillRandom };
enum CommandByte : std::uint8_t { kCommandByteCode, kCommandByteZero, kCommandByteRandom };
enum ValidBit : std::uint8_t { kValidFollows, kValidNever, kValidAlways };

struct Choices {
    std::uint8_t header_random;       // read-memory response bytes 0-5: header echo, or random
    std::uint8_t check_random;        // read-memory response byte 255: sumcheck, or random
    std::uint8_t padding;             // read-memory bytes after the data: kFillZeros or kFillRandom
    std::uint8_t idle;                // a read at 0x60 with nothing offered: kFillFf or kFillRandom
    std::uint8_t status_tail;         // status read bytes beyond byte 32 (Fill)
    std::uint8_t clear_keeps_power;   // 0xE9 leaves power_up set
    std::uint8_t clear_keeps_errors;  // 0xE9 leaves byte 5 (it clears at the next command)
    std::uint8_t power_up_at_start;   // the world starts with power_up set
    std::uint8_t restart_keeps_power;  // a restart never clears power_up once set
    std::uint8_t command_byte;         // status byte 19 while a command runs (CommandByte)
    std::uint8_t i2c_busy_bit;         // byte 4 bit 0x08 set while a command runs
    std::uint8_t validate_s;           // validate-image's verdict comes this long after it
    std::uint8_t program_s;            // End_Flash_Load of a whole image: programmed after this
    std::uint8_t version_keeps;        // status byte 30 keeps its value through a load
    std::uint8_t valid_bit;            // byte 6 bit 0x10 (ValidBit)
    std::uint8_t blank;                // unwritten or erased memory reads (Fill)
    std::uint8_t counter_random;       // bytes 12 and 13 on a taken block: step, or random
    std::uint8_t nack_remote;          // no acknowledge: EREMOTEIO instead of ENXIO
    std::uint8_t carried_random;       // command responses' ctr and len bytes: random
    std::uint8_t block_tail;           // a read at 0x60 beyond the block's end (Fill)
    std::uint64_t seed;                // the generator's seed (`device seed N`)
    std::uint64_t rng;                 // the generator's state: a kept world carries it on
};

// The BBU microcontroller behind 0x40 (SAR) and 0x60 (SARX).
struct Bbu {
    std::uint8_t status[kStatusLen];  // general status as set; live bytes are composed on read
    std::uint8_t invert_pinned;       // byte 1 set explicitly: it no longer follows byte 0
    std::uint64_t elapsed_set_us;     // virtual time at which bytes 8-11 were set
    std::uint8_t state_save[kStateSaveLen];
    std::uint8_t strings[kMaxStrings][kStringLen];
    std::uint64_t string_set_us[kMaxStrings];  // virtual time at which bytes 6-9 were set
    std::uint32_t busy_polls;                  // setting: status reads a command stays in progress

    // The command being executed.
    std::uint32_t busy_left;  // status reads before it completes
    std::uint8_t running;     // a command is in progress
    std::uint8_t code;
    std::uint8_t code_shown;  // status byte 19 while it runs
    std::uint8_t frame[kMaxFrame];
    std::uint8_t ctr;  // counts accepted commands, echoed in the header

    // The response block offered at 0x60.
    std::uint8_t block[kHeaderLen + kMaxBlockData + 1];
    std::uint16_t block_len;  // 0: nothing offered, reads give an idle window

    std::uint8_t fault_bits[3];  // bits that faults set in status bytes 4, 5, 6

    // Flash load, restarts and the memory behind the read-memory command.
    // Flash-program mode is status byte 4 bit 0x02 itself.
    std::uint8_t flash[kFlashLen];  // BBU memory from kFlashBase: the first image
    std::uint32_t image_len;        // bytes of the image held
    std::uint8_t image_broken;      // an incomplete load left it: it fails validation
    std::uint8_t record[kRecordLen];
    std::uint8_t record_state;  // 0 none, 1 a good record received, 2 ended by the terminate byte
    std::uint8_t taken[kFlashBlocks / 8];  // blocks taken since Start_Flash_Load
    std::uint32_t load_len;                // end of the highest block taken
    std::uint8_t load_erased;              // the first block taken erased the old image
    std::uint8_t load_lost;                // an ended record was never taken
    Verdict verdict;                       // setting: how validation answers
    std::uint32_t reset_polls;   // setting: status reads before power_up shows after a restart
    std::uint32_t restart_left;  // reads still to come before power_up shows
    std::uint8_t restarting;     // power_up is still to show
    std::uint64_t due_us;        // when a command that takes time completes
    // After End_Flash_Load of a whole image the BBU programs it: only at
    // commit_us does it hold the new image as valid (0: nothing to commit).
    std::uint64_t commit_us;
    std::uint8_t boot_code;  // no valid image: the boot code answers, not the firmware
    // Status byte 6 set explicitly: its valid_image and reprogram_req bits
    // stay as set instead of following the image.
    std::uint8_t image_bits_pinned;
};

// 24C02-style VPD EEPROM at 0x54.
struct Eeprom {
    std::uint8_t mem[kVpdLen];
    std::uint8_t pointer;
    std::uint32_t write_cycle_us;  // setting: how long a data write keeps it busy
    std::uint64_t busy_until_us;   // virtual time at which the current write cycle ends
};

// DS1337-like real-time clock at 0x68.
struct Rtc {
    std::uint8_t regs[kRtcRegs];
    std::uint8_t pointer;
    std::int64_t offset_s;      // clock time minus the virtual wall clock
    std::uint8_t alarm_armed;   // alarm 1 will reset the BBU processor at alarm_at_us
    std::uint64_t alarm_at_us;  // the next second boundary after the alarm was armed
};

// A recording served back to the program instead of the devices (bbusim
// --replay). The recording itself is a table in its own file in the root
// (replay.h); the world holds where the program has got to in it.
constexpr int kReplayFds = 64;
// The difference message: its prefix, the recording's name, two line bodies.
constexpr std::size_t kReplayLineMax = 8192 * 3 + 256;
constexpr std::size_t kReplayMessageMax = 2 * kReplayLineMax + kPathMax + 128;

struct Replay {
    std::uint8_t active;     // the run serves a recording
    std::uint8_t no_timing;  // pauses are not compared (the recording's are skipped)
    std::uint8_t differs;    // a difference ended the replay: every request now gets EIO
    std::uint32_t next;      // the next request of the recording to match
    // Descriptors the program got for the recording's: {program's, recorded}, -1 when free.
    std::int32_t fds[kReplayFds][2];
    char message[kReplayMessageMax];  // "replay differs at FILE:LINE: ..." once it differs
};

// The journal of the update under way. Every update of the devices happens
// under the world's lock; a process killed while holding it (a crash, kill -9)
// would leave a half-made update behind, a BBU no real one could be in. So the
// lock's taker saves what an update may change before it starts, and the next
// taker of a lock whose owner died puts it back: the dead process's update
// never happened. The virtual clock is not put back (time only moves on).
constexpr std::size_t kJournalSaveMax = 16384;
struct Journal {
    std::uint8_t open;  // an update is under way: `saved` holds the state before it
    std::uint8_t flash_saved;
    std::uint32_t flash_at;  // the flash bytes [flash_at, flash_at + flash_len) it changes
    std::uint32_t flash_len;
    std::uint8_t flash[kFlashLen];  // what they held, at the same offsets
    std::uint8_t saved[kJournalSaveMax];
};

struct World {
    std::uint32_t magic;
    std::uint32_t version;
    pthread_mutex_t lock;

    char root[kPathMax];
    // The transcript: its absolute name, the file's identity, and the descriptor
    // the launcher hands down to the command's processes (-1: none). A line goes
    // to that descriptor while it is still the same file, else to the file
    // reopened by name when that is still the same file, else nowhere.
    char transcript[kPathMax];
    std::uint64_t transcript_dev;
    std::uint64_t transcript_ino;
    std::int32_t transcript_fd;
    char adapters[kMaxAdapters][kAdapterPathMax];
    std::uint32_t adapter_count;

    std::uint64_t now_us;         // virtual time since the world was created
    std::int64_t wall_offset_us;  // wall clock = wall_offset_us + now_us
    std::uint8_t real_time;       // sleeps also sleep for real
    std::uint8_t log_dir;         // the trace log directory is wanted
    std::uint8_t absent[128];     // addresses whose device has been removed

    Bbu bbu;
    Eeprom eeprom;
    Rtc rtc;
    Fault faults[kMaxFaults];
    Choices choices;

    std::uint32_t bus_clock_hz;  // each message takes the time of a bus at this rate; 0: none

    // Power and the run's command. A kept world (bbusim --keep) carries the
    // devices into the next run; powered_off makes that run start with a
    // power-up.
    std::uint64_t run_start_us;  // virtual time at which this run started
    std::int32_t command_pid;    // the launcher's command process (0: none)
    Stop stop;                   // set when a power cut or crash ended the command
    std::uint8_t powered_off;    // the power went: nothing reaches the devices

    Replay replay;
    Journal journal;
};

// File names inside a run's root directory.
constexpr const char *kWorldFileName = "bbusim.world";
constexpr const char *kTranscriptFileName = "bbusim.transcript";
constexpr const char *kLockFileName = "bbusim.lock";

// The environment variable naming the world file for the command's processes.
constexpr const char *kEnvWorld = "BBUSIM_WORLD";

constexpr const char *kDefaultAdapter = "/dev/i2c-0b";
constexpr const char *kLogDir = "/opt/Logs/bbu/logs";

// Open a run's root directory, creating it when missing, without following
// a symbolic link as its last component. A private root is created 0700 and
// refused unless it is a directory of this user that grants nothing to group
// or others; any other root's missing parents are created too. Returns an
// O_DIRECTORY descriptor, or -1 with `err` saying why.
int open_root(const std::string &given, bool private_root, std::string &err);

// Lock the root for one run: an exclusive flock on ROOT/bbusim.lock, held
// while the returned descriptor stays open. -1 with `err` when another run
// holds it or the lock file cannot be opened safely.
int lock_root(int root_fd, const std::string &root, std::string &err);

// Create a fresh world file in the root open as `root_fd` (ROOT/tmp created
// too) with the default devices, and map it as this process's world. Its
// transcript is the file open as `transcript_fd` (see open_transcript), named
// `transcript_name` for processes that reopen it. With `keep`, the devices of
// the world file already in the root, if there is one, carry on instead: their
// state, settings and the virtual clock; faults, adapters and the run's
// options start afresh, and a world whose power went is powered up. A world
// file that is not a world of this version is refused. Returns "" or a message.
std::string world_create(int root_fd, const std::string &root, int transcript_fd,
                         const std::string &transcript_name, bool keep = false);

// The same for a root given by name (created with its parents), with the
// transcript `transcript`, empty for ROOT/bbusim.transcript.
std::string world_create(const std::string &root, const std::string &transcript);

// This process's world: the one created here, or the one named by
// BBUSIM_WORLD (mapped on first use). Null when there is none.
World *world();
// True when this process's world was named by BBUSIM_WORLD: it runs as part
// of a launcher's command, and a power cut or crash ends it.
bool world_is_commands();
// Map ROOT/bbusim.world of another run as this process's world; "" or why not.
std::string world_attach(const std::string &root);

// Fill a world with the default devices and settings (root and transcript kept).
void world_defaults(World &w, std::int64_t wall_now_us);

// Claim one more adapter path; false when the path is too long or the table
// is full. Claiming a path twice is harmless. The caller holds the lock.
bool claim_adapter_path(World &w, const std::string &path);
// True when path is one of the world's adapters. The caller holds the lock.
bool is_claimed_path(const World &w, const char *path);

// The update under the lock is complete: what follows (transcript lines) no
// longer needs putting back. The caller holds the lock.
void world_commit(World &w);
// Put the devices back as they were before the update a dead lock holder
// left half made, if there is one. The caller holds the lock.
void world_roll_back(World &w);

// Create a directory and its parents; true when it exists afterwards.
bool make_dirs(const std::string &path);

// Holds the world's lock for its lifetime; takes over a lock whose owner
// died, putting back the devices as they were before that owner's update.
class WorldLock {
public:
    explicit WorldLock(World &w);
    ~WorldLock();
    WorldLock(const WorldLock &) = delete;
    WorldLock &operator=(const WorldLock &) = delete;

private:
    World &w_;
};

// The text with every byte that is not printable ASCII, and the backslash,
// written as \xNN (\x5c for the backslash), so that a message quoting a path,
// an argument or a scenario word never sends raw control bytes to a terminal.
std::string printable(std::string_view text);

}  // namespace bbusim

#endif  // BBUSIM_WORLD_H
