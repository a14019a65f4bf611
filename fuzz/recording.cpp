// A recording, any text, through the launcher's reader (parse_recording),
// the replay of what it takes (start_replay, replay_match, replay_transfer,
// finish_replay) and the recorder's redaction (redact_recording).
//
// Oracles: a recording the reader takes is served back request by request
// as the program that made it asks: each answered from its own entry (its
// result; a read, the bytes recorded), until the request the input makes
// differ in one field, which is refused with a message naming the entry's
// line, as is every request after it, and the end says whether it differed.
// Redacting a recording the reader takes gives one it takes too, with the
// same requests and results (only the bytes at the VPD may change); and
// redacting any text a second time changes nothing.
#include "bbusim.h"
#include "in_world.h"
#include "record.h"
#include "replay.h"

namespace {

using bbusim::ReplayKind;
constexpr const char *kRoot = "root";
constexpr const char *kName = "fuzz.txt";
constexpr std::uint16_t kVpdAddress = 0x54;

// The request the entry answers, its name and bytes kept in `name` and
// `bytes`; made to differ, one field changed in each kind. A read's buffer
// is exactly as long as asked, holding the opposite of what was recorded.
bbusim::ReplayRequest request_of(const bbusim::ReplayEntry &e, const std::string &pool, bool differ,
                                 std::string &name, std::vector<std::uint8_t> &bytes)
{
    name = pool.substr(e.data, e.data_len) + (differ ? "~" : "");
    bytes.assign(name.begin(), name.end());
    bbusim::ReplayRequest r{e.kind, e.addr, e.len + (differ ? 1U : 0U)};
    r.number = (e.kind == ReplayKind::sleep ? e.us : e.len) + (differ ? 1 : 0);
    if (e.kind == ReplayKind::read)
        for (std::uint8_t &b : bytes)
            b = static_cast<std::uint8_t>(~b);
    bytes.resize(r.len);
    r.name = name.c_str();
    r.bytes = bytes.data();
    return r;
}

void replay(const bbusim::Recording &rec, std::size_t differ_at, bool no_timing)
{
    fresh_world(kRoot);
    bbusim::World &w = *bbusim::world();
    const int root_fd = ::open(kRoot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string err = bbusim::start_replay(w, root_fd, kRoot, rec, kName, no_timing);
    ::close(root_fd);
    if (!err.empty())
        fail("a recording taken is not replayed", err);
    bool differed = false;
    for (std::size_t i = 0; i < rec.entries.size(); ++i) {
        const bbusim::ReplayEntry &e = rec.entries[i];
        if (no_timing && e.kind == ReplayKind::sleep)
            continue;
        const bool differ = !differed && i >= differ_at;
        differed = differed || differ;
        std::string name;
        std::vector<std::uint8_t> bytes;
        const bbusim::ReplayRequest r = request_of(e, rec.pool, differ, name, bytes);
        const bool read = r.kind == ReplayKind::read;
        bbusim::WorldLock lock(w);
        const bbusim::ReplayEntry *got = read ? nullptr : bbusim::replay_match(w, r);
        const int result = read  ? bbusim::replay_transfer(w, r.addr, true, bytes.data(), r.len)
                           : got ? got->result
                                 : 0;
        const std::string said = "replay differs at " + std::string(kName) + ":" +
                                 std::to_string(e.line) + ": expected '";
        if ((w.replay.differs != 0) != differed ||
            (differ && std::string(w.replay.message).rfind(said, 0) != 0) ||
            (!differed && (result != e.result || (got != nullptr && got->line != e.line) ||
                           (read && e.result > 0 &&
                            std::memcmp(bytes.data(), &rec.pool[e.data], e.data_len) != 0))))
            fail(differ ? "the request that differs, line" : "a request as recorded, line",
                 std::to_string(e.line) + ": " + w.replay.message);
    }
    if (bbusim::finish_replay(w) != differed)
        fail("the replay's end is told wrong", w.replay.message);
}

// The redacted recording asks and answers as the one it came from.
void same_requests(const bbusim::Recording &rec, const bbusim::Recording &redacted)
{
    if (redacted.entries.size() != rec.entries.size())
        fail("redaction changed the number of requests", std::to_string(rec.entries.size()));
    for (std::size_t i = 0; i < rec.entries.size(); ++i) {
        const bbusim::ReplayEntry &a = rec.entries[i];
        const bbusim::ReplayEntry &b = redacted.entries[i];
        const bool vpd_bytes =
            a.addr == kVpdAddress && (a.kind == ReplayKind::read || a.kind == ReplayKind::write);
        if (a.kind != b.kind || a.addr != b.addr || a.len != b.len || a.result != b.result ||
            a.us != b.us || a.line != b.line ||
            (!vpd_bytes &&
             rec.pool.compare(a.data, a.data_len, redacted.pool, b.data, b.data_len) != 0))
            fail("redaction changed the request of line", std::to_string(a.line));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const RealClockAfter clock;
    const auto differ_at = in.ConsumeIntegral<std::uint16_t>();
    const bool no_timing = in.ConsumeBool();
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::string redacted = bbusim::redact_recording(text);
    if (bbusim::redact_recording(redacted) != redacted)
        fail("redacting twice changes the recording again", redacted);
    bbusim::Recording rec;
    if (!bbusim::parse_recording(text, kName, rec).empty())
        return 0;
    bbusim::Recording again;
    if (const std::string why = bbusim::parse_recording(redacted, kName, again); !why.empty())
        fail("the redacted recording is refused", why);
    same_requests(rec, again);
    replay(rec, differ_at, no_timing);
    return 0;
}
