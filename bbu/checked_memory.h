// The BBU's memory and its own verdict on its image, for the checked dump,
// validation and flash load.
#ifndef BBU_CHECKED_MEMORY_H
#define BBU_CHECKED_MEMORY_H

#include "checked_steps.h"

namespace checked {

// Reads @p count (1 to BBU_READ_MEMORY_MAX) bytes of BBU memory at @p address
// into @p out: the read-memory frame and its whole response, the requested
// bytes from its byte 6, taken when two responses give the same bytes; six
// responses at most. False, with op.last naming @p step, when no two agreed.
bool read_memory(Operation &op, int step, std::uint32_t address, unsigned char *out, int count);

enum class Verdict {
    valid,    // non_zero set, reprogram_req clear
    invalid,  // non_zero and reprogram_req set
    none,     // the BBU gave no verdict (op.last says which)
    unread,   // a transfer or status read failed (op.last says which)
};

// The BBU validates the image it holds: a status read, the validate-image
// frame and its acceptance, 10 seconds (counted down), the status after them.
Verdict validate(Operation &op);

}  // namespace checked

#endif  // BBU_CHECKED_MEMORY_H
