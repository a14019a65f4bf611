// What the simulated devices truly hold after a change, named in the texts a
// checked operation's failure uses for it, and the judge of an outcome
// against it. The fault sweep (bbuctl run on the world) and the device
// fuzzer (the checked operations run in-process) judge by the same truths.
// Reads the world through the in-process simulator only: no test framework.
#ifndef BBU_TESTS_SUPPORT_WORLD_TRUTHS_H
#define BBU_TESTS_SUPPORT_WORLD_TRUTHS_H

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace world_truths {

using Truths = std::set<std::string>;
using Vpd = std::array<std::uint8_t, 256>;

constexpr std::uint32_t kImageAt = 0x1000;  // the first image

// The state text a failure uses for what the device holds, as the library
// names it; the longest that the message contains ("neither the old nor the
// new value is in place" contains "the new value is in place").
std::string holds_named(const std::string &err);

// The service/fault light now against the one before and the one wanted.
Truths light(int before, int wanted);

// `old` with the code level's last two characters set to `codelevel`, as
// the update means to leave it: length byte 0xfd, a new check byte.
Vpd with_codelevel(Vpd old, const char *codelevel);
// The VPD now against the one before and the one meant.
Truths vpd(const Vpd &old, const Vpd &meant);

// Whether the BBU restarted, as a program can see it: power_up set, or a
// restart still to show. The BBU must start with power_up clear.
Truths restart();

// The image the BBU's memory holds (each compared over its own length) and
// its own check of it; never status byte 30 or valid_image, which some BBUs
// do not keep up to date.
Truths image(const std::vector<std::uint8_t> &image, const std::vector<std::uint8_t> &old);

// What is wrong with the outcome of a change ("" when nothing,
// "unverifiable" for a failure that says the device could not be read):
// success only with `success` among the truths, a failure only naming one.
std::string judge(bool succeeded, const std::string &holds, const Truths &now,
                  const std::string &success);

// A failure's state that says the device could not be read at all.
bool unread(const std::string &holds);

}  // namespace world_truths

#endif  // BBU_TESTS_SUPPORT_WORLD_TRUTHS_H
