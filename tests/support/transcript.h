// The simulator's transcript read back: its events, and its transfers as
// records of their fields.
#ifndef BBU_TESTS_SUPPORT_TRANSCRIPT_H
#define BBU_TESTS_SUPPORT_TRANSCRIPT_H

#include <cstdint>
#include <string>
#include <vector>

#include "bytes.h"

namespace bbutest {

// One message on the bus, from a line such as "0.050000 read 0x40 33 -> 33 : 31 ce ..."
// or "0.100000 write 0x40 3 : c8 00 c8 -> 3".
struct Transfer {
    std::uint64_t us = 0;  // virtual time in microseconds
    bool read = false;
    unsigned addr = 0;
    int len = 0;        // the length asked for
    int result = -1;    // the bytes carried; -1 when the request failed
    std::string error;  // then the errno name, e.g. "EIO"
    Bytes bytes;        // what a write offered or a read delivered
    std::string text;   // the event without its time stamp

    // The event without the bytes a read delivered: "read 0x40 33 -> 33".
    std::string shape() const
    {
        return read ? text.substr(0, text.find(" : ")) : text;
    }
};

enum class Dir { any, read, write };

// The events without their time stamps: "open /dev/i2c-0b -> 3", "sleep 50000", ...
std::vector<std::string> events(const std::vector<std::string> &transcript);

// The transfers; only those at one address (addr >= 0) or in one direction when asked.
std::vector<Transfer> transfers(const std::vector<std::string> &transcript, int addr = -1,
                                Dir dir = Dir::any);

}  // namespace bbutest

#endif  // BBU_TESTS_SUPPORT_TRANSCRIPT_H
