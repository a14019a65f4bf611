// firmware_image.h - the simulator's own reading and writing of BBU firmware
// images: the 24-byte header at offset 0 (magic 0xFEEDFACE, version in byte
// 7, date, time, CRC, header check; big-endian words), the CRC region from
// offset 128 to 49,151, and test images built to order.
//
// Written from the image layout alone, apart from the library's code, so that
// a test of the library's checks never agrees with itself.
#ifndef BBUSIM_FIRMWARE_IMAGE_H
#define BBUSIM_FIRMWARE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bbusim {

constexpr std::size_t kImageLen = 49152;  // 384 blocks of 128 bytes
constexpr std::size_t kImageHeaderLen = 24;
constexpr std::size_t kCrcRegionStart = 128;
constexpr std::size_t kImageVersionByte = 7;
constexpr std::uint32_t kImageMagic = 0xFEEDFACE;

// How a generated image is spoilt. Each spoils one check alone: the header
// check is recomputed after a bad magic or a bad CRC field.
enum class ImageFault { none, bad_magic, bad_crc, bad_header_check, empty };

// The image CRC: polynomial 0x04C11DB7, start 0, no final XOR, and each byte
// feeding its lowest bit into eight shifts.
std::uint32_t image_crc(const std::uint8_t *bytes, std::size_t n);

// The header check: the XOR of the five big-endian words at offsets 0 to 19.
std::uint32_t image_header_check(const std::uint8_t *header);

// What the BBU finds in an image of `n` bytes; the CRC region past the
// image's end counts as zeros.
struct ImageVerdict {
    bool magic;
    bool crc;
    bool header_check;
    bool valid() const
    {
        return magic && crc && header_check;
    }
};
ImageVerdict check_image(const std::uint8_t *bytes, std::size_t n);

// An image of `size` bytes (empty for ImageFault::empty) with firmware
// version `version`: the header, a line of text naming the version, and a
// body that differs from version to version. Its CRC covers the zero-filled
// rest when it is shorter than 49,152 bytes; bytes past 49,152 are outside
// every check.
std::vector<std::uint8_t> make_image(std::uint8_t version, std::size_t size = kImageLen,
                                     ImageFault fault = ImageFault::none);

}  // namespace bbusim

#endif  // BBUSIM_FIRMWARE_IMAGE_H
