// device_choices.cpp - the ways a real BBU, VPD EEPROM or clock may behave
// where more than one is possible, one scenario statement each, and the
// world's generator of random bytes.
//
// `device WHAT CHOICE` picks one; `device strict` picks for each the choice
// that helps a client least: nothing outside the bytes a client may rely on
// carries meaning, and every wait takes as long as it may. `device seed N`
// seeds the generator, so a run (and a kept world) gives the same bytes again.
#include <algorithm>
#include <cerrno>
#include <iterator>

#include "bbusim.h"
#include "devices.h"
#include "scenario_parse.h"

namespace bbusim {
namespace {

using namespace scenario_parse;

constexpr std::uint64_t kDefaultSeed = 0x4242553153494dULL;
// The longest validation and programming a client's 10-second waits still see.
constexpr unsigned kLongestWaitS = 10;
// The soft reset polls 30 times: a restart that shows at the last poll.
constexpr std::uint32_t kStrictResetPolls = 29;
// What 24-series EEPROMs take for a write cycle.
constexpr std::uint32_t kStrictWriteCycleUs = 10000;

// One statement: its words after `device`, "#" where the choice goes; the
// names of the choices by their value (null: no choice has that value), or
// none for a number of seconds up to kLongestWaitS.
struct ChoiceRow {
    const char *words[3];
    std::uint8_t Choices::*field;
    const char *names[3];
    std::uint8_t fallback;  // the default: today's behaviour
    std::uint8_t strict;
};

constexpr ChoiceRow kChoices[] = {
    {{"response-header", "#"}, &Choices::header_random, {"echo", "random"}, 0, 1},
    {{"response-check", "#"}, &Choices::check_random, {"sum", "random"}, 0, 1},
    {{"response-padding", "#"},
     &Choices::padding,
     {nullptr, "zeros", "random"},
     kFillZeros,
     kFillRandom},
    {{"idle-response", "#"}, &Choices::idle, {"ff", nullptr, "random"}, kFillFf, kFillRandom},
    {{"status-tail", "#"}, &Choices::status_tail, {"ff", "zeros", "random"}, kFillFf, kFillRandom},
    {{"clear-status", "#", "power-up"}, &Choices::clear_keeps_power, {"clears", "keeps"}, 0, 1},
    {{"clear-status", "#", "errors"}, &Choices::clear_keeps_errors, {"clears", "keeps"}, 0, 1},
    {{"power-up", "start", "#"}, &Choices::power_up_at_start, {"clear", "set"}, 0, 1},
    {{"power-up", "restart", "#"}, &Choices::restart_keeps_power, {"clears", "keeps"}, 0, 1},
    {{"command-byte", "#"},
     &Choices::command_byte,
     {"code", "zero", "random"},
     kCommandByteCode,
     kCommandByteRandom},
    {{"i2c-busy-bit", "#"}, &Choices::i2c_busy_bit, {"never", "during-command"}, 0, 1},
    {{"validate-time", "#"}, &Choices::validate_s, {}, 2, kLongestWaitS},
    {{"program-time", "#"}, &Choices::program_s, {}, 6, kLongestWaitS},
    {{"version-byte", "#"}, &Choices::version_keeps, {"follows", "keeps"}, 0, 1},
    {{"valid-image-bit", "#"},
     &Choices::valid_bit,
     {"follows", "never", "always"},
     kValidFollows,
     kValidNever},
    {{"blank-memory", "#"}, &Choices::blank, {"ff", "zeros", "random"}, kFillFf, kFillRandom},
    {{"block-counter", "#"}, &Choices::counter_random, {"step", "random"}, 0, 1},
    {{"nack", "#"}, &Choices::nack_remote, {"ENXIO", "EREMOTEIO"}, 0, 1},
    {{"response-ctr-len", "#"}, &Choices::carried_random, {"exact", "random"}, 0, 1},
    {{"block-tail", "#"}, &Choices::block_tail, {"ff", nullptr, "random"}, kFillFf, kFillRandom},
};

std::size_t pattern_len(const ChoiceRow &row)
{
    std::size_t n = 0;
    while (n < std::size(row.words) && row.words[n] != nullptr)
        ++n;
    return n;
}

// The row whose words the line's words after `device` match (any word in
// the choice's place), or null.
const ChoiceRow *match_row(const Words &t)
{
    for (const ChoiceRow &row : kChoices) {
        const std::size_t n = pattern_len(row);
        bool same = t.size() == n + 1;
        for (std::size_t i = 0; same && i < n; ++i)
            same = std::string_view(row.words[i]) == "#" ||
                   (!t[i + 1].quoted && t[i + 1].text == row.words[i]);
        if (same)
            return &row;
    }
    return nullptr;
}

// True when some statement starts with this word: the line is a choice, not
// an address.
bool is_choice_word(const Word &w)
{
    if (w.quoted)
        return false;
    for (const ChoiceRow &row : kChoices)
        if (w.text == row.words[0])
            return true;
    return w.text == "strict" || w.text == "seed";
}

// The row's statement with `choice` in the choice's place.
std::string statement_of(const ChoiceRow &row, const std::string &choice)
{
    std::string out = "device";
    for (std::size_t i = 0; i < pattern_len(row); ++i)
        out += " " + (std::string_view(row.words[i]) == "#" ? choice : std::string(row.words[i]));
    return out;
}

bool takes_seconds(const ChoiceRow &row)
{
    return row.names[0] == nullptr && row.names[1] == nullptr;
}

std::string usage_of(const ChoiceRow &row)
{
    std::string choices;
    for (const char *name : row.names)
        if (name != nullptr)
            choices += (choices.empty() ? "" : "|") + std::string(name);
    if (choices.empty())
        choices = "SECONDS";
    return statement_of(row, choices);
}

std::uint8_t choice_value(const ChoiceRow &row, const Word &w)
{
    if (takes_seconds(row))
        return static_cast<std::uint8_t>(number(w, 0, kLongestWaitS, "a number of seconds"));
    for (std::size_t i = 0; i < std::size(row.names); ++i)
        if (row.names[i] != nullptr && !w.quoted && w.text == row.names[i])
            return static_cast<std::uint8_t>(i);
    refuse("usage: " + usage_of(row) + ", got " + shown(w));
}

std::size_t choice_slot(const ChoiceRow &row)
{
    std::size_t i = 0;
    while (std::string_view(row.words[i]) != "#")
        ++i;
    return i + 1;
}

void seed_generator(World &w, std::uint64_t seed)
{
    w.choices.seed = seed;
    w.choices.rng = seed;
}

// Memory beyond the image held reads as the blank-memory choice has it.
void refill_blank(World &w)
{
    const std::uint32_t from = std::min<std::uint32_t>(w.bbu.image_len, kFlashLen);
    blank_fill(w, flash_bytes(w, from, kFlashLen - from), kFlashBase + from, kFlashLen - from);
}

void apply_strict(World &w)
{
    for (const ChoiceRow &row : kChoices)
        w.choices.*row.field = row.strict;
    w.eeprom.write_cycle_us = kStrictWriteCycleUs;
    w.bbu.reset_polls = kStrictResetPolls;
    device_choices_apply_start(w);
    refill_blank(w);
}

}  // namespace

void device_choices_defaults(World &w)
{
    for (const ChoiceRow &row : kChoices)
        w.choices.*row.field = row.fallback;
    seed_generator(w, kDefaultSeed);
}

std::uint8_t random_byte(World &w)
{
    // splitmix64: a whole 64-bit state, so that a kept world carries it on.
    std::uint64_t z = (w.choices.rng += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<std::uint8_t>(z ^ (z >> 31));
}

void blank_fill(const World &w, std::uint8_t *out, std::uint64_t address, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (w.choices.blank != kFillRandom) {
            out[i] = w.choices.blank == kFillZeros ? 0x00 : 0xff;
            continue;
        }
        // The same address always reads the same: a hash of seed and address.
        std::uint64_t z = w.choices.seed ^ ((address + i) * 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 31)) * 0xd6e8feb86659fd93ULL;
        out[i] = static_cast<std::uint8_t>(z ^ (z >> 32));
    }
}

