// The firmware image checks on any bytes of any length: the documented check
// of a file (check_firmware_image), the checked read and check, and the
// simulator's own reading of the image layout as the judge, so that the
// library's verdict is compared with one written apart from it.
//
// The input picks a length (up to 70,000 bytes: empty, short, exactly 49,152,
// 65,536 and beyond), a start (the input's bytes, or a valid image of the
// simulator's) and byte edits on it; a valid start lets the edits reach the
// CRC and header checks, which random bytes never pass.
#include <bbu/bbu.h>

#include "firmware_image.h"
#include "harness.h"

namespace {

constexpr std::size_t kLongest = 70000;
constexpr const char *kFile = "fuzz_image.img";

std::vector<std::uint8_t> image_of(FuzzedDataProvider &in)
{
    const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, kLongest);
    std::vector<std::uint8_t> bytes;
    if (in.ConsumeBool()) {
        bytes = bbusim::make_image(in.ConsumeIntegral<std::uint8_t>());
        const int edits = in.ConsumeIntegralInRange(0, 8);
        for (int i = 0; i < edits && !bytes.empty(); ++i)
            bytes[in.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - 1)] =
                in.ConsumeIntegral<std::uint8_t>();
    } else {
        bytes = in.ConsumeRemainingBytes<std::uint8_t>();
    }
    bytes.resize(length);  // cut short, or zeros after
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::vector<std::uint8_t> bytes = image_of(in);
    const bool valid = !bytes.empty() && bbusim::check_image(bytes.data(), bytes.size()).valid();

    FIRMWARE_IMAGE_CHECK found{};
    const int checked =
        bbu_checked_check_image(bytes.data(), bytes.size(), BBU_CHECKED_IMAGE_LONG, &found);
    if ((checked == 0) != (valid && bytes.size() <= BBU_IMAGE_BUFFER_LEN))
        fail("the checked check against the image layout", std::to_string(checked));
    if (bytes.size() > BBU_IMAGE_LEN &&
        bbu_checked_check_image(bytes.data(), bytes.size(), 0, nullptr) != BBU_IMAGE_TOO_LONG)
        fail("an image past the BBU's memory taken without BBU_CHECKED_IMAGE_LONG", "");

    write_file(kFile, bytes.data(), bytes.size());
    FIRMWARE_IMAGE_CHECK documented{};
    const int file_check = check_firmware_image(kFile, &documented);
    if ((file_check == 0) != valid)
        fail("check_firmware_image against the image layout", std::to_string(file_check));

    static bbu_checked_image image;
    bbu_checked_result result{};
    const int read = bbu_checked_read_image(kFile, &image, &result);
    if (read == 0 &&
        (image.length != bytes.size() || !std::equal(bytes.begin(), bytes.end(), image.bytes)))
        fail("bbu_checked_read_image did not give the file's bytes", "");
    return 0;
}
