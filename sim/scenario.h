// scenario.h - scenario text: device state, settings and faults, one
// statement per line (the grammar is documented in docs/bbusim.md).
#ifndef BBUSIM_SCENARIO_H
#define BBUSIM_SCENARIO_H

#include <cstddef>
#include <string>

#include "world.h"

namespace bbusim {

// The largest scenario file that is read: 1 MiB.
constexpr std::size_t kMaxScenarioFile = std::size_t{1} << 20;

// Read the scenario file at `path` into *text. Only a regular file is read
// (it is opened without blocking, so a FIFO or a device never stalls the
// run), in bounded pieces, and only up to kMaxScenarioFile bytes. Returns ""
// or "cannot read scenario PATH: why".
std::string load_scenario_file(const std::string &path, std::string *text);

// Apply the lines of `text` in order, taking the world's lock. Stops at the
// first line it refuses, which leaves nothing of that line applied, and
// returns "SOURCE:LINE: message" (or "line LINE: message" when `source` is
// empty). Returns "" when every line was applied.
std::string scenario_apply(World &w, const std::string &text, const std::string &source);

}  // namespace bbusim

#endif  // BBUSIM_SCENARIO_H
