// The image file for the checked flash load: read once into the caller's
// fixed buffer, never through a planted link, never waiting on a FIFO, its
// length checked against the file's size; and the checks of that copy,
// its length included.
#include "checked_steps.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "library_internal.h"

namespace {

constexpr std::uint32_t CRC_POLYNOMIAL = 0x04C11DB7u;
constexpr int BITS_PER_BYTE = 8;

// crc32() carried on over @p count zero bytes: the CRC region of a short
// image reads as zeros past its end.
std::uint32_t crc_over_zeros(std::uint32_t crc, std::size_t count)
{
    for (std::size_t bit = 0; bit < count * BITS_PER_BYTE; ++bit) {
        const bool topbit = (crc & 0x80000000u) != 0;
        crc <<= 1;
        if (topbit)
            crc ^= CRC_POLYNOMIAL;
    }
    return crc;
}

}  // namespace

int bbu_checked_read_image(const char *path, bbu_checked_image *image, bbu_checked_result *result)
{
    bbu_checked_result spare;
    checked::Operation op{-1, checked::start(result, spare), 0};
    if (path == nullptr || image == nullptr)
        return checked::fail(op, BBU_STEP_ARGUMENT, BBU_WHY_BAD_ARGUMENT);
    std::memset(image, 0, sizeof *image);

    const FileGuard file(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) {
        const int err = errno;
        // With O_NOFOLLOW a symbolic link is refused with ELOOP.
        return checked::fail(op, BBU_STEP_IMAGE_FILE,
                             err == ELOOP ? BBU_WHY_NOT_REGULAR_FILE : BBU_WHY_FILE, -1, err);
    }
    struct stat st {};
    if (fstat(file.fd, &st) != 0)
        return checked::fail(op, BBU_STEP_IMAGE_FILE, BBU_WHY_FILE, -1, errno);
    if (!S_ISREG(st.st_mode))
        return checked::fail(op, BBU_STEP_IMAGE_FILE, BBU_WHY_NOT_REGULAR_FILE);
    if (st.st_size > BBU_IMAGE_BUFFER_LEN)
        return checked::fail(op, BBU_STEP_IMAGE_FILE, BBU_WHY_FILE_TOO_LONG,
                             st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size));

    // To the end of the file, and one byte more to see that it ends there.
    std::size_t got = 0;
    unsigned char beyond = 0;
    for (;;) {
        unsigned char *into = got < sizeof image->bytes ? image->bytes + got : &beyond;
        const std::size_t room = got < sizeof image->bytes ? sizeof image->bytes - got : 1;
        const ssize_t n = read(file.fd, into, room);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return checked::fail(op, BBU_STEP_IMAGE_FILE, BBU_WHY_FILE, -1, errno);
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
        if (got > sizeof image->bytes)
            break;
    }
    if (got != static_cast<std::size_t>(st.st_size)) {
        std::memset(image, 0, sizeof *image);
        return checked::fail(op, BBU_STEP_IMAGE_FILE, BBU_WHY_FILE_CHANGED,
                             static_cast<int>(got > INT_MAX ? INT_MAX : got));
    }
    image->length = static_cast<std::uint32_t>(got);
    op.result.after = static_cast<int>(got);
    return checked::succeed(op, BBU_HOLDS_UNCHANGED, 0);
}

int bbu_checked_check_image(const unsigned char *bytes, size_t length, unsigned flags,
                            FIRMWARE_IMAGE_CHECK *found)
{
    FIRMWARE_IMAGE_CHECK spare{};
    FIRMWARE_IMAGE_CHECK &f = found != nullptr ? *found : spare;
    f = FIRMWARE_IMAGE_CHECK{};
    if (bytes == nullptr)
        length = 0;
    const std::size_t held = length < BBU_IMAGE_BUFFER_LEN ? length : BBU_IMAGE_BUFFER_LEN;
    f.size = static_cast<int>(held);
    f.bytes_read = static_cast<int>(held < BBU_IMAGE_LEN ? held : BBU_IMAGE_LEN);

    int file_error = 0;
    f.read_ok = held > 0 ? 1 : 0;
    if (f.read_ok == 0)
        file_error = BBU_IMAGE_UNREADABLE;

    FirmwareHeader header{};
    if (held > 0)
        std::memcpy(&header, bytes, held < sizeof header ? held : sizeof header);
    f.magic = bbu_be32_value(header.magicNum);
    f.magic_ok = f.magic == BBU_IMAGE_MAGIC ? 1 : 0;
    if (f.magic_ok == 0)
        file_error = BBU_IMAGE_BAD_MAGIC;

    const std::size_t crc_end = BBU_IMAGE_CRC_OFFSET + BBU_IMAGE_CRC_LEN;
    const std::size_t present = static_cast<std::size_t>(f.bytes_read) > BBU_IMAGE_CRC_OFFSET
                                    ? static_cast<std::size_t>(f.bytes_read) - BBU_IMAGE_CRC_OFFSET
                                    : 0;
    f.crc =
        present > 0 ? crc32(bytes + BBU_IMAGE_CRC_OFFSET, static_cast<std::uint32_t>(present)) : 0;
    f.crc = crc_over_zeros(f.crc, crc_end - BBU_IMAGE_CRC_OFFSET - present);
    f.file_crc = bbu_be32_value(header.crc);
    f.crc_ok = f.crc == f.file_crc ? 1 : 0;
    if (f.crc_ok == 0)
        file_error = BBU_IMAGE_BAD_CRC;

    f.checksum = checksum32(&header.magicNum, &header.checksum);
    f.file_checksum = bbu_be32_value(header.checksum);
    f.checksum_ok = f.checksum == f.file_checksum ? 1 : 0;
    if (f.checksum_ok == 0)
        file_error = BBU_IMAGE_BAD_CHECKSUM;

    f.numblocks =
        f.bytes_read / BBU_FLASH_DATA_LEN + (f.bytes_read % BBU_FLASH_DATA_LEN != 0 ? 1 : 0);
    f.version = header.version.be[3];

    // Past the image format's blocks the BBU's memory may end: only on request,
    // and never past what a flash of 64 KiB can hold.
    if (length > BBU_IMAGE_BUFFER_LEN ||
        (length > BBU_IMAGE_LEN && (flags & BBU_CHECKED_IMAGE_LONG) == 0))
        file_error = BBU_IMAGE_TOO_LONG;
    return file_error;
}
