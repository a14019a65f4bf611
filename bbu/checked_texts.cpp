// The words of the checked operations' results, for tools that report them:
// the step that failed, why, what the device holds, the phase under way,
// and what a success rests on.
#include <bbu/bbu.h>

#include <array>

namespace {

template <std::size_t N>
const char *text_of(const std::array<const char *, N> &texts, int value)
{
    return value >= 0 && static_cast<std::size_t>(value) < N
               ? texts[static_cast<std::size_t>(value)]
               : "";
}

// Indexed by the enumerations' values.
constexpr std::array<const char *, 28> STEP_TEXTS{
    "",
    "checking the arguments",
    "reading the image file",
    "checking the image",
    "reading the general status",
    "reading the BBU's image header",
    "reading the BBU's memory",
    "clearing the status",
    "sending the soft reset",
    "setting alarm 1 of the clock",
    "enabling alarm 1 of the clock",
    "disabling alarm 1 of the clock",
    "clearing the clock's alarm flags",
    "reading the clock's alarm back",
    "waiting for the BBU to restart",
    "waiting until no command is in progress",
    "starting the flash load",
    "sending a flash block record",
    "ending a flash block record",
    "having a flash block taken",
    "ending the flash load",
    "validating the image",
    "comparing the BBU's image with the file",
    "reading the VPD",
    "writing the VPD",
    "reading the VPD back",
    "sending the set-light command",
    "reading the light back",
};

constexpr std::array<const char *, 26> WHY_TEXTS{
    "",
    "the transfer failed",
    "the transfer carried fewer bytes than asked",
    "the check byte is wrong",
    "the BBU reports an error",
    "the BBU did not accept the command",
    "a command stayed in progress",
    "the BBU did not show a restart",
    "the BBU did not take the block",
    "the BBU received the block with a bad checksum every time",
    "the BBU is not in the flash mode it should be in",
    "the BBU reports its image not valid",
    "the BBU gave no verdict on its image",
    "the BBU runs another firmware version",
    "what was read back differs from what was meant",
    "reads of the same bytes disagree",
    "the response does not answer the command",
    "the VPD is not laid out as expected",
    "the EEPROM did not end its write cycle",
    "the file cannot be read",
    "not a regular file",
    "the file is longer than 65536 bytes",
    "the file changed while it was read",
    "the image fails its checks",
    "the image is longer than 384 blocks",
    "an argument is out of range",
};

constexpr std::array<const char *, 13> HOLDS_TEXTS{
    "nothing was changed",
    "the old value is still in place",
    "the new value is in place",
    "neither the old nor the new value is in place",
    "the old image still runs",
    "the new image runs",
    "the BBU reported its image not valid",
    "the BBU restarted",
    "no restart of the BBU was seen",
    "the device does not answer",
    "the value could not be read",
    "reset sent, restart not verifiable",
    "the BBU is still in flash-program mode",
};

// Indexed by the bit's position in the mask.
constexpr std::array<const char *, BBU_EVIDENCE_BITS> EVIDENCE_TEXTS{
    "status read",      "read back twice",  "header read back",
    "validation",       "restart seen",     "alarm read back",
    "light read back",  "command accepted", "VPD read back",
};

constexpr std::array<const char *, 11> PHASE_TEXTS{
    "",
    "reading the BBU's image header",
    "soft reset",
    "hard reset",
    "starting the flash load",
    "sending the blocks",
    "ending the flash load",
    "validating the image",
    "reading the new image back",
    "finding out what the BBU holds",
    "waiting for the command the BBU is running",
};

}  // namespace

const char *bbu_checked_step_text(int step)
{
    return text_of(STEP_TEXTS, step);
}

const char *bbu_checked_why_text(int why)
{
    return text_of(WHY_TEXTS, why);
}

const char *bbu_checked_holds_text(int holds)
{
    return text_of(HOLDS_TEXTS, holds);
}

const char *bbu_checked_phase_text(int phase)
{
    return text_of(PHASE_TEXTS, phase);
}

const char *bbu_checked_evidence_text(unsigned bit)
{
    // One bit only: a mask of several has no one text.
    if (bit == 0 || (bit & (bit - 1)) != 0)
        return "";
    return text_of(EVIDENCE_TEXTS, __builtin_ctz(bit));
}
