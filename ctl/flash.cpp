// flash.cpp - bbuctl's firmware code load family: the flash load of an image
// file, the BBU's validation of the image it holds, the dump of its memory,
// and the offline check of an image file.
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

std::string shown(const std::string &text)
{
    return printable(reinterpret_cast<const unsigned char *>(text.c_str()), text.size());
}

// An image file is read whole by the library: anything but a regular file
// (a FIFO would block it, a directory reads as an error) is refused before.
// Opened without blocking and never as a controlling terminal. True when
// `file` is a regular file; otherwise false after a message.
bool isRegularFile(const char *what, const std::string &file)
{
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        message("%s: cannot open %s: %s", what, file.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular)
        message("%s: %s is not a regular file", what, file.c_str());
    return regular;
}

// What is wrong with an image, by the code of the last check that failed.
const char *imageProblem(int rc, const FIRMWARE_IMAGE_CHECK &found)
{
    // The checks of a file that gave no bytes judged nothing.
    if (found.open_errno == 0 && found.read_ok == 0 && rc != BBU_IMAGE_NO_MEMORY)
        return found.size < 0 ? "it cannot be read" : "it holds no data";
    switch (rc) {
    case BBU_IMAGE_UNREADABLE:
        return found.open_errno != 0 ? std::strerror(found.open_errno) : "it holds no data";
    case BBU_IMAGE_BAD_MAGIC:
        return "its magic number is wrong";
    case BBU_IMAGE_BAD_CRC:
        return "its CRC does not match its header";
    case BBU_IMAGE_BAD_CHECKSUM:
        return "its header check does not match";
    default:
        return "it could not be read into memory";
    }
}

int runFlash(int argc, char **argv)
{
    bool force = false;
    long delayMs = -1;
    enum { FORCE = LONG_ONLY, TFB_DELAY };
    const option extra[] = {{"force", no_argument, nullptr, FORCE},
                            {"tfb-delay", required_argument, nullptr, TFB_DELAY}};
    std::vector<std::string> operands =
        parseOptions(flashCommand, argc, argv, extra, [&](int key, const char *arg) {
            unsigned long ms = 0;
            if (key == FORCE)
                force = true;
            else if (parseNumber(arg, MAX_TFB_DELAY_MS, ms))
                delayMs = static_cast<long>(ms);
            else
                usageError(&flashCommand, "the TFB delay must be 0 to %lu ms, not '%s'",
                           MAX_TFB_DELAY_MS, arg);
        });
    if (operands.size() != 1)
        usageError(&flashCommand, "flash takes one image file");
    const std::string &file = operands[0];

    // A bad image is refused before anything is asked or sent.
    if (!isRegularFile("flash", file))
        return EXIT_FAILED;
    FIRMWARE_IMAGE_CHECK found{};
    int rc = check_firmware_image(file.c_str(), &found);
    if (rc != 0) {
        message("flash: %s is no image to load: %s", file.c_str(), imageProblem(rc, found));
        return EXIT_FAILED;
    }
    confirm(flashCommand, "load firmware version " + std::to_string(found.version) + " from " +
                              shown(file) + " into the BBU");
    if (delayMs >= 0) {
        TFB_delay = 1;
        TFB_delaytime = static_cast<int>(delayMs);
    }
    {
        BusSession bus(flashCommand);
        rc = processCodeLoad(bus.fd(), file.c_str(), settings.verbose, force ? 1 : 0);
    }
    switch (rc) {
    case BBU_LOAD_DONE:
        return EXIT_OK;
    case BBU_LOAD_SAME_VERSION:
        std::printf("the BBU already holds this version and validates it: nothing loaded\n");
        return EXIT_OK;
    case BBU_LOAD_FAILED:
    case BBU_LOAD_SHORT_START:
        message("flash: the load failed (result %d); the BBU is left in the middle of a flash "
                "load",
                rc);
        return EXIT_FAILED;
    default:
        message("flash: the load failed (result %d)", rc);
        return EXIT_FAILED;
    }
}

int runValidate(int argc, char **argv)
{
    if (!parseOptions(validateCommand, argc, argv).empty())
        usageError(&validateCommand, "validate takes no argument");
    int valid = 0;
    {
        BusSession bus(validateCommand);
        valid = validate_img(bus.fd(), settings.verbose);
    }
    std::printf("image: %s\n", valid != 0 ? "valid" : "not valid");
    return valid != 0 ? EXIT_OK : EXIT_FAILED;
}

