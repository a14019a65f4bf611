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
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "firmware_image.h"

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

void write_file(const std::vector<std::uint8_t> &bytes)
{
    const int fd = ::open(kFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        std::abort();  // the scratch directory must take the file
    ::close(fd);
}

void disagree(const char *what, int got)
{
    std::fprintf(stderr, "image checks disagree: %s (got %d)\n", what, got);
    std::abort();
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
        disagree("the checked check against the image layout", checked);
    if (bytes.size() > BBU_IMAGE_LEN &&
        bbu_checked_check_image(bytes.data(), bytes.size(), 0, nullptr) != BBU_IMAGE_TOO_LONG)
        disagree("an image past the BBU's memory taken without BBU_CHECKED_IMAGE_LONG", checked);

    write_file(bytes);
    FIRMWARE_IMAGE_CHECK documented{};
    const int file_check = check_firmware_image(kFile, &documented);
    if ((file_check == 0) != valid)
        disagree("check_firmware_image against the image layout", file_check);

    static bbu_checked_image image;
    bbu_checked_result result{};
    const int read = bbu_checked_read_image(kFile, &image, &result);
    if (read == 0 &&
        (image.length != bytes.size() || !std::equal(bytes.begin(), bytes.end(), image.bytes)))
        disagree("bbu_checked_read_image did not give the file's bytes", read);
    return 0;
}
