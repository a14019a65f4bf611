// A short transfer as the program sees it: the length the read carries back
// and the rest of its buffer, unwritten. The other injected faults, as the
// bus shows them, are bbusim sessions (tests/data/golden/bbusim/Fault*.txt);
// how the library and battsnap report or ride out each kind is in their own
// tests.
#include "sim_bus.h"

namespace {

// A read whose length field and whole buffer afterwards are noted.
void rd_noted(golden::Call &call, std::uint16_t addr, std::size_t len)
{
    const Xfer x = rdwr(call.fd, addr, true, Bytes(len, 0xa5));
    note(call, "len " + std::to_string(x.carried), hex(x.data.data(), x.data.size()));
}

const golden::Row kRows[] = {
    // The rest of a short read's buffer is not written; a short write
    // delivers C8 00, whose last byte is not the sum.
    {"short", "fault short 40 read 10\nfault short 40 2 write",
     GOLDEN_CALL(rd_noted(call, 0x40, 33), rd_noted(call, 0x40, 33),
                 wr(fd, 0x40, {0xc8, 0x00, 0xc8}), rd(fd, 0x40, 33))},
};

GOLDEN_TABLE(sim_fault, kRows)

}  // namespace
