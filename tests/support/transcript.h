// The simulator's transcript read back as records: every event with its
// virtual time, and the transfers on the bus with their fields.
#ifndef BBU_TESTS_SUPPORT_TRANSCRIPT_H
#define BBU_TESTS_SUPPORT_TRANSCRIPT_H

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"

namespace bbutest {

struct Event {
    std::uint64_t us = 0;  // virtual time in microseconds
    std::string text;      // the event: "open /dev/i2c-0b -> 3", "sleep 50000", ...
};

// One message on the bus: "read 0x40 33 -> 33 : 31 ce ..." or "write 0x40 3 : c8 00 c8 -> 3".
struct Transfer {
    std::uint64_t us = 0;
    bool read = false;
    unsigned addr = 0;
    int len = 0;        // the length asked for
    int result = -1;    // the bytes carried; -1 when the request failed
    std::string error;  // then the errno name, e.g. "EIO"
    Bytes bytes;        // what a write offered or a read delivered
    std::string text;   // the event as the transcript shows it

    // The event without the bytes a read delivered: "read 0x40 33 -> 33".
    std::string shape() const;
};

enum class Dir { any, read, write };

std::vector<Event> events(const std::vector<std::string> &transcript);

// The transfers, those at one address (addr >= 0) or in one direction only when asked.
std::vector<Transfer> transfers(const std::vector<std::string> &transcript, int addr = -1,
                                Dir dir = Dir::any);

}  // namespace bbutest

#endif  // BBU_TESTS_SUPPORT_TRANSCRIPT_H
