// The device models as the in-process tests meet them: peeking at the status
// is no poll, and a device taken away and given back. The devices' bus
// conversations are bbusim sessions (tests/data/golden/bbusim/Device*.txt);
// the default world's bytes and a whole capture are in the golden files of
// the end-to-end tests.
#include "golden.h"
#include "sim_bus.h"

namespace {

const golden::Row kRows[] = {
    {"peek_is_no_poll", "",
     GOLDEN_CALL(wr(fd, 0x40, {0xc8, 0x00, 0xc8}),
                 call.notes.push_back("peek| " + hex(bbusim::peek_status().data(), 33)),
                 call.notes.push_back("peek| " + hex(bbusim::peek_status().data(), 33)),
                 rd(fd, 0x40, 33), rd(fd, 0x40, 33))},
    {"absent_device", "device 54 absent",
     GOLDEN_CALL(rd(fd, 0x54, 1), bbusim::apply("device 0x54 present"), rd(fd, 0x54, 1))},
};

GOLDEN_TABLE(sim_bbu, kRows)

}  // namespace
