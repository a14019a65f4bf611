// The BBU's answers made anything: each message of a transfer is answered
// from the input (its data, the bytes carried, an errno, a delay in virtual
// time) through the simulator's answer hook until the input is used up, and
// the simulated devices answer the rest. Under it run battsnap's capture
// reads, the library's documented operations (status, validation, dump, VPD
// read and update, resets, light, the load of a small image) and the checked
// ones, one to three per input as it chooses.
//
// The oracle beyond "no crash, no sanitizer report": every operation ends
// (an input's processor time is bounded: in_world.h), and a checked operation's result is one
// it documents: ok, failed or unverified, with the outcome recorded as such.
#include <bbu/bbu.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bbusim.h"
#include "capture_reads.h"
#include "in_world.h"

namespace {

constexpr const char *kImageFile = "small.img";
constexpr std::size_t kSmallImage = 512;  // four blocks: a whole load in few transfers
constexpr int kErrnos[] = {EIO, ENXIO, EREMOTEIO, ETIMEDOUT, EAGAIN, EBUSY};
constexpr std::uint64_t kLongestDelayUs = 40000000;  // beyond every wait of the library

// One message answered from the input: passed on, failed, or carried with
// the input's bytes (the last one, if asked, the sumcheck of the others, so
// that answers pass the check bytes and reach what lies behind them).
bool answer(std::uint16_t, bool is_read, std::uint8_t *buf, std::size_t len,
            bbusim::MessageAnswer &out, void *context)
{
    auto &in = *static_cast<FuzzedDataProvider *>(context);
    if (in.remaining_bytes() == 0)
        return false;
    const int how = in.ConsumeIntegralInRange(0, 3);
    if (how == 0)
        return false;
    out.delay_us =
        in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, kLongestDelayUs) : 0;
    if (how == 1) {
        out.result = -in.PickValueInArray(kErrnos);
        return true;
    }
    out.result = static_cast<int>(in.ConsumeIntegralInRange<std::size_t>(0, len));
    if (is_read) {
        std::fill_n(buf, out.result, in.ConsumeBool() ? 0xff : 0);
        const std::vector<std::uint8_t> data = in.ConsumeBytes<std::uint8_t>(out.result);
        std::copy(data.begin(), data.end(), buf);
        if (how == 3 && out.result > 1)
            buf[out.result - 1] = sumcheck(buf, static_cast<unsigned>(out.result - 1));
    }
    return true;
}

void write_small_image()
{
    const std::vector<std::uint8_t> image = bbusim::make_image(6, kSmallImage);
    const int fd = ::open(kImageFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()))
        std::abort();  // the scratch directory must take the file
    ::close(fd);
}

void disagree(const char *what, int got)
{
    std::fprintf(stderr, "device answers: %s (got %d)\n", what, got);
    std::abort();
}

// A checked operation's result is one it documents, and its record says the same.
void checked(int rc, const bbu_checked_result &r)
{
    const bool failed = r.ok == 0 && r.why != BBU_WHY_NONE && r.step != BBU_STEP_NONE;
    const bool right = rc == BBU_CHECKED_OK       ? r.ok == 1 && r.why == BBU_WHY_NONE
                       : rc == BBU_CHECKED_FAILED ? failed
                                                  : rc == BBU_CHECKED_UNVERIFIED && r.ok == 0 &&
                                                        r.holds == BBU_HOLDS_NOT_VERIFIABLE;
    if (!right)
        disagree("a checked result and its record disagree", rc);
    if (bbu_checked_holds_text(r.holds)[0] == '\0')
        disagree("the outcome names no state", r.holds);
}

