// transcript.cpp - append transcript lines and name errno values.
#include "transcript.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libc_calls.h"

namespace bbusim {

TranscriptLine::TranscriptLine(std::uint64_t t_us)
{
    text("%llu.%06llu", static_cast<unsigned long long>(t_us / 1000000),
         static_cast<unsigned long long>(t_us % 1000000));
}

TranscriptLine &TranscriptLine::text(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = std::vsnprintf(buf_ + n_, kMax - 1 - n_, fmt, ap);
    va_end(ap);
    if (r > 0)
        n_ += std::min<std::size_t>(static_cast<std::size_t>(r), kMax - 2 - n_);
    return *this;
}

TranscriptLine &TranscriptLine::bytes(const std::uint8_t *p, std::size_t n)
{
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < n && n_ + 4 < kMax; ++i) {
        buf_[n_++] = ' ';
        buf_[n_++] = kHex[p[i] >> 4];
        buf_[n_++] = kHex[p[i] & 0x0f];
    }
    return *this;
}

void TranscriptLine::emit(const World &w)
{
    buf_[n_++] = '\n';
    const int saved = errno;
    int fd = libc().open(w.transcript, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        (void)!libc().write(fd, buf_, n_);
        libc().close(fd);
    }
    errno = saved;
}

std::string printable(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

std::string errno_name(int err)
{
    const char *name = strerrorname_np(err);
    return name != nullptr ? name : std::to_string(err);
}

int errno_from_name(const std::string &name)
{
    if (name.empty())
        return 0;
    if (name.find_first_not_of("0123456789") == std::string::npos) {
        long v = std::strtol(name.c_str(), nullptr, 10);
        return v > 0 && v < 4096 ? static_cast<int>(v) : 0;
    }
    for (int e = 1; e < 4096; ++e) {
        const char *n = strerrorname_np(e);
        if (n != nullptr && name == n)
            return e;
    }
    return 0;
}

}  // namespace bbusim
