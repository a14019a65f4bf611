// firmware_image.cpp - the simulator's own image checks and test images.
#include "firmware_image.h"

#include <cstdio>
#include <cstring>

#include "devices.h"

namespace bbusim {
namespace {

constexpr std::uint32_t kCrcPolynomial = 0x04C11DB7;
constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kCrcAt = 16;
constexpr std::size_t kHeaderCheckAt = 20;
constexpr std::size_t kTextAt = kImageHeaderLen;
constexpr std::uint32_t kBuildDate = 0x20240611;  // YYYYMMDD in hex digits
constexpr std::uint32_t kBuildTime = 0x00093000;  // HHMMSS

// One byte into the CRC: its lowest bit is shifted in eight times.
std::uint32_t crc_step(std::uint32_t crc, std::uint8_t byte)
{
    const std::uint32_t bit = byte & 1u;
    for (int i = 0; i < 8; ++i) {
        const bool top = (crc & 0x80000000u) != 0;
        crc = (crc << 1) | bit;
        if (top)
            crc ^= kCrcPolynomial;
    }
    return crc;
}

// The CRC of the region of an image of `n` bytes, zeros past its end.
std::uint32_t region_crc(const std::uint8_t *bytes, std::size_t n)
{
    std::uint32_t crc = 0;
    for (std::size_t i = kCrcRegionStart; i < kImageLen; ++i)
        crc = crc_step(crc, i < n ? bytes[i] : 0);
    return crc;
}

}  // namespace

std::uint32_t image_crc(const std::uint8_t *bytes, std::size_t n)
{
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < n; ++i)
        crc = crc_step(crc, bytes[i]);
    return crc;
}

std::uint32_t image_header_check(const std::uint8_t *header)
{
    std::uint32_t x = 0;
    for (std::size_t at = 0; at < kHeaderCheckAt; at += 4)
        x ^= get_be32(header + at);
    return x;
}

ImageVerdict check_image(const std::uint8_t *bytes, std::size_t n)
{
    if (n < kImageHeaderLen)
        return {false, false, false};
    return {get_be32(bytes + kMagicAt) == kImageMagic,
            region_crc(bytes, n) == get_be32(bytes + kCrcAt),
            image_header_check(bytes) == get_be32(bytes + kHeaderCheckAt)};
}

std::vector<std::uint8_t> make_image(std::uint8_t version, std::size_t size, ImageFault fault)
{
    if (fault == ImageFault::empty)
        return {};
    // Built whole, then cut to a size shorter than the header and its text.
    std::vector<std::uint8_t> image(size < kCrcRegionStart ? kCrcRegionStart : size);
    put_be32(image.data() + kMagicAt, fault == ImageFault::bad_magic ? 0xFEEDFACF : kImageMagic);
    image[kImageVersionByte] = version;
    put_be32(image.data() + 8, kBuildDate);
    put_be32(image.data() + 12, kBuildTime);
    char text[kCrcRegionStart - kTextAt];
    const int len = std::snprintf(text, sizeof text, "bbusim firmware image, version %u",
                                  static_cast<unsigned>(version));
    std::memcpy(image.data() + kTextAt, text, static_cast<std::size_t>(len));
    // A body of pseudo-random bytes seeded by the version, so that images of
    // different versions have different CRCs.
    std::uint32_t seed = 0x9e3779b9u * (version + 1u);
    for (std::size_t i = kCrcRegionStart; i < image.size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        image[i] = static_cast<std::uint8_t>(seed >> 24);
    }
    std::uint32_t crc = region_crc(image.data(), size);
    if (fault == ImageFault::bad_crc)
        crc ^= 1u;
    put_be32(image.data() + kCrcAt, crc);
    std::uint32_t check = image_header_check(image.data());
    if (fault == ImageFault::bad_header_check)
        check ^= 1u;
    put_be32(image.data() + kHeaderCheckAt, check);
    image.resize(size);  // an image shorter than its header keeps what fits
    return image;
}

}  // namespace bbusim