void documented(int op, int fd, FuzzedDataProvider &in)
{
    sarbuf_t sar{};
    std::array<unsigned char, BBU_VPD_LEN> vpd{};
    const int length = in.ConsumeIntegralInRange(-1, 600);
    switch (op) {
    case 0:
        readBBUstatesave(reinterpret_cast<ui8 *>(sar.buffer), 0);
        break;
    case 1:
        readBBUbatterystringstatus(reinterpret_cast<ui8 *>(sar.buffer),
                                   in.ConsumeIntegralInRange<ui8>(1, 3), 0);
        break;
    case 2:
        readBBUgeneralstatus(reinterpret_cast<ui8 *>(sar.buffer), 0);
        break;
    case 3:
        get_BBU_status(fd, 0);
        break;
    case 4:
        read_and_print_status_with_checks(fd, "status", &sar, 0);
        break;
    case 5:
        validate_img(fd, 0);
        break;
    case 6:
        dump_memory(fd, in.ConsumeIntegral<std::uint32_t>(), length, "dump.bin",
                    reinterpret_cast<unsigned char *>(sar.buffer), 0);
        break;
    case 7:
        read_vpd_buff(fd, 0, vpd.data());
        break;
    case 8:
        update_vpd_codelevel(fd, "Q7", 0, 0);
        break;
    case 9:
        reset_bbu(fd, 0);
        break;
    case 10:
        processor_reset_bbu(fd, 0);
        break;
    case 11:
        set_light(fd, in.ConsumeIntegralInRange(0, 15), 0);
        get_light_status(fd, 0);
        break;
    default:
        processCodeLoad(fd, kImageFile, 0, in.ConsumeBool());
        break;
    }
}

void checked_op(int op, int fd, FuzzedDataProvider &in)
{
    static bbu_checked_image image;
    static std::array<unsigned char, BBU_IMAGE_BUFFER_LEN> memory;
    bbu_checked_result r{};
    bbu_checked_flash_plan plan{};
    const auto length = in.ConsumeIntegralInRange<std::uint32_t>(1, 600);
    switch (op) {
    case 0:
        checked(bbu_checked_read_status(fd, nullptr, &r, 0), r);
        break;
    case 1:
        checked(bbu_checked_validate(fd, nullptr, nullptr, &r, 0), r);
        break;
    case 2:
        checked(bbu_checked_dump(fd, in.ConsumeIntegralInRange<std::uint32_t>(0, 0x11000), length,
                                 memory.data(), &r, 0),
                r);
        break;
    case 3:
        checked(bbu_checked_read_vpd(fd, memory.data(), &r, 0), r);
        break;
    case 4:
        checked(bbu_checked_set_codelevel(fd, "Q7", &r, 0), r);
        break;
    case 5:
        checked(bbu_checked_read_light(fd, nullptr, &r, 0), r);
        break;
    case 6:
        checked(bbu_checked_set_light(fd, in.ConsumeIntegralInRange(0, 15), &r, 0), r);
        break;
    case 7:
        checked(bbu_checked_soft_reset(fd, nullptr, nullptr, &r, 0), r);
        break;
    case 8:
        checked(bbu_checked_hard_reset(fd, nullptr, nullptr, &r, 0), r);
        break;
    case 9:
        if (bbu_checked_read_image(kImageFile, &image, &r) == BBU_CHECKED_OK)
            checked(bbu_checked_plan_flash(fd, &image, 0, &plan, &r, 0), r);
        break;
    default:
        if (bbu_checked_read_image(kImageFile, &image, &r) == BBU_CHECKED_OK)
            checked(bbu_checked_flash(fd, &image, in.ConsumeIntegralInRange(0u, 3u), nullptr,
                                      nullptr, &r, 0),
                    r);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    FuzzedDataProvider in(data, size);
    const RealClockAfter clock;
    bbusim::reset("device_answers");
    write_small_image();
    ::fd = ::open("/dev/i2c-0b", O_RDWR);
    if (::fd < 0)
        std::abort();
    const int ops = in.ConsumeIntegralInRange(1, 3);
    std::array<int, 3> chosen{};
    for (int i = 0; i < ops; ++i)
        chosen[i] = in.ConsumeIntegralInRange(0, 23);
    bbusim::answer_messages(answer, &in);
    for (int i = 0; i < ops; ++i) {
        if (chosen[i] < 13)
            documented(chosen[i], ::fd, in);
        else
            checked_op(chosen[i] - 13, ::fd, in);
    }
    bbusim::answer_messages(nullptr, nullptr);  // `in` ends here
    ::close(::fd);
    return 0;
}
