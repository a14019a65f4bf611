// The BBU's memory read through the read-memory command, a chunk taken only
// when two responses give the same requested bytes; and the BBU's validation
// of its image, its verdict taken only from a status read after the command
// has run.
#include "checked_memory.h"

#include <algorithm>
#include <cstring>

namespace checked {

namespace {

constexpr int READ_MEMORY_FRAME_LEN = 8;
constexpr int READ_MEMORY_RESPONSE_LEN = 256;
constexpr int READ_MEMORY_DATA_AT = 6;  // the bytes asked for start here in the response
constexpr unsigned char READ_MEMORY_CMD = 0xE0;
constexpr unsigned char READ_MEMORY_SUB = 0x90;
// Responses asked for a chunk: two that agree are wanted, and each of the
// retry layer's attempts may spoil one of them.
constexpr int READ_MEMORY_ATTEMPTS = 2 * I2C_RETRY_ATTEMPTS;
constexpr unsigned char VALIDATE_CMD = 0x8C;
constexpr unsigned VALIDATE_SECONDS = 10;

using Chunk = std::array<unsigned char, BBU_READ_MEMORY_MAX>;

// One read-memory command and its response: the requested bytes from byte 6.
// Nothing else of the response has a meaning to test (its header and last
// byte are the BBU's own), so a transfer spoilt on the way is caught only by
// comparing two responses. False with op.last when a transfer failed.
bool ask_memory(Operation &op, int step, std::uint32_t address, Chunk &out, int count)
{
    std::array<unsigned char, READ_MEMORY_FRAME_LEN> frame{READ_MEMORY_CMD, READ_MEMORY_SUB,
                                                           static_cast<unsigned char>(count)};
    set_address(&frame[3], address);
    frame[7] = sumcheck(frame.data(), READ_MEMORY_FRAME_LEN - 1);
    if (!write_whole(op, step, BBU_SAR_ADDR, frame.data(), READ_MEMORY_FRAME_LEN))
        return false;
    // At once: the BBU offers the bytes as soon as it has the command.
    std::array<unsigned char, READ_MEMORY_RESPONSE_LEN> response{};
    if (!read_whole(op, step, BBU_SARX_ADDR, response.data(), READ_MEMORY_RESPONSE_LEN))
        return false;
    out.fill(0);
    std::memcpy(out.data(), response.data() + READ_MEMORY_DATA_AT,
                static_cast<std::size_t>(count));
    return true;
}

}  // namespace

bool read_memory(Operation &op, int step, std::uint32_t address, unsigned char *out, int count)
{
    std::array<Chunk, READ_MEMORY_ATTEMPTS> answers{};
    int answered = 0;
    for (int attempt = 0; attempt < READ_MEMORY_ATTEMPTS; ++attempt) {
        Chunk &answer = answers[static_cast<std::size_t>(answered)];
        if (!ask_memory(op, step, address, answer, count))
            continue;
        const auto *begin = answers.begin();
        if (std::find(begin, begin + answered, answer) != begin + answered) {
            std::memcpy(out, answer.data(), static_cast<std::size_t>(count));
            return true;
        }
        ++answered;
    }
    // Answers enough to agree, yet none alike: not the BBU's memory. With
    // fewer, op.last names the failed transfer.
    if (answered >= 2)
        op.last = Failure{step, BBU_WHY_READS_DISAGREE, answered, 0};
    return false;
}

Verdict validate(Operation &op)
{
    report(op, BBU_PHASE_VALIDATE);
    Status status{};
    if (!read_status_twice(op, BBU_STEP_STATUS, "initial status", status))
        return Verdict::unread;
    if (op.result.before < 0)
        op.result.before = firmware(status);
    const std::array<unsigned char, 2> frame{VALIDATE_CMD, VALIDATE_CMD};
    if (!write_whole(op, BBU_STEP_VALIDATE, BBU_SAR_ADDR, frame.data(), 2))
        return Verdict::unread;
    // Taken: no error in what the BBU last received.
    if (!read_status_twice(op, BBU_STEP_VALIDATE, "validate accepted", status))
        return Verdict::unread;
    if (status[5] != 0) {
        op.last = Failure{BBU_STEP_VALIDATE, BBU_WHY_NOT_ACCEPTED, status[5], 0};
        return Verdict::none;
    }
    wait_seconds(op, VALIDATE_SECONDS);
    if (!read_status_twice(op, BBU_STEP_VALIDATE, "validate results", status))
        return Verdict::unread;
    op.result.after = firmware(status);
    if ((status[0] & SAR0_CMD_IN_PROGRESS) != 0) {
        op.last = Failure{BBU_STEP_VALIDATE, BBU_WHY_BUSY, status[0], 0};
        return Verdict::none;
    }
    if ((status[0] & NON_ZERO) == 0) {
        op.last = Failure{BBU_STEP_VALIDATE, BBU_WHY_NO_VERDICT, status[0], 0};
        return Verdict::none;
    }
    return (status[6] & REPROGRAM_REQ) != 0 ? Verdict::invalid : Verdict::valid;
}

}  // namespace checked

int bbu_checked_dump(int fd, uint32_t start, uint32_t length, unsigned char *out,
                     bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    checked::Operation op{fd, checked::start(result, spare), verbose};
    bbu_checked_result &r = op.result;
    r.after = 0;
    // The BBU's addresses are 32 bits: a range past the last one would wrap.
    if (length == 0 || out == nullptr || std::uint64_t{start} + length > 0x100000000u)
        return checked::fail(op, BBU_STEP_ARGUMENT, BBU_WHY_BAD_ARGUMENT);
    for (std::uint32_t done = 0; done < length;) {
        const std::uint32_t chunk = std::min<std::uint32_t>(length - done, BBU_READ_MEMORY_MAX);
        if (!checked::read_memory(op, BBU_STEP_MEMORY, start + done, out + done,
                                  static_cast<int>(chunk))) {
            r.holds = checked::holds_unread(op);
            return checked::fail_last(op);
        }
        done += chunk;
        r.after = static_cast<int>(done);
    }
    return checked::succeed(op, BBU_HOLDS_UNCHANGED, BBU_EVIDENCE_READ_TWICE);
}

int bbu_checked_validate(int fd, bbu_checked_progress_fn progress, void *context,
                         bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    checked::Operation op{fd, checked::start(result, spare), verbose, progress, context};
    const checked::Verdict verdict = checked::validate(op);
    switch (verdict) {
    case checked::Verdict::valid:
        return checked::succeed(op, BBU_HOLDS_UNCHANGED, BBU_EVIDENCE_VALIDATION);
    case checked::Verdict::invalid:
        op.result.holds = BBU_HOLDS_NO_VALID_IMAGE;
        return checked::fail(op, BBU_STEP_VALIDATE, BBU_WHY_IMAGE_INVALID);
    case checked::Verdict::none:
        op.result.holds = BBU_HOLDS_UNREADABLE;
        return checked::fail_last(op);
    case checked::Verdict::unread:
        break;
    }
    op.result.holds = checked::holds_unread(op);
    return checked::fail_last(op);
}
