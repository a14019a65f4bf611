// Injected faults as the bus shows them, as whole bus sessions. How the
// library and battsnap report or ride out each kind is in their own tests.
#include "sim_bus.h"

namespace {

// Five status reads, then two address writes at 0x54.
void five_reads_two_writes(int fd)
{
    for (int i = 0; i < 5; ++i)
        rd(fd, 0x40, 33);
    wr(fd, 0x54, {0x10});
    wr(fd, 0x54, {0x10});
}

// A read whose length field and whole buffer afterwards are noted.
void rd_noted(golden::Call &call, std::uint16_t addr, std::size_t len)
{
    const Xfer x = rdwr(call.fd, addr, true, Bytes(len, 0xa5));
    note(call, "len " + std::to_string(x.carried), hex(x.data.data(), x.data.size()));
}

void run(int fd, const Bytes &frame)
{
    wr(fd, 0x40, frame);
    rd(fd, 0x40, 33);
    rd(fd, 0x40, 33);
}

const golden::Row kRows[] = {
    {"fail_skip", "fault fail 40 count 2 skip 1", GOLDEN_CALL(five_reads_two_writes(fd))},
    {"failed_frame_not_run", "fault fail 40 EAGAIN",
     GOLDEN_CALL(wr(fd, 0x40, {0xc8, 0x00, 0xc8}), rd(fd, 0x40, 33))},
    // The rest of a short read's buffer is not written; a short write
    // delivers C8 00, whose last byte is not the sum.
    {"short", "fault short 40 read 10\nfault short 40 2 write",
     GOLDEN_CALL(rd_noted(call, 0x40, 33), rd_noted(call, 0x40, 33),
                 wr(fd, 0x40, {0xc8, 0x00, 0xc8}), rd(fd, 0x40, 33))},
    {"gss_check", "fault gss-check count 2",
     GOLDEN_CALL(rd(fd, 0x40, 32), rd(fd, 0x40, 33), rd(fd, 0x40, 40), rd(fd, 0x40, 33))},
    {"error_bits",
     "fault error-bits 4 04 on c4\nfault error-bits 6 60 on c4\n"
     "fault error-bits 5 01 on c4",
     GOLDEN_CALL(run(fd, {0xc8, 0x00, 0xc8}), run(fd, {0xc4, 0x03, 0xc7}),
                 run(fd, {0xc8, 0x00, 0xc8}))},
};

GOLDEN_TABLE(sim_fault, kRows)

}  // namespace
