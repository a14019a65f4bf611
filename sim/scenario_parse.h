// scenario_parse.h - the parts of the scenario reader that its files share:
// the words of a line, a refused statement, numbers, dates and byte runs, and
// the fault grammar. Private to the scenario reader (scenario.h is its face).
#ifndef BBUSIM_SCENARIO_PARSE_H
#define BBUSIM_SCENARIO_PARSE_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "world.h"

namespace bbusim {
namespace scenario_parse {

// One word of a line; the quotes of quoted text are not part of `text`.
struct Word {
    std::string text;
    bool quoted = false;
};
using Words = std::vector<Word>;

// A refused statement; the message says why.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const std::string &why);

// The row of a table (statements, fault kinds, fault options) with this name.
template <typename Row, std::size_t N>
const Row *find_row(const Row (&rows)[N], std::string_view name)
{
    for (const Row &r : rows)
        if (name == r.name)
            return &r;
    return nullptr;
}

// Lexing (scenario_lexer.cpp): a line's words, and words as messages show them.
Words split_words(const std::string &line);
std::string shown(const Word &w);
const std::string &bare(const Word &w, const std::string &what);

// Numbers, dates and byte runs (scenario_numbers.cpp).
unsigned long long number(const Word &w, unsigned long long min, unsigned long long max,
                          const char *what);
unsigned hex_value(const Word &w, unsigned max, const char *what);
std::vector<std::uint8_t> byte_run(const Words &t, std::size_t from);
// A position in an area of `size` bytes (words[at]) and the run of bytes
// after it, checked to fit.
struct Run {
    std::size_t pos;
    std::vector<std::uint8_t> bytes;
};
Run run_at(const Words &t, std::size_t at, std::size_t size, const char *what, const char *area);
bool on_off(const Word &w, const char *on, const char *off);
std::int64_t local_clock(const Word &date, const Word &time);
std::int64_t epoch_clock(const Word &w);

// The fault grammar (scenario_faults.cpp): a "fault ..." line.
Fault parse_fault(const Words &t);

// A `device WHAT CHOICE`, `device strict` or `device seed N` line
// (device_choices.cpp): applied, true; false when the line names an address.
bool apply_device_choice(World &w, const Words &t);

}  // namespace scenario_parse
}  // namespace bbusim

#endif  // BBUSIM_SCENARIO_PARSE_H
