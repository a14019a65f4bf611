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

#include <array>
#include <cerrno>

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

// A checked operation's result is one it documents, and its record says the same.
void checked(int rc, const bbu_checked_result &r)
{
    const bool failed = r.ok == 0 && r.why != BBU_WHY_NONE && r.step != BBU_STEP_NONE;
    const bool right = rc == BBU_CHECKED_OK       ? r.ok == 1 && r.why == BBU_WHY_NONE
                       : rc == BBU_CHECKED_FAILED ? failed
                                                  : rc == BBU_CHECKED_UNVERIFIED && r.ok == 0 &&
                                                        r.holds == BBU_HOLDS_NOT_VERIFIABLE;
    expect(right, "a checked result and its record disagree", std::to_string(rc));
    expect(bbu_checked_holds_text(r.holds)[0] != '\0', "the outcome names no state",
           std::to_string(r.holds));
}

// What one operation works on: fresh buffers, the adapter, the input, and a
// length the input chose before the operation (a dump's).
struct Run {
    int fd;
    FuzzedDataProvider &in;
    int length;
    sarbuf_t sar{};
    std::array<unsigned char, BBU_VPD_LEN> vpd{};
    bbu_checked_result r{};
    ui8 *const buffer = reinterpret_cast<ui8 *>(sar.buffer);
};
bbu_checked_image g_image;  // the small image, read from its file for each input
std::array<unsigned char, BBU_IMAGE_BUFFER_LEN> g_memory;

// The library's documented operations.
constexpr void (*kDocumented[])(Run &) = {
    [](Run &o) { readBBUstatesave(o.buffer, 0); },
    [](Run &o) { readBBUbatterystringstatus(o.buffer, o.in.ConsumeIntegralInRange<ui8>(1, 3), 0); },
    [](Run &o) { readBBUgeneralstatus(o.buffer, 0); },
    [](Run &o) { get_BBU_status(o.fd, 0); },
    [](Run &o) { read_and_print_status_with_checks(o.fd, "status", &o.sar, 0); },
    [](Run &o) { validate_img(o.fd, 0); },
    [](Run &o) {
        dump_memory(o.fd, o.in.ConsumeIntegral<std::uint32_t>(), o.length, "dump.bin", o.buffer, 0);
    },
    [](Run &o) { read_vpd_buff(o.fd, 0, o.vpd.data()); },
    [](Run &o) { update_vpd_codelevel(o.fd, "Q7", 0, 0); },
    [](Run &o) { reset_bbu(o.fd, 0); },
    [](Run &o) { processor_reset_bbu(o.fd, 0); },
    [](Run &o) {
        set_light(o.fd, o.in.ConsumeIntegralInRange(0, 15), 0);
        get_light_status(o.fd, 0);
    },
    [](Run &o) { processCodeLoad(o.fd, kImageFile, 0, o.in.ConsumeBool() ? 1 : 0); },
};

// The checked operations, each giving its result for `checked` to judge.
constexpr int (*kChecked[])(Run &) = {
    [](Run &o) { return bbu_checked_read_status(o.fd, nullptr, &o.r, 0); },
    [](Run &o) { return bbu_checked_validate(o.fd, nullptr, nullptr, &o.r, 0); },
    [](Run &o) {
        return bbu_checked_dump(o.fd, o.in.ConsumeIntegralInRange<std::uint32_t>(0, 0x11000),
                                o.length, g_memory.data(), &o.r, 0);
    },
    [](Run &o) { return bbu_checked_read_vpd(o.fd, g_memory.data(), &o.r, 0); },
    [](Run &o) { return bbu_checked_set_codelevel(o.fd, "Q7", &o.r, 0); },
    [](Run &o) { return bbu_checked_read_light(o.fd, nullptr, &o.r, 0); },
    [](Run &o) { return bbu_checked_set_light(o.fd, o.in.ConsumeIntegralInRange(0, 15), &o.r, 0); },
    [](Run &o) { return bbu_checked_soft_reset(o.fd, nullptr, nullptr, &o.r, 0); },
    [](Run &o) { return bbu_checked_hard_reset(o.fd, nullptr, nullptr, &o.r, 0); },
    [](Run &o) {
        bbu_checked_flash_plan plan{};
        return bbu_checked_plan_flash(o.fd, &g_image, 0, &plan, &o.r, 0);
    },
    [](Run &o) {
        return bbu_checked_flash(o.fd, &g_image, o.in.ConsumeIntegralInRange(0u, 3u), nullptr,
                                 nullptr, &o.r, 0);
    },
};
constexpr std::size_t kOperations = std::size(kDocumented) + std::size(kChecked);

// The small image as the file the loads read, and as the checked ones take it.
void write_small_image()
{
    const std::vector<std::uint8_t> image = bbusim::make_image(6, kSmallImage);
    write_file(kImageFile, image.data(), image.size());
    bbu_checked_result r{};
    expect(bbu_checked_read_image(kImageFile, &g_image, &r) == BBU_CHECKED_OK,
           "the small image is not read", kImageFile);
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
    expect(::fd >= 0, "the simulated adapter does not open", "/dev/i2c-0b");
    const int ops = in.ConsumeIntegralInRange(1, 3);
    std::array<std::size_t, 3> chosen{};
    for (int i = 0; i < ops; ++i)
        chosen[i] = in.ConsumeIntegralInRange<std::size_t>(0, kOperations - 1);
    bbusim::answer_messages(answer, &in);
    for (int i = 0; i < ops; ++i) {
        const bool documented = chosen[i] < std::size(kDocumented);
        Run run{::fd, in,
                documented ? in.ConsumeIntegralInRange(-1, 600)
                           : static_cast<int>(in.ConsumeIntegralInRange<std::uint32_t>(1, 600))};
        if (documented)
            kDocumented[chosen[i]](run);
        else
            checked(kChecked[chosen[i] - std::size(kDocumented)](run), run.r);
    }
    bbusim::answer_messages(nullptr, nullptr);  // `in` ends here
    ::close(::fd);
    return 0;
}
