// The library's private helpers, shared by its operations and never part of
// its interface.
#ifndef BBU_LIBRARY_INTERNAL_H
#define BBU_LIBRARY_INTERNAL_H

#include <bbu/bbu.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <cstddef>

#include <unistd.h>

// How long the BBU is given to settle after a soft reset before it is read again.
constexpr unsigned SOFT_RESET_SETTLE_SECONDS = 5;

// The clock's registers and the values the hard reset writes to them.
constexpr unsigned char ALARM1_REG = offsetof(RTCdata, secondsA1);
constexpr unsigned char CONTROL_REG = offsetof(RTCdata, ctlFlags);
constexpr unsigned char STATUS_REG = CONTROL_REG + 1;
constexpr unsigned char MATCH_EVERY_SECOND = 0x80;  // the match-mask bit of an alarm register
constexpr unsigned char ALARM1_ENABLED = (INTCN | A1IE) >> 8;
constexpr unsigned char ALARM1_DISABLED = INTCN >> 8;

// The VPD image: what its check byte covers, the pause between the code-level
// update's transfers, and the five bytes (by word address) the update writes.
constexpr int VPD_CHECKED_LEN = BBU_VPD_LEN - 1;  // the check byte covers bytes 0 to 254
constexpr useconds_t EEPROM_PAUSE_US = 1000;
constexpr int LENGTH_BYTE = 0x01;
constexpr unsigned char LENGTH_VALUE = 0xFD;  // the count of bytes 2 to 254
constexpr int LEVEL_FIRST_BYTE = 0x47;        // the last two code-level characters
constexpr int LEVEL_SECOND_BYTE = 0x48;
constexpr int LAST_DATA_BYTE = 0xFE;
constexpr int CHECK_BYTE = 0xFF;

// A file descriptor closed when it goes out of scope, so that every return,
// early ones included, closes the files the library opened.
struct FileGuard {
    int fd;
    explicit FileGuard(int opened) : fd(opened) {}
    ~FileGuard()
    {
        if (fd >= 0)
            close(fd);
    }
    FileGuard(const FileGuard &) = delete;
    FileGuard &operator=(const FileGuard &) = delete;
};

// The library's progress and problem lines, the one way its operations reach
// the console: show_line() writes a line to standard output or standard error
// when asked (as a rule when verbose); trace_and_show() writes the same text
// to the trace log always and to the console when asked. A line for the trace
// log alone goes straight to LogTrace().
BBU_PRINTF(3, 4)
inline void show_line(std::FILE *console, bool show, const char *format, ...)
{
    if (!show)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(console, format, args);
    va_end(args);
}

BBU_PRINTF(3, 4)
inline void trace_and_show(std::FILE *console, bool show, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    // The console gets the whole line (a file name may be long); the trace
    // log keeps the first 512 characters of it, as it does of every line.
    if (show) {
        va_list whole;
        va_copy(whole, args);
        std::vfprintf(console, format, whole);
        va_end(whole);
    }
    char line[513];
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    LogTrace("%s", line);
}

// byte12_beforeTFB and byte13_beforeTFB taken from the last status read, the
// one before a Take_Flash_Block (kept by the handshake, which compares them).
void note_status_before_tfb();

// The optional pause after every Take_Flash_Block write, in the load and in
// each re-send: TFB_delaytime milliseconds when TFB_delay is set.
inline void tfb_delay()
{
    if (TFB_delay == 0)
        return;
    LogTrace("Delay here for %d millisecond\n", TFB_delaytime);
    // A caller's setting: a negative one pauses not at all, a large one is
    // not cut short by an overflow.
    const int ms = TFB_delaytime > 0 ? TFB_delaytime : 0;
    const timespec pause{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
}

// The verbose flag of the library's status reads: they take 2 as well as 0 and
// 1, the transfers only off and on, so every status read hands its flag down
// to the transfers through this (2 becomes 1).
constexpr int bbu_status_verbose(int verbose)
{
    return verbose == 2 ? 1 : verbose;
}

#endif  // BBU_LIBRARY_INTERNAL_H
