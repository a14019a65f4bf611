// Scenario text, any bytes, applied to a fresh in-process world: the
// scenario reader (sim/scenario*.cpp), the fault grammar and the device
// choices.
//
// The oracle is the reader's promise that a refused line leaves nothing of
// itself applied. A text refused as "line N: why" must have a line N; its
// first N - 1 lines must then be taken on their own, and line N alone, on
// the world they made, must be refused for the same reason and leave every
// device, setting and fault of that world as it was.
#include <cstddef>

#include "bbusim.h"
#include "in_world.h"
#include "world.h"

namespace {

constexpr const char *kRoot = "root";

// The world's devices, settings, faults and replay state: all but its own
// files and the journal of the update under way.
std::vector<char> world_state()
{
    const auto *w = reinterpret_cast<const char *>(bbusim::world());
    return {w + offsetof(bbusim::World, adapters), w + offsetof(bbusim::World, journal)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const RealClockAfter clock;
    fresh_world(kRoot);
    const std::string refused = bbusim::apply(text);
    if (refused.empty())
        return 0;

    const unsigned long line =
        refused.starts_with("line ") ? std::strtoul(refused.c_str() + 5, nullptr, 10) : 0;
    const std::string where = "line " + std::to_string(line) + ": ";
    if (refused.compare(0, where.size(), where) != 0)
        fail("a refusal that does not start with its line", refused);
    std::size_t start = 0;
    for (unsigned long n = 1; n < line && start != std::string::npos; ++n)
        if ((start = text.find('\n', start)) != std::string::npos)
            ++start;
    if (line == 0 || start == std::string::npos)
        fail("a refusal naming a line the text does not have", refused);

    fresh_world(kRoot);
    if (const std::string before = bbusim::apply(text.substr(0, start)); !before.empty())
        fail("the lines before the refused one are refused on their own", before);
    const std::vector<char> kept = world_state();
    const std::string alone = bbusim::apply(text.substr(start, text.find('\n', start) - start));
    if (alone != "line 1: " + refused.substr(where.size()))
        fail("the refused line on its own is refused otherwise, or taken", alone);
    if (world_state() != kept)
        fail("a refused line changed the world", refused);
    return 0;
}
