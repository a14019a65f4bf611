// VPD: the image read from the EEPROM at 0x54 and its check byte, the keyword
// layout check, and the code-level update. The EEPROM has no undo: the update
// writes nothing unless its reads of the image agree, and then always the
// same five bytes in the same order.
#include <bbu/bbu.h>
#include <bbu/vpd_layout.h>

#include "library_internal.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

using Image = std::array<unsigned char, BBU_VPD_LEN>;

constexpr int TEXT_START = static_cast<int>(bbu_vpd::KEYWORDS[0].headAt);  // the first head
constexpr int TEXT_MAX = BBU_VPD_LEN - TEXT_START;  // ... and never runs past byte 255
constexpr std::size_t LINE_LEN = 512;               // a trace message at most; the longest is 282

char *bytes(unsigned char *p)
{
    return reinterpret_cast<char *>(p);
}

// A diagnostic line: on standard output when verbose, in the trace log always.
template <typename... Args>
void show(int verbose, const char *format, Args... args)
{
    std::array<char, LINE_LEN> line{};
    std::snprintf(line.data(), line.size(), format, args...);
    if (verbose != 0) {
        std::fputs(line.data(), stdout);
    }
    LogTrace("%s", line.data());
}

// The image when verbose: its dump under `dump_label` and its text on the
// line "<text_label> string = ...", which goes to the trace log always.
void show_text(int verbose, const char *dump_label, const char *text_label, const Image &image)
{
    const auto *text = reinterpret_cast<const char *>(image.data() + TEXT_START);
    if (verbose != 0) {
        print_buffer(dump_label, image.data(), BBU_VPD_LEN);
    }
    show(verbose, "%s string = %.*s\n", text_label, TEXT_MAX, text);
}

// The check sums of bytes 0 to 254 beside the stored check byte; true when the XOR matches.
bool show_check(int verbose, const char *label, const Image &image)
{
    const unsigned char sum = sumcheck(image.data(), VPD_CHECKED_LEN);
    const unsigned char x = xorcheck(image.data(), VPD_CHECKED_LEN);
    show(verbose, "%s cal chksum %02x act chksum %02x\n", label, sum, image[CHECK_BYTE]);
    show(verbose, "%s cal xorchksum %02x act chksum %02x\n", label, x, image[CHECK_BYTE]);
    return x == image[CHECK_BYTE];
}

// Point the EEPROM's word address at 0x00, pause, and read `len` bytes from there.
void read_from_start(int fd, unsigned char *into, int len, int verbose)
{
    unsigned char address = 0x00;
    do_i2c_write(fd, BBU_VPD_ADDR, 1, bytes(&address), verbose);
    usleep(EEPROM_PAUSE_US);
    I2C_command_with_retry(I2C_RETRY_READ, fd, BBU_VPD_ADDR, len, bytes(into), verbose);
}

// One byte write (word address, data byte), kept in the image as written.
void write_byte(int fd, Image &image, int address, unsigned char value, int verbose)
{
    image[static_cast<std::size_t>(address)] = value;
    std::array<unsigned char, 2> transfer{static_cast<unsigned char>(address), value};
    do_i2c_write(fd, BBU_VPD_ADDR, 2, bytes(transfer.data()), verbose);
}

bool head_matches(const Image &head, const Image &image)
{
    return std::memcmp(head.data(), image.data(), BBU_VPD_HEAD_LEN) == 0;
}

}  // namespace

int read_vpd(int fd, int verbose)
{
    return read_vpd_buff(fd, verbose, nullptr);
}

int read_vpd_buff(int fd, int verbose, unsigned char *outbuff)
{
    unsigned char address = 0x00;
    Image image{};

    do_i2c_write(fd, BBU_VPD_ADDR, 1, bytes(&address), verbose);
    do_i2c_read(fd, BBU_VPD_ADDR, BBU_VPD_LEN, bytes(image.data()), verbose);

    show_text(verbose, "read bbu vpd =", "read bbu vpd", image);
    const bool good = show_check(verbose, "readvpd", image);
    if (outbuff != nullptr) {
        std::memcpy(outbuff, image.data(), image.size());
    }
    return good ? BBU_VPD_CHECK_OK : BBU_VPD_CHECK_BAD;
}

