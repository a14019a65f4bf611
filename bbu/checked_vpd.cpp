// The VPD, checked: the image read whole with its check byte right, and the
// code-level update written only over two reads that agree, each byte write
// carried whole and its write cycle waited out by acknowledge polling, and
// the whole image read back and compared with what was meant.
#include "checked_steps.h"

#include <cerrno>
#include <cstring>

namespace {

using checked::Failure;
using checked::Operation;
using Image = std::array<unsigned char, BBU_VPD_LEN>;

// Acknowledge polling: the EEPROM answers no transfer until its write cycle
// has ended. Parts take up to 5 or 10 ms; the poll gives them 25.
constexpr unsigned ACK_POLL_US = 500;
constexpr int ACK_POLLS = 50;

bool check_byte_right(const Image &image)
{
    return xorcheck(image.data(), VPD_CHECKED_LEN) == image[CHECK_BYTE];
}

int code_level(const Image &image)
{
    return image[LEVEL_FIRST_BYTE] * 256 + image[LEVEL_SECOND_BYTE];
}

// The offset of the first byte where @p a and @p b differ, or -1.
int first_difference(const Image &a, const Image &b)
{
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return static_cast<int>(i);
    return -1;
}

// Code-level characters the update takes: two printable ones.
bool two_printable(const char *codelevel)
{
    auto printable = [](char c) {
        return c >= 0x20 && c <= 0x7e;
    };
    return codelevel != nullptr && printable(codelevel[0]) && printable(codelevel[1]);
}

// The image as the code-level update leaves it.
Image updated(const Image &image, const char *codelevel)
{
    Image meant = image;
    meant[LENGTH_BYTE] = LENGTH_VALUE;
    meant[LEVEL_FIRST_BYTE] = static_cast<unsigned char>(codelevel[0]);
    meant[LEVEL_SECOND_BYTE] = static_cast<unsigned char>(codelevel[1]);
    meant[CHECK_BYTE] = xorcheck(meant.data(), VPD_CHECKED_LEN);
    return meant;
}

// Points the EEPROM's word address at 0x00, pauses, and reads the image,
// every transfer carried whole.
bool read_image(Operation &op, int step, Image &image)
{
    const unsigned char address = 0x00;
    image.fill(0);
    if (!checked::write_whole(op, step, BBU_VPD_ADDR, &address, 1))
        return false;
    checked::pause_us(EEPROM_PAUSE_US);
    return checked::read_whole(op, step, BBU_VPD_ADDR, image.data(), BBU_VPD_LEN);
}

// Two reads that agree, or a third that agrees with one of them: a single
// disturbed read is not taken for the EEPROM's contents.
bool read_settled(Operation &op, Image &image)
{
    Image first{};
    if (!read_image(op, BBU_STEP_VPD_READ, first) || !read_image(op, BBU_STEP_VPD_READ, image))
        return false;
    if (image == first)
        return true;
    const Image second = image;
    if (!read_image(op, BBU_STEP_VPD_READ, image))
        return false;
    if (image == first || image == second)
        return true;
    op.last =
        Failure{BBU_STEP_VPD_READ, BBU_WHY_READS_DISAGREE, first_difference(image, second), 0};
    return false;
}

// Acknowledge polling: a one-byte address write, one transfer each, until the
// EEPROM takes one.
bool wait_write_cycle(Operation &op)
{
    const char address = 0x00;
    for (int poll = 0; poll < ACK_POLLS; ++poll) {
        if (poll > 0)
            checked::pause_us(ACK_POLL_US);
        errno = 0;
        const int rc = do_i2c_write(op.fd, BBU_VPD_ADDR, 1, &address, op.verbose);
        if (rc == 1)
            return true;
        op.last = Failure{BBU_STEP_VPD_WRITE, BBU_WHY_WRITE_CYCLE, rc, rc < 0 ? errno : 0};
    }
    return false;
}

// What the EEPROM holds after a failed write, as far as it can be read.
int holds_after_write(Operation &op, const Image &old, const Image &meant)
{
    Image now{};
    if (!wait_write_cycle(op) || !read_image(op, BBU_STEP_VPD_VERIFY, now))
        return checked::holds_unread(op);
    op.result.after = code_level(now);
    return now == meant ? BBU_HOLDS_NEW_VALUE
           : now == old ? BBU_HOLDS_OLD_VALUE
                        : BBU_HOLDS_OTHER_VALUE;
}

}  // namespace

