// The record file of a good capture, a record that cannot be written, and
// the verbose output, as golden sessions. A record that cannot be written is
// never lost silently: the message names the part that failed, the status is
// 255, and what was written stays. The size limit holds for standard error
// too: every limit leaves room for the message. An older, longer file of the
// same name is replaced, not appended to.
#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;

const golden::Row kCaptures[] = {
    row("OneString", {"-b", "1", "-f", "state.bin"}, "", {.replaces = true}),
    row("TwoStringsFortyNineCharacterName", {"-b", "2", "-f", std::string(45, 'r') + ".bin"}, "",
        {.replaces = true}),
    row("ThreeStrings", {"-b", "3", "-f", "state.bin"}, "", {.replaces = true}),
    row("DeviceFull", {"-b", "3", "-f", "/dev/full"}),
    row("NoSuchDirectory", {"-b", "3", "-f", "no/such/dir/state.bin"}),
    row("FullInStateSave", {"-b", "3", "-f", "limited.bin"}, "",
        {.sizeLimit = 60, .replaces = true}),
    row("FullInGeneralStatus", {"-b", "3", "-f", "limited.bin"}, "",
        {.sizeLimit = 100, .replaces = true}),
    row("FullInFirstString", {"-b", "1", "-f", "limited.bin"}, "",
        {.sizeLimit = 120, .replaces = true}),
    row("FullInThirdString", {"-b", "3", "-f", "limited.bin"}, "",
        {.sizeLimit = 200, .replaces = true}),
    // Each poll's status and each block header on standard error, the
    // finished status on standard output between the library's transfer
    // lines; the capture's own lines never reach the trace log.
    row("Verbose", {"-v", "-b", "1"}),
};

GOLDEN_TABLE(battsnap_capture, kCaptures)

}  // namespace
