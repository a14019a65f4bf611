// mkimage.cpp - bbusim-mkimage: write a BBU firmware image for trying a
// flash load on the simulated BBU, valid or with one check spoilt.
//
//   bbusim-mkimage [-v VERSION] [-s SIZE] [-c magic|crc|header|empty] FILE
//   bbusim-mkimage --help | --version
//
// FILE "-" is standard output. An existing FILE must be a regular file and
// not a symbolic link; it is replaced. Exit status 0, 1 when the file cannot
// be written, 2 for a bad argument.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware_image.h"
#include "transcript.h"
#include "world.h"

#ifndef BBUSIM_VERSION
#define BBUSIM_VERSION "unknown"
#endif

namespace {

constexpr const char *kUsage =
    "Usage: bbusim-mkimage [-v VERSION] [-s SIZE] [-c magic|crc|header|empty] FILE\n"
    "Write a BBU firmware image for a flash load on the simulated BBU.\n"
    "\n"
    "  -v, --firmware-version VERSION  the image's firmware version byte, 0 to 255\n"
    "                                  (decimal, or hex with 0x; default 1)\n"
    "  -s, --size SIZE                 image size in bytes, 1 to 65536 (default 49152)\n"
    "  -c, --spoil CHECK               spoil one check: magic, crc, header (the header\n"
    "                                  check); empty: no bytes at all\n"
    "  -h, --help                      show this help and exit\n"
    "  -V, --version                   show the program's version and exit\n"
    "  FILE                            the image file, - for standard output\n";

struct Spoil {
    const char *name;
    bbusim::ImageFault fault;
};
constexpr Spoil kSpoils[] = {
    {"magic", bbusim::ImageFault::bad_magic},
    {"crc", bbusim::ImageFault::bad_crc},
    {"header", bbusim::ImageFault::bad_header_check},
    {"empty", bbusim::ImageFault::empty},
};

// The option getopt_long refused, as the command line gave it: `arg` is the
// last argument it took, `letter` its optopt (0 for an unknown long option).
// A long option is shown by its name (without any "=value"), a short one by
// its letter; `arg` may be an earlier long option when the letter sits in a
// cluster such as "-Xh", so the name counts only when it means `letter`.
std::string given_option(const char *arg, int letter, const option *longs)
{
    const std::string text = arg;
    if (text.rfind("--", 0) == 0) {
        const std::string name = text.substr(2, text.find('=') - 2);
        bool means_letter = letter == 0;
        for (const option *o = longs; o->name != nullptr; ++o)
            means_letter = means_letter || (o->val == letter && !name.empty() &&
                                            std::string(o->name).rfind(name, 0) == 0);
        if (means_letter)
            return "--" + name;
    }
    return std::string("-") + static_cast<char>(letter);
}

int usage_error(const std::string &why)
{
    std::fprintf(stderr, "bbusim-mkimage: %s\n%s", bbusim::printable(why).c_str(), kUsage);
    return 2;
}

// The whole of `text` as a number from 0 to `max` (decimal, or hex with 0x).
bool parse_number(const char *text, unsigned long max, unsigned long &out)
{
    if (text[0] < '0' || text[0] > '9')
        return false;  // no sign, no blank
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    out = v;
    return true;
}

// Open FILE for replacing: never through a symbolic link, never a FIFO or a
// device (opened without blocking, checked, then emptied).
int open_image_file(const char *path, std::string &why)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = errno == ELOOP ? "is a symbolic link" : std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if (ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
        why = std::strerror(errno);
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

bool write_all(int fd, const std::uint8_t *p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

const option kLongOptions[] = {{"firmware-version", required_argument, nullptr, 'v'},
                               {"size", required_argument, nullptr, 's'},
                               {"spoil", required_argument, nullptr, 'c'},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, 'V'},
                               {nullptr, 0, nullptr, 0}};

const Spoil *find_spoil(const char *name)
{
    for (const Spoil &s : kSpoils)
        if (std::strcmp(name, s.name) == 0)
            return &s;
    return nullptr;
}

// The image written to PATH ("-": standard output); the exit status.
int write_image(const char *path, const std::vector<std::uint8_t> &image)
{
    std::string why;
    const bool to_stdout = std::strcmp(path, "-") == 0;
    const int fd = to_stdout ? STDOUT_FILENO : open_image_file(path, why);
    if (fd >= 0 && !write_all(fd, image.data(), image.size()))
        why = std::strerror(errno);
    if (fd >= 0 && !to_stdout && ::close(fd) != 0 && why.empty())
        why = std::strerror(errno);
    if (fd < 0 || !why.empty()) {
        std::fprintf(stderr, "bbusim-mkimage: %s: %s\n", bbusim::printable(path).c_str(),
                     why.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    unsigned long version = 1;
    unsigned long size = bbusim::kImageLen;
    bbusim::ImageFault fault = bbusim::ImageFault::none;
    int opt = 0;
    opterr = 0;
    // A leading ':' tells a missing value (':') from an unknown option ('?').
    while ((opt = getopt_long(argc, argv, "+:v:s:c:hV", kLongOptions, nullptr)) != -1) {
        switch (opt) {
        case 'v':
            if (!parse_number(optarg, 0xff, version))
                return usage_error(std::string("bad version '") + optarg + "'");
            break;
        case 's':
            if (!parse_number(optarg, bbusim::kFlashLen, size) || size == 0)
                return usage_error(std::string("bad size '") + optarg + "'");
            break;
        case 'c': {
            const Spoil *found = find_spoil(optarg);
            if (found == nullptr)
                return usage_error(std::string("unknown check '") + optarg + "'");
            fault = found->fault;
            break;
        }
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case 'V':
            std::printf("bbusim-mkimage %s\n", BBUSIM_VERSION);
            return 0;
        case ':':
            return usage_error("option '" + given_option(argv[optind - 1], optopt, kLongOptions) +
                               "' needs a value");
        default:
            return usage_error("bad option '" +
                               given_option(argv[optind - 1], optopt, kLongOptions) + "'");
        }
    }
    if (argc - optind != 1)
        return usage_error("one FILE expected");
    const char *path = argv[optind];

    return write_image(path, bbusim::make_image(static_cast<std::uint8_t>(version), size, fault));
}
