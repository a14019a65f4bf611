// scenario_file.cpp - reading a scenario file: a regular file only, opened
// without blocking, read in bounded pieces up to kMaxScenarioFile bytes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "scenario.h"

namespace bbusim {
namespace {

const char *file_kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "a special file";
}

std::string too_large()
{
    return "larger than " + std::to_string(kMaxScenarioFile) + " bytes (1 MiB), the limit";
}

// The contents of an open regular file, read in pieces: never more than a
// piece beyond the limit is held, even when the file grows while it is read.
std::string read_bounded(int fd, std::string *text)
{
    constexpr std::size_t kPiece = std::size_t{64} * 1024;
    text->clear();
    for (;;) {
        const std::size_t have = text->size();
        if (have > kMaxScenarioFile)
            return too_large();
        text->resize(have + kPiece);
        const ssize_t n = ::read(fd, text->data() + have, kPiece);
        const int err = errno;
        text->resize(have + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n == 0)
            return "";
        if (n < 0 && err != EINTR)
            return std::strerror(err);
    }
}

}  // namespace

std::string load_scenario_file(const std::string &path, std::string *text)
{
    const std::string failed = "cannot read scenario " + printable(path) + ": ";
    text->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return failed + std::strerror(errno);
    struct stat st {};
    std::string why;
    if (fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = std::string(file_kind(st.st_mode)) + ", not a regular file";
    else if (static_cast<std::uint64_t>(st.st_size) > kMaxScenarioFile)
        why = too_large();
    else
        why = read_bounded(fd, text);
    ::close(fd);
    if (why.empty())
        return "";
    text->clear();
    return failed + why;
}

}  // namespace bbusim
