// flash.cpp - bbuctl's firmware code load family: the flash load of an image
// file, the BBU's validation of the image it holds, the dump of its memory,
// and the offline check of an image file. The image file is read once, into
// a fixed buffer; what is checked is what is loaded.
#include "invocation.h"

#include <bbu/bbu.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bbuctl {

namespace {

constexpr unsigned long MAX_TFB_DELAY_MS = 10000;
constexpr unsigned long MAX_DUMP_LEN = 1UL << 20;
constexpr unsigned long MAX_ADDRESS = 0xffffffffUL;

// The one copy of the image file a command works on (64 KiB: kept off the stack).
bbu_checked_image theImage;

std::string shown(const std::string &text)
{
    return printable(reinterpret_cast<const unsigned char *>(text.c_str()), text.size());
}

// The firmware as the checked results carry it (version * 256 + sub-version).
std::string firmwareText(int firmware)
{
    if (firmware < 0)
        return "??.??";
    char text[8];
    std::snprintf(text, sizeof text, "%02x.%02x", (firmware >> 8) & 0xff, firmware & 0xff);
    return text;
}

// Reads the image file once into theImage. False after a message.
bool readImage(const char *what, const std::string &file)
{
    bbu_checked_result r{};
    if (bbu_checked_read_image(file.c_str(), &theImage, &r) == BBU_CHECKED_OK)
        return true;
    struct stat st {};
    switch (r.why) {
    case BBU_WHY_NOT_REGULAR_FILE:
        if (lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            message("%s: %s is a symbolic link, which is not followed: give the file itself", what,
                    file.c_str());
        else
            message("%s: %s is not a regular file", what, file.c_str());
        break;
    case BBU_WHY_FILE_TOO_LONG:
        message("%s: %s is no image: it is longer than %d bytes", what, file.c_str(),
                BBU_IMAGE_BUFFER_LEN);
        break;
    case BBU_WHY_FILE_CHANGED:
        message("%s: %s changed while it was read: run the command again", what, file.c_str());
        break;
    default:
        message("%s: cannot read %s: %s", what, file.c_str(), std::strerror(r.err));
        break;
    }
    return false;
}

// What is wrong with the image's bytes: the last check that failed, in the
// order magic, CRC, header check, as the load judges them; null when none.
const char *imageProblem(const FIRMWARE_IMAGE_CHECK &found)
{
    if (found.read_ok == 0)
        return "it holds no data";
    if (found.checksum_ok == 0)
        return "its header check does not match";
    if (found.crc_ok == 0)
        return "its CRC does not match its header";
    if (found.magic_ok == 0)
        return "its magic number is wrong";
    return nullptr;
}

// The refusal of an image longer than the image format's blocks.
void tooLong(const char *what, const std::string &file)
{
    message("%s: %s is not loadable: it is longer than %d blocks (%u bytes), where the BBU's "
            "memory may end; give --long-image to load it all the same",
            what, file.c_str(), BBU_IMAGE_BLOCKS, theImage.length);
}

// The advice after a load or a validation that leaves the BBU without a valid image.
std::string keepPoweredAndFlashAgain()
{
    return std::string("keep the machine powered and ") + kFlashAgain;
}

// What to do after a load that did not end with the new image seen running;
// empty when nothing is to be done.
std::string flashAdvice(const bbu_checked_result &r)
{
    switch (r.holds) {
    case BBU_HOLDS_NO_VALID_IMAGE:
        return keepPoweredAndFlashAgain();
    case BBU_HOLDS_NO_ANSWER:
    case BBU_HOLDS_UNREADABLE:
        return r.changed != 0 ? "keep the machine powered; when the BBU answers again, run the "
                                "flash again"
                              : "check the BBU's connection, then run the flash again";
    default:
        return {};
    }
}

// A bad image is refused before anything is asked or sent.
bool loadableImage(const std::string &file, unsigned flags, FIRMWARE_IMAGE_CHECK &found)
{
    if (!readImage("flash", file))
        return false;
    const int rc = bbu_checked_check_image(theImage.bytes, theImage.length, flags, &found);
    if (const char *problem = imageProblem(found)) {
        message("flash: %s is no image to load: %s", file.c_str(), problem);
        return false;
    }
    if (rc == BBU_IMAGE_TOO_LONG) {
        tooLong("flash", file);
        return false;
    }
    return true;
}

// The load's progress reports, handed on to the terminal's line. The first
// comes after the load's first status read, which the result record holds
// by then: a BBU found without a valid image or in a half-finished load is
// said to be so, and the load goes on, for it is the way back.
struct FlashWatch {
    Progress &progress;
    const bbu_checked_result &result;
    bool looked = false;
};

void watchFlash(const bbu_checked_progress *progress, void *context)
{
    auto &watch = *static_cast<FlashWatch *>(context);
    if (!watch.looked && watch.result.has_status != 0) {
        if (const char *state = imageStateText(imageState(watch.result.status))) {
            watch.progress.clear();
            message("flash: %s: loading the image brings it back", state);
        }
    }
    watch.looked = true;
    Progress::report(progress, &watch.progress);
}

// A load that failed: where in the image and why, in the user's terms.
int flashFailure(const bbu_checked_result &result)
{
    const int blocks =
        static_cast<int>((theImage.length + BBU_FLASH_DATA_LEN - 1) / BBU_FLASH_DATA_LEN);
    std::string where, cause;
    if (result.block >= 0)
        where = "block " + std::to_string(result.block + 1) + " of " + std::to_string(blocks);
    if (result.why == BBU_WHY_WRONG_VERSION)
        cause = "it runs version " + firmwareText(result.rc << 8).substr(0, 2);
    else if (result.why == BBU_WHY_MISMATCH)
        cause = "its header differs first at byte " + std::to_string(result.rc);
    const std::string advice = flashAdvice(result);
    return reportFailure("flash", result, true, where, cause,
                         advice.empty() ? nullptr : advice.c_str());
}

int runFlash(int argc, char **argv)
{
    unsigned flags = 0;
    long delayMs = -1;
    enum { FORCE = LONG_ONLY, TFB_DELAY, LONG_IMAGE };
    const option extra[] = {{"force", no_argument, nullptr, FORCE},
                            {"tfb-delay", required_argument, nullptr, TFB_DELAY},
                            {"long-image", no_argument, nullptr, LONG_IMAGE}};
    std::vector<std::string> operands =
        parseOptions(flashCommand, argc, argv, extra, [&](int key, const char *arg) {
            unsigned long ms = 0;
            if (key == FORCE)
                flags |= BBU_CHECKED_FLASH_FORCE;
            else if (key == LONG_IMAGE)
                flags |= BBU_CHECKED_IMAGE_LONG;
            else if (parseNumber(arg, MAX_TFB_DELAY_MS, ms))
                delayMs = static_cast<long>(ms);
            else
                usageError(&flashCommand, "the TFB delay must be 0 to %lu ms, not '%s'",
                           MAX_TFB_DELAY_MS, arg);
        });
    if (operands.size() != 1)
        usageError(&flashCommand, "flash takes one image file");
    if (operands[0].empty())
        usageError(&flashCommand, "an empty image file name");
    const std::string &file = operands[0];
    FIRMWARE_IMAGE_CHECK found{};
    if (!loadableImage(file, flags, found))
        return EXIT_FAILED;
    char version[4];
    std::snprintf(version, sizeof version, "%02x", found.version);
    confirm(flashCommand, std::string("load firmware version ") + version + " from " + shown(file) +
                              " into the BBU");
    if (delayMs >= 0) {
        TFB_delay = 1;
        TFB_delaytime = static_cast<int>(delayMs);
    }
    bbu_checked_result result{};
    {
        BusSession bus("flash");
        FlashWatch watch{bus.progress(), result};
        bbu_checked_flash(bus.fd(), &theImage, flags, watchFlash, &watch, &result,
                          settings.verbose);
    }
    if (result.ok == 0)
        return flashFailure(result);
    if (result.changed == 0)
        std::printf("firmware %s: the BBU already runs this image and validates it: nothing "
                    "loaded\n",
                    firmwareText(result.before).c_str());
    else
        std::printf("firmware %s -> %s\n", firmwareText(result.before).c_str(),
                    firmwareText(result.after).c_str());
    return EXIT_OK;
}

int runValidate(int argc, char **argv)
{
    if (!parseOptions(validateCommand, argc, argv).empty())
        usageError(&validateCommand, "validate takes no argument");
    const char *const what = "validate";
    bbu_checked_result result{};
    {
        BusSession bus(what);
        bbu_checked_validate(bus.fd(), Progress::report, &bus.progress(), &result,
                             settings.verbose);
    }
    // A verdict of not valid says the same, with the way back, in its failure line.
    if (result.why != BBU_WHY_IMAGE_INVALID)
        sayImageState(what, result);
    if (result.ok != 0) {
        std::printf("image: valid\n");
        return EXIT_OK;
    }
    // The BBU's own verdict is the result; any other failure gave none.
    if (result.why == BBU_WHY_IMAGE_INVALID) {
        std::printf("image: not valid\n");
        return reportFailure(what, result, false, "", "", keepPoweredAndFlashAgain().c_str());
    }
    return reportFailure(what, result, false);
}

// The file the bytes of a dump go to, opened before the bus is touched: made
// new (and removed again when the dump fails), or an existing file that is
// replaced only when the dump succeeds. Never through a symbolic link.
struct DumpFile {
    int fd = -1;
    bool made = false;
};

DumpFile openDumpFile(const char *path)
{
    DumpFile f;
    f.fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    f.made = f.fd >= 0;
    if (f.fd < 0 && errno == EEXIST)
        f.fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    return f;
}

bool writeAll(int fd, const unsigned char *bytes, std::size_t length)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The address and length operands of a dump, or a usage error.
void parseDumpRange(const std::vector<std::string> &operands, unsigned long &address,
                    unsigned long &length)
{
    if (operands.size() != 2)
        usageError(&dumpCommand, "dump takes an address and a length");
    if (!parseNumber(operands[0].c_str(), MAX_ADDRESS, address))
        usageError(&dumpCommand, "the address must be 0 to 0xffffffff, not '%s'",
                   operands[0].c_str());
    if (!parseNumber(operands[1].c_str(), MAX_DUMP_LEN, length) || length == 0)
        usageError(&dumpCommand, "the length must be 1 to %lu bytes, not '%s'", MAX_DUMP_LEN,
                   operands[1].c_str());
    // The BBU's addresses are 32 bits wide: a range past the last one would
    // read bytes of a wrapped address under a name that does not exist.
    if (length - 1 > MAX_ADDRESS - address)
        usageError(&dumpCommand, "%lu bytes from 0x%lx run past the last address, 0xffffffff",
                   length, address);
}

// The dumped bytes into the output file, which is closed: a regular file is
// replaced; a device or pipe named by the user just gets the bytes.
int writeDumpFile(const DumpFile &out, const char *output, const std::vector<unsigned char> &bytes,
                  unsigned long address)
{
    struct stat st {};
    const bool written = fstat(out.fd, &st) == 0 &&
                         (!S_ISREG(st.st_mode) || ftruncate(out.fd, 0) == 0) &&
                         writeAll(out.fd, bytes.data(), bytes.size());
    const int err = errno;
    if (close(out.fd) != 0 || !written) {
        message("dump: cannot write %s: %s", output, std::strerror(written ? errno : err));
        return EXIT_FAILED;
    }
    std::printf("%lu bytes from 0x%08lx written to %s\n", static_cast<unsigned long>(bytes.size()),
                address, shown(output).c_str());
    return EXIT_OK;
}

int runDump(int argc, char **argv)
{
    const char *output = nullptr;
    const option extra[] = {{"output", required_argument, nullptr, 'o'}};
    std::vector<std::string> operands =
        parseOptions(dumpCommand, argc, argv, extra, [&](int, const char *arg) { output = arg; });
    unsigned long address = 0, length = 0;
    parseDumpRange(operands, address, length);

    DumpFile out;
    if (output != nullptr) {
        if (*output == '\0')
            usageError(&dumpCommand, "an empty output file name");
        out = openDumpFile(output);
        if (out.fd < 0) {
            message("dump: cannot write %s: %s", output, std::strerror(errno));
            return EXIT_FAILED;
        }
    }
    std::vector<unsigned char> bytes(length);
    bbu_checked_result result{};
    {
        BusSession bus("dump");
        bbu_checked_dump(bus.fd(), static_cast<std::uint32_t>(address),
                         static_cast<std::uint32_t>(length), bytes.data(), &result,
                         settings.verbose);
    }
    if (result.ok == 0) {
        // Nothing of a dump that did not end is given as its result.
        if (out.fd >= 0) {
            close(out.fd);
            if (out.made)
                unlink(output);
        }
        const unsigned long read = result.after > 0 ? static_cast<unsigned long>(result.after) : 0;
        char where[64];
        std::snprintf(where, sizeof where, "at 0x%08lx, %lu of %lu bytes read", address + read,
                      read, length);
        return reportFailure("dump", result, false, where);
    }
    if (output == nullptr) {
        for (unsigned long i = 0; i < length; ++i) {
            if (i % 16 == 0)
                std::printf("%08lx:", address + i);
            std::printf(" %02x", bytes[i]);
            if (i % 16 == 15 || i + 1 == length)
                std::printf("\n");
        }
        return EXIT_OK;
    }
    return writeDumpFile(out, output, bytes, address);
}

int runImage(int argc, char **argv)
{
    unsigned flags = 0;
    const option extra[] = {{"long-image", no_argument, nullptr, LONG_ONLY}};
    std::vector<std::string> operands =
        parseOptions(imageCommand, argc, argv, extra,
                     [&](int, const char *) { flags |= BBU_CHECKED_IMAGE_LONG; });
    if (operands.size() != 2 || operands[0] != "check")
        usageError(&imageCommand, "expected 'image check FILE'");
    if (operands[1].empty())
        usageError(&imageCommand, "an empty image file name");
    const std::string &file = operands[1];
    if (!readImage("image check", file))
        return EXIT_FAILED;
    FIRMWARE_IMAGE_CHECK found{};
    const int rc = bbu_checked_check_image(theImage.bytes, theImage.length, flags, &found);
    // Checks of bytes that were never read say nothing: only the failure is shown.
    if (found.read_ok == 0) {
        message("image check: %s: it holds no data", file.c_str());
        return EXIT_FAILED;
    }
    auto verdict = [](bool ok) {
        return ok ? "ok" : "BAD";
    };
    std::printf("size: %u bytes, %u blocks\n", theImage.length,
                (theImage.length + BBU_FLASH_DATA_LEN - 1) / BBU_FLASH_DATA_LEN);
    std::printf("magic: 0x%08x %s\n", found.magic, verdict(found.magic_ok != 0));
    std::printf("crc: 0x%08x, header 0x%08x %s\n", found.crc, found.file_crc,
                verdict(found.crc_ok != 0));
    std::printf("header check: 0x%08x, header 0x%08x %s\n", found.checksum, found.file_checksum,
                verdict(found.checksum_ok != 0));
    std::printf("version: %02x\n", found.version);
    if (const char *problem = imageProblem(found)) {
        message("image check: %s is not a valid image: %s", file.c_str(), problem);
        return EXIT_FAILED;
    }
    if (rc == BBU_IMAGE_TOO_LONG) {
        tooLong("image check", file);
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace

const Command flashCommand = {
    "flash",
    runFlash,
    {{"flash FILE [--force] [--tfb-delay MS] [--long-image]",
      "load a firmware image file into the BBU"}},
    "Load the firmware image FILE into the BBU's flash. The file is read once; that\n"
    "copy is checked (magic, CRC, header check, length) and loaded, so a file that\n"
    "changes meanwhile changes nothing. A bad image is refused before anything is\n"
    "asked or sent. Unless --force, the image header the BBU holds is read first:\n"
    "when it is this image's and the BBU validates it, nothing is loaded (exit 0).\n"
    "Every write and status read of the load is checked, and at the end the BBU\n"
    "must run the new image: its header read back, its own validation, its status.\n"
    "Prints the change (\"firmware 05.12 -> 06.12\"); on a failure, what the BBU\n"
    "holds now. On a terminal it shows the phase, the block and the time left.\n"
    "Asks first.\n"
    "\n"
    "  --force         load even when the BBU already runs this image\n"
    "  --tfb-delay MS  pause MS milliseconds (0 to 10000) after each Take_Flash_Block\n"
    "  --long-image    load an image longer than 384 blocks (49152 bytes), where\n"
    "                  the BBU's memory may end\n",
};

const Command validateCommand = {
    "validate",
    runValidate,
    {{"validate", "ask the BBU to validate its image (exit 1 when not valid)"}},
    "Ask the BBU to validate the firmware image it holds, see it take the command,\n"
    "and show its verdict from the status 10 seconds later (counted down on a\n"
    "terminal); exit 1 when it is not valid or when no verdict could be read.\n",
};

const Command dumpCommand = {
    "dump",
    runDump,
    {{"dump ADDR LEN [-o FILE]", "read LEN bytes of BBU memory from ADDR"}},
    "Read LEN bytes (1 to 1048576) of the BBU's memory from address ADDR (decimal\n"
    "or 0x hex) to at most 0xffffffff, 128 bytes per read-memory command, each\n"
    "response checked, and print them in hex, 16 to a line after their address, or\n"
    "write them to FILE. A dump that fails gives no bytes.\n"
    "\n"
    "  -o, --output FILE  write the bytes to FILE (replaced only when the dump\n"
    "                     succeeds; not through a symbolic link)\n",
};

const Command imageCommand = {
    "image",
    runImage,
    {{"image check FILE [--long-image]", "check a firmware image file, without a BBU"}},
    "Check a firmware image file as the flash load does, without a BBU and\n"
    "without a trace: its size and blocks, magic number, CRC, header check and\n"
    "version. Exit 1 when a check fails, when the file is not a regular file or\n"
    "gives no bytes, and when the image is longer than 384 blocks (49152 bytes):\n"
    "the BBU's memory may end there.\n"
    "\n"
    "  --long-image  accept an image longer than 384 blocks, as flash --long-image\n",
};

}  // namespace bbuctl