int bbu_checked_read_vpd(int fd, unsigned char *vpd, bbu_checked_result *result, int verbose)
{
    bbu_checked_result spare;
    Operation op{fd, checked::start(result, spare), verbose};
    if (vpd == nullptr)
        return checked::fail(op, BBU_STEP_ARGUMENT, BBU_WHY_BAD_ARGUMENT);
    Image image{};
    if (!read_image(op, BBU_STEP_VPD_READ, image)) {
        op.result.holds = checked::holds_unread(op);
        return checked::fail_last(op);
    }
    // A wrong check byte is the EEPROM's only when a second read says the same.
    if (!check_byte_right(image)) {
        const Image first = image;
        if (!read_image(op, BBU_STEP_VPD_READ, image)) {
            op.result.holds = checked::holds_unread(op);
            return checked::fail_last(op);
        }
        if (!check_byte_right(image)) {
            std::memcpy(vpd, image.data(), image.size());
            op.result.before = op.result.after = code_level(image);
            return image == first ? checked::fail(op, BBU_STEP_VPD_READ, BBU_WHY_BAD_CHECK_BYTE,
                                                  image[CHECK_BYTE])
                                  : checked::fail(op, BBU_STEP_VPD_READ, BBU_WHY_READS_DISAGREE,
                                                  first_difference(image, first));
        }
    }
    std::memcpy(vpd, image.data(), image.size());
    op.result.before = op.result.after = code_level(image);
    return checked::succeed(op, BBU_HOLDS_UNCHANGED, BBU_EVIDENCE_VPD);
}

int bbu_checked_set_codelevel(int fd, const char *codelevel, bbu_checked_result *result,
                              int verbose)
{
    bbu_checked_result spare;
    Operation op{fd, checked::start(result, spare), verbose};
    bbu_checked_result &r = op.result;
    if (!two_printable(codelevel))
        return checked::fail(op, BBU_STEP_ARGUMENT, BBU_WHY_BAD_ARGUMENT);

    Image old{};
    if (!read_settled(op, old))
        return checked::fail_last(op);  // nothing written
    r.before = code_level(old);
    if (const int layout = bad_vpd(old.data()); layout != 0)
        return checked::fail(op, BBU_STEP_VPD_READ, BBU_WHY_VPD_LAYOUT, layout);

    const Image meant = updated(old, codelevel);
    // Two agreeing reads show the update in place already: nothing to write.
    if (meant == old) {
        r.after = r.before;
        return checked::succeed(op, BBU_HOLDS_NEW_VALUE, BBU_EVIDENCE_READ_TWICE | BBU_EVIDENCE_VPD);
    }

    // The update's five byte writes, in its order; byte 254 goes back as read.
    constexpr std::array<int, 5> WRITES{LENGTH_BYTE, LEVEL_FIRST_BYTE, LEVEL_SECOND_BYTE,
                                        LAST_DATA_BYTE, CHECK_BYTE};
    for (std::size_t i = 0; i < WRITES.size(); ++i) {
        checked::pause_us(EEPROM_PAUSE_US);
        const auto address = static_cast<std::size_t>(WRITES[i]);
        const std::array<unsigned char, 2> write{static_cast<unsigned char>(address),
                                                 meant[address]};
        if ((i > 0 && !wait_write_cycle(op)) ||
            !checked::write_whole(op, BBU_STEP_VPD_WRITE, BBU_VPD_ADDR, write.data(), 2)) {
            checked::fail_last(op);
            r.holds = holds_after_write(op, old, meant);
            return BBU_CHECKED_FAILED;
        }
        r.changed = 1;
    }
    checked::pause_us(EEPROM_PAUSE_US);

    // The whole image read back, a second time when it differs.
    Image back{};
    for (int reads = 0; reads < 2; ++reads) {
        if (!wait_write_cycle(op) || !read_image(op, BBU_STEP_VPD_VERIFY, back)) {
            r.holds = checked::holds_unread(op);
            return checked::fail_last(op);
        }
        r.after = code_level(back);
        if (back == meant)
            return checked::succeed(op, BBU_HOLDS_NEW_VALUE, BBU_EVIDENCE_VPD);
    }
    r.holds = back == old ? BBU_HOLDS_OLD_VALUE : BBU_HOLDS_OTHER_VALUE;
    return checked::fail(op, BBU_STEP_VPD_VERIFY, BBU_WHY_MISMATCH, first_difference(back, meant));
}

int bbu_codelevel_in_place(const unsigned char *vpd, const char *codelevel)
{
    if (vpd == nullptr || !two_printable(codelevel))
        return 0;
    Image image{};
    std::memcpy(image.data(), vpd, image.size());
    return updated(image, codelevel) == image ? 1 : 0;
}
