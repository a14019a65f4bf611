#include "world_truths.h"

#include <bbu/bbu.h>

#include "bbusim.h"

namespace world_truths {

std::string holds_named(const std::string &err)
{
    std::string named;
    for (int holds = BBU_HOLDS_UNCHANGED; holds <= BBU_HOLDS_FLASH_MODE; ++holds) {
        const std::string text = bbu_checked_holds_text(holds);
        if (text.size() > named.size() && err.find(text) != std::string::npos)
            named = text;
    }
    return named;
}

Truths light(int before, int wanted)
{
    const int now = bbusim::peek_status()[14] & 0x0f;
    return Truths{now == before   ? "the old value is still in place"
                  : now == wanted ? "the new value is in place"
                                  : "neither the old nor the new value is in place"};
}

Vpd with_codelevel(Vpd old, const char *codelevel)
{
    old[1] = 0xfd;
    old[71] = static_cast<std::uint8_t>(codelevel[0]);
    old[72] = static_cast<std::uint8_t>(codelevel[1]);
    old[255] = 0;
    for (int i = 0; i < 255; ++i)
        old[255] ^= old[i];
    return old;
}

Truths vpd(const Vpd &old, const Vpd &meant)
{
    const auto now = bbusim::peek_vpd();
    Truths t;
    if (now == old)
        t.insert({"nothing was changed", "the old value is still in place"});
    if (now == meant)  // also when the old value was the one meant
        t.insert("the new value is in place");
    if (t.empty())
        t.insert("neither the old nor the new value is in place");
    return t;
}

Truths restart()
{
    const bool shows = (bbusim::peek_status()[2] & 0x04) != 0;
    Truths t;
    if (shows || bbusim::peek_restart_pending())
        t.insert("the BBU restarted");
    if (!shows)
        t.insert("no restart of the BBU was seen");
    return t;
}

Truths image(const std::vector<std::uint8_t> &image, const std::vector<std::uint8_t> &old)
{
    const bbusim::ImageTruth held = bbusim::peek_image();
    const auto holds = [](const std::vector<std::uint8_t> &bytes) {
        return bbusim::peek_memory(kImageAt, bytes.size()) == bytes;
    };
    const bool runs = held.valid && !held.flash_mode && !held.boot_code;
    if (runs && holds(image))
        return Truths{bbu_checked_holds_text(BBU_HOLDS_NEW_IMAGE)};
    if (runs && holds(old))
        return Truths{bbu_checked_holds_text(BBU_HOLDS_OLD_IMAGE)};
    Truths none{bbu_checked_holds_text(BBU_HOLDS_NO_VALID_IMAGE)};
    if (held.flash_mode)
        none.insert(bbu_checked_holds_text(BBU_HOLDS_FLASH_MODE));
    return none;
}

bool unread(const std::string &holds)
{
    return holds == "the device does not answer" || holds == "the value could not be read";
}

std::string judge(bool succeeded, const std::string &holds, const Truths &now,
                  const std::string &success)
{
    std::string seen = "; the device: ";
    for (const std::string &t : now)
        seen += "'" + t + "' ";
    if (succeeded)
        return now.count(success) ? "" : "exit 0" + seen;
    if (holds.empty())
        return "the failure does not say what the device holds";
    return unread(holds) ? "unverifiable" : now.count(holds) ? "" : "says '" + holds + "'" + seen;
}

}  // namespace world_truths