int runDump(int argc, char **argv)
{
    const char *output = nullptr;
    const option extra[] = {{"output", required_argument, nullptr, 'o'}};
    std::vector<std::string> operands =
        parseOptions(dumpCommand, argc, argv, extra, [&](int, const char *arg) { output = arg; });
    unsigned long address = 0, length = 0;
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

    // The file is made before the bus is touched, and holds the bytes read
    // and nothing else.
    int out = STDOUT_FILENO;
    if (output != nullptr) {
        out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (out < 0) {
            message("dump: cannot write %s: %s", output, std::strerror(errno));
            return EXIT_FAILED;
        }
    }
    std::vector<unsigned char> bytes(length);
    {
        BusSession bus(dumpCommand);
        dump_memory(bus.fd(), address, static_cast<int>(length), nullptr, bytes.data(),
                    settings.verbose);
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
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = write(out, bytes.data() + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (close(out) != 0 || done < length) {
        message("dump: cannot write %s: %s", output, std::strerror(errno));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int runImage(int argc, char **argv)
{
    std::vector<std::string> operands = parseOptions(imageCommand, argc, argv);
    if (operands.size() != 2 || operands[0] != "check")
        usageError(&imageCommand, "expected 'image check FILE'");
    if (!isRegularFile("image check", operands[1]))
        return EXIT_FAILED;
    FIRMWARE_IMAGE_CHECK found{};
    const int rc = check_firmware_image(operands[1].c_str(), &found);
    // Checks of bytes that were never read say nothing: only the failure is shown.
    if (found.open_errno != 0 || rc == BBU_IMAGE_NO_MEMORY || found.read_ok == 0) {
        message("image check: %s: %s", operands[1].c_str(), imageProblem(rc, found));
        return EXIT_FAILED;
    }
    auto verdict = [](bool ok) {
        return ok ? "ok" : "BAD";
    };
    std::printf("size: %d bytes, %d blocks\n", found.size, found.numblocks);
    std::printf("magic: 0x%08x %s\n", found.magic, verdict(found.magic_ok != 0));
    std::printf("crc: 0x%08x, header 0x%08x %s\n", found.crc, found.file_crc,
                verdict(found.crc_ok != 0));
    std::printf("header check: 0x%08x, header 0x%08x %s\n", found.checksum, found.file_checksum,
                verdict(found.checksum_ok != 0));
    std::printf("version: %02x\n", found.version);
    if (rc != 0) {
        message("image check: %s is not a valid image: %s", operands[1].c_str(),
                imageProblem(rc, found));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace

const Command flashCommand = {
    "flash",
    runFlash,
    {{"flash FILE [--force] [--tfb-delay MS]", "load a firmware image file into the BBU"}},
    "Load the firmware image FILE into the BBU's flash. The image is checked\n"
    "first (magic, CRC, header check); a bad one is refused before anything is\n"
    "sent. Unless --force, the BBU's own version is read first: when it holds the\n"
    "same version and validates it, nothing is loaded (exit 0). Asks first. A\n"
    "load that fails part way leaves the BBU in flash-program mode.\n"
    "\n"
    "  --force         load without comparing versions\n"
    "  --tfb-delay MS  pause MS milliseconds (0 to 10000) after each Take_Flash_Block\n",
};

const Command validateCommand = {
    "validate",
    runValidate,
    {{"validate", "ask the BBU to validate its image (exit 1 when not valid)"}},
    "Ask the BBU to validate the firmware image it holds and show its verdict,\n"
    "taken from the status 10 seconds later; exit 1 when it is not valid.\n",
};

const Command dumpCommand = {
    "dump",
    runDump,
    {{"dump ADDR LEN [-o FILE]", "read LEN bytes of BBU memory from ADDR"}},
    "Read LEN bytes (1 to 1048576) of the BBU's memory from address ADDR (decimal\n"
    "or 0x hex), 128 bytes per read-memory command, and print them in hex, 16 to a\n"
    "line after their address, or write them to FILE.\n"
    "\n"
    "  -o, --output FILE  write the bytes to FILE (replaced; not through a symbolic link)\n",
};

const Command imageCommand = {
    "image",
    runImage,
    {{"image check FILE", "check a firmware image file, without a BBU"}},
    "Check a firmware image file as the flash load does, without a BBU and\n"
    "without a trace: its size and blocks, magic number, CRC, header check and\n"
    "version. Exit 1 when a check fails.\n",
};

}  // namespace bbuctl
