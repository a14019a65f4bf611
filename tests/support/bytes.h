// Byte strings as the tests write and compare them: lower-case hex,
// files read whole, and the end-around-carry sum that checks the BBU's check
// bytes, written here from its definition rather than taken from the library.
#ifndef BBU_TESTS_SUPPORT_BYTES_H
#define BBU_TESTS_SUPPORT_BYTES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bbutest {

using Bytes = std::vector<std::uint8_t>;

// "c8 00 c8": a blank between bytes.
std::string hex(const void *data, std::size_t n);

// Sum with end-around carry: when adding a byte wraps past 0xff, the carry is added back in.
std::uint8_t end_around_sum(const std::uint8_t *p, std::size_t n);

// A whole file ("" when it cannot be read) and the lines of a text.
std::string read_file(const std::string &path);
std::vector<std::string> lines(const std::string &text);

}  // namespace bbutest

#endif  // BBU_TESTS_SUPPORT_BYTES_H