int bad_vpd(const unsigned char *thevpd)
{
    for (std::size_t i = 0; i < bbu_vpd::KEYWORDS.size(); ++i) {
        const bbu_vpd::Keyword &k = bbu_vpd::KEYWORDS[i];
        // memcmp, not a string compare: a NUL in the image is a mismatch like any other byte.
        if (std::memcmp(thevpd + k.headAt, k.head.data(), k.head.size()) != 0) {
            return static_cast<int>(i) + 1;
        }
    }
    return thevpd[0] == 0x00 ? 0 : bbu_vpd::BAD_DUMMY;
}

int update_vpd_codelevel(int fd, const char *codelevel, int verbose, int /*fixup*/)
{
    // Both characters are taken before the first transfer: a bad pointer
    // faults here, with the EEPROM untouched.
    const auto level0 = static_cast<unsigned char>(codelevel[0]);
    const auto level1 = static_cast<unsigned char>(codelevel[1]);
    Image image{};
    Image head{};

    read_from_start(fd, image.data(), BBU_VPD_LEN, verbose);
    print_buffer("updvpd 1st read debug", image.data(), BBU_VPD_LEN);
    if (image[0] != 0x00) {
        read_from_start(fd, image.data(), BBU_VPD_LEN, verbose);
        print_buffer("updvpd 1st read RETRY debug", image.data(), BBU_VPD_LEN);
    }
    show_text(verbose, "upd 1read bbu vpd =", "upd 1read bbu vpd", image);
    // The update goes on whatever the stored check byte says: it writes a new one.
    show_check(verbose, "upd 1read", image);

    // The head read again must agree with the image before anything is written.
    read_from_start(fd, head.data(), BBU_VPD_HEAD_LEN, verbose);
    print_buffer("debug 16 read", head.data(), BBU_VPD_HEAD_LEN);
    if (!head_matches(head, image)) {
        read_from_start(fd, head.data(), BBU_VPD_HEAD_LEN, verbose);
        print_buffer("debug another 16 read", head.data(), BBU_VPD_HEAD_LEN);
        if (!head_matches(head, image)) {
            std::printf("major error, stopping\n");  // whatever verbose is
            LogTrace("major error, stopping\n");
            return BBU_VPD_READ_INCONSISTENT;
        }
    }

    usleep(EEPROM_PAUSE_US);
    write_byte(fd, image, LENGTH_BYTE, LENGTH_VALUE, verbose);
    usleep(EEPROM_PAUSE_US);
    write_byte(fd, image, LEVEL_FIRST_BYTE, level0, verbose);
    usleep(EEPROM_PAUSE_US);
    write_byte(fd, image, LEVEL_SECOND_BYTE, level1, verbose);

    const unsigned char check = xorcheck(image.data(), VPD_CHECKED_LEN);
    show(verbose, "force checksum update %02x\n", check);
    usleep(EEPROM_PAUSE_US);
    // Byte 254 goes back as it was read, so the check byte covers what is stored.
    write_byte(fd, image, LAST_DATA_BYTE, image[LAST_DATA_BYTE], verbose);
    usleep(EEPROM_PAUSE_US);
    write_byte(fd, image, CHECK_BYTE, check, verbose);
    usleep(EEPROM_PAUSE_US);

    // The second of two reads is the one judged.
    image.fill(0);
    read_from_start(fd, image.data(), BBU_VPD_LEN, verbose);
    usleep(EEPROM_PAUSE_US);
    read_from_start(fd, image.data(), BBU_VPD_LEN, verbose);
    show_text(verbose, "updated bbu vpd", "updated bbu vpd", image);
    return show_check(verbose, "upd2read", image) ? BBU_VPD_CHECK_OK : BBU_VPD_CHECK_BAD;
}
