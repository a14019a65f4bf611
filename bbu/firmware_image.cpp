// The firmware image file: its CRC and header check, the read and check of a
// whole file, and the flash block records the load sends it in.
#include <bbu/bbu.h>

#include "library_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t CRC_POLYNOMIAL = 0x04C11DB7u;
constexpr int BITS_PER_BYTE = 8;

struct FreeBuffer {
    void operator()(unsigned char *p) const
    {
        std::free(p);
    }
};

}  // namespace

uint32_t crc32(const unsigned char *start, uint32_t length)
{
    std::uint32_t crc = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        // Only bit 0 of each byte is shifted in, eight times: the rule every
        // image's crc field was made with, so it must stay exactly this.
        const std::uint32_t bit = start[i] & 1u;
        for (int step = 0; step < BITS_PER_BYTE; ++step) {
            const bool topbit = (crc & 0x80000000u) != 0;
            crc = (crc << 1) | bit;
            if (topbit)
                crc ^= CRC_POLYNOMIAL;
        }
    }
    return crc;
}

uint32_t checksum32(const bbu_be32 *start, const bbu_be32 *end)
{
    std::uint32_t sum = 0;
    for (; start < end; ++start)
        sum ^= bbu_be32_value(*start);
    return sum;
}

int check_firmware_image(const char *filename, FIRMWARE_IMAGE_CHECK *found)
{
    *found = FIRMWARE_IMAGE_CHECK{};
    const FileGuard fd_code(open(filename, O_RDONLY | O_CLOEXEC));
    if (fd_code.fd < 0) {
        found->open_errno = errno;
        return BBU_IMAGE_UNREADABLE;
    }

    // Zeroed, so that the CRC region of a short file reads as zeros past its end.
    std::unique_ptr<unsigned char, FreeBuffer> filebuff{
        static_cast<unsigned char *>(std::calloc(BBU_IMAGE_BUFFER_LEN, 1))};
    if (!filebuff)
        return BBU_IMAGE_NO_MEMORY;
    unsigned char *buf = filebuff.get();

    int file_error = 0;
    found->size = static_cast<int>(read(fd_code.fd, buf, BBU_IMAGE_BUFFER_LEN));
    found->read_ok = found->size > 0 ? 1 : 0;
    if (!found->read_ok)
        file_error = BBU_IMAGE_UNREADABLE;
    found->bytes_read = found->size > BBU_IMAGE_LEN ? BBU_IMAGE_LEN : found->size;

    FirmwareHeader header;
    std::memcpy(&header, buf, sizeof header);
    found->magic = bbu_be32_value(header.magicNum);
    found->magic_ok = found->magic == BBU_IMAGE_MAGIC ? 1 : 0;
    if (!found->magic_ok)
        file_error = BBU_IMAGE_BAD_MAGIC;

    found->crc = crc32(buf + BBU_IMAGE_CRC_OFFSET, BBU_IMAGE_CRC_LEN);
    found->file_crc = bbu_be32_value(header.crc);
    found->crc_ok = found->crc == found->file_crc ? 1 : 0;
    if (!found->crc_ok)
        file_error = BBU_IMAGE_BAD_CRC;

    found->checksum = checksum32(&header.magicNum, &header.checksum);
    found->file_checksum = bbu_be32_value(header.checksum);
    found->checksum_ok = found->checksum == found->file_checksum ? 1 : 0;
    if (!found->checksum_ok)
        file_error = BBU_IMAGE_BAD_CHECKSUM;

    found->numblocks = found->bytes_read / BBU_FLASH_DATA_LEN +
                       (found->bytes_read % BBU_FLASH_DATA_LEN != 0 ? 1 : 0);
    if (found->numblocks > BBU_IMAGE_BLOCKS)
        found->numblocks = BBU_IMAGE_BLOCKS;
    found->version = header.version.be[3];
    return file_error;
}

void make_flash_block(codebuffer *record, unsigned int block, unsigned int length)
{
    record->header.command = BBU_TAKE_FLASH_BLOCK;
    record->header.counter = static_cast<std::uint8_t>(block & 0xffu);
    record->header.length = static_cast<std::uint8_t>(length);
    record->header.datablocknum = static_cast<std::uint8_t>((block >> 8) & 0xffu);
    record->header.numdatablocks = static_cast<std::uint8_t>(block & 0xffu);
    record->chksum =
        sumcheck(reinterpret_cast<const unsigned char *>(record), offsetof(codebuffer, chksum));
}
