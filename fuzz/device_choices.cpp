// The devices' own ways and the scenario's faults, chosen by the input: a
// fresh world takes `device ...` statements from the simulator's list of
// them, a `device seed`, and faults of the simulator's kinds with arguments
// from the input, placed with `skip K count C`, as scenario text, so that the
// devices stay consistent however they answer. Then one checked change runs:
// the light set, the code-level update, a soft or hard reset, or the flash of
// an image (a new version, or the same version rebuilt).
//
// The oracle is the fault sweep's (tests/support/world_truths.h): what the
// simulated world truly holds after the run. A success only with the device
// as reported, a failure only naming a state the world is in (or saying the
// device could not be read); an unverified reset is its own class.
#include <bbu/bbu.h>

#include "bbusim.h"
#include "in_world.h"
#include "world_truths.h"

namespace {

constexpr std::uint8_t kOldVersion = 5;  // the default world's image
constexpr int kShorterBlocks = 8;        // a new image may be up to 8 blocks shorter
constexpr int kCounts = 4;               // count 1, 2, 3 or always

// The scenario of the input, applied line by line: a line the simulator
// refuses is left out. True when a `vpd-flip` fault was placed.
bool choose_world(FuzzedDataProvider &in)
{
    static const std::vector<std::string> choices = bbusim::device_choice_statements();
    static const std::vector<std::string> kinds = bbusim::fault_kinds();
    bool flips = false;
    for (int n = in.ConsumeIntegralInRange(0, 4); n > 0; --n)
        bbusim::apply(choices[in.ConsumeIntegralInRange<std::size_t>(0, choices.size() - 1)]);
    if (in.ConsumeBool())
        bbusim::apply("device seed " + std::to_string(in.ConsumeIntegral<std::uint32_t>()));
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
        const std::string &kind =
            kinds[in.ConsumeIntegralInRange<std::size_t>(0, kinds.size() - 1)];
        const std::string args = in.ConsumeRandomLengthString(24);
        const int count = in.ConsumeIntegralInRange(1, kCounts);
        std::string line = "fault ";
        line.append(kind).append(" ").append(args).append(" skip ");
        line.append(std::to_string(in.ConsumeIntegralInRange(0, 3000))).append(" count ");
        line.append(count == kCounts ? std::string("always") : std::to_string(count));
        if (args.find('\n') == std::string::npos && bbusim::apply(line).empty())
            flips = flips || kind == "vpd-flip";
    }
    return flips;
}

// The outcome against the world's truths, as the fault sweep judges bbuctl's;
// `known`, a wrong outcome the fault sweep knows of too.
void judge(const char *op, int rc, const bbu_checked_result &r, const world_truths::Truths &now,
           int success, bool known = false)
{
    const std::string holds = bbu_checked_holds_text(r.holds);
    const std::string why =
        world_truths::judge(rc == BBU_CHECKED_OK, holds, now, bbu_checked_holds_text(success));
    if (rc != BBU_CHECKED_UNVERIFIED && !why.empty() && why != "unverifiable" && !known)
        fail(op, why + " (step " + std::to_string(r.step) + ", why " + std::to_string(r.why) +
                     ", holds '" + holds + "')");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const std::vector<std::uint8_t> old = bbusim::make_image(kOldVersion);
    static bbu_checked_image loaded;
    FuzzedDataProvider in(data, size);
    const int op = in.ConsumeIntegralInRange(0, 4);
    const RealClockAfter clock;
    bbusim::reset("device_choices");
    const bool flips = choose_world(in);
    const int fd = ::open("/dev/i2c-0b", O_RDWR);
    if (fd < 0)
        return 0;  // a fault on the open: nothing runs
    bbu_checked_result r{};
    if (op == 0) {
        const int before = bbusim::peek_status()[14] & 0x0f;
        const int wanted = (before + in.ConsumeIntegralInRange(1, 15)) & 0x0f;  // a change
        const int rc = bbu_checked_set_light(fd, wanted, &r, 0);
        judge("light", rc, r, world_truths::light(before, wanted), BBU_HOLDS_NEW_VALUE);
    } else if (op == 1) {
        const char codelevel[3] = {in.ConsumeIntegralInRange<char>('0', 'Z'),
                                   in.ConsumeIntegralInRange<char>('0', 'Z'), 0};
        const world_truths::Vpd before = bbusim::peek_vpd();
        const int rc = bbu_checked_set_codelevel(fd, codelevel, &r, 0);
        // Known: two reads back spoilt alike by vpd-flip are taken for the
        // EEPROM's content, and the update is called half done.
        judge("codelevel", rc, r,
              world_truths::vpd(before, world_truths::with_codelevel(before, codelevel)),
              BBU_HOLDS_NEW_VALUE, flips && r.holds == BBU_HOLDS_OTHER_VALUE);
    } else if (op <= 3) {
        const int rc = op == 2 ? bbu_checked_soft_reset(fd, nullptr, nullptr, &r, 0)
                               : bbu_checked_hard_reset(fd, nullptr, nullptr, &r, 0);
        judge(op == 2 ? "soft reset" : "hard reset", rc, r, world_truths::restart(),
              BBU_HOLDS_RESTARTED);
    } else {
        // A new version, or a rebuilt image of the same version.
        const std::vector<std::uint8_t> image = bbusim::make_image(
            static_cast<std::uint8_t>(kOldVersion + in.ConsumeIntegralInRange(0, 1)),
            BBU_IMAGE_LEN - BBU_FLASH_DATA_LEN * in.ConsumeIntegralInRange(0, kShorterBlocks));
        loaded.length = static_cast<std::uint32_t>(image.size());
        std::copy(image.begin(), image.end(), loaded.bytes);
        const int rc = bbu_checked_flash(fd, &loaded, 0, nullptr, nullptr, &r, 0);
        judge("flash", rc, r, world_truths::image(image, old), BBU_HOLDS_NEW_IMAGE);
    }
    ::close(fd);
    return 0;
}