void fill_bytes(World &w, std::uint8_t fill, std::uint8_t *out, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        out[i] = fill == kFillFf ? 0xff : fill == kFillZeros ? 0x00 : random_byte(w);
}

void device_choices_apply_start(World &w)
{
    constexpr std::uint8_t kPowerUp = 0x04;  // status byte 2
    if (w.choices.power_up_at_start != 0)
        w.bbu.status[2] |= kPowerUp;
    else
        w.bbu.status[2] &= static_cast<std::uint8_t>(~kPowerUp);
}

int nack_errno(const World &w)
{
    return w.choices.nack_remote != 0 ? EREMOTEIO : ENXIO;
}

std::vector<std::string> device_choice_statements()
{
    std::vector<std::string> out{"device strict"};
    for (const ChoiceRow &row : kChoices) {
        const std::size_t values = takes_seconds(row) ? kLongestWaitS + 1 : std::size(row.names);
        for (std::size_t v = 0; v < values; ++v)
            if (takes_seconds(row) || row.names[v] != nullptr)
                out.push_back(
                    statement_of(row, takes_seconds(row) ? std::to_string(v) : row.names[v]));
    }
    return out;
}

namespace scenario_parse {

bool apply_device_choice(World &w, const Words &t)
{
    if (t.size() < 2 || !is_choice_word(t[1]))
        return false;
    if (t[1].text == "strict") {
        if (t.size() != 2)
            refuse("usage: device strict");
        apply_strict(w);
        return true;
    }
    if (t[1].text == "seed") {
        if (t.size() != 3)
            refuse("usage: device seed N");
        seed_generator(w, number(t[2], 0, UINT64_MAX, "a seed"));
        return true;
    }
    const ChoiceRow *row = match_row(t);
    if (row == nullptr) {  // the forms that start with this word
        std::string forms;
        for (const ChoiceRow &r : kChoices)
            if (t[1].text == r.words[0])
                forms += (forms.empty() ? "" : " | ") + usage_of(r);
        refuse("usage: " + forms);
    }
    w.choices.*row->field = choice_value(*row, t[choice_slot(*row)]);
    if (row->field == &Choices::power_up_at_start)
        device_choices_apply_start(w);
    if (row->field == &Choices::blank)
        refill_blank(w);
    return true;
}

}  // namespace scenario_parse
}  // namespace bbusim
