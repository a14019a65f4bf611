// scenario.h - scenario text: device state, settings and faults, one
// statement per line (the grammar is documented in docs/bbusim.md).
#ifndef BBUSIM_SCENARIO_H
#define BBUSIM_SCENARIO_H

#include <string>

#include "world.h"

namespace bbusim {

// Apply the lines of `text` in order, taking the world's lock. Stops at the
// first line it refuses, which leaves nothing of that line applied, and
// returns "SOURCE:LINE: message" (or "line LINE: message" when `source` is
// empty). Returns "" when every line was applied.
std::string scenario_apply(World &w, const std::string &text, const std::string &source);

}  // namespace bbusim

#endif  // BBUSIM_SCENARIO_H
