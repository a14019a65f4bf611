// replay_file.cpp - read a recording, check every line of it, and write it
// as the table the command's processes serve it from.
//
// A recording: the line "# bbusim recording 1", more header lines starting
// with "# ", then one line a request in the transcript's formats (a pause
// with " real US" after it), and an exit line at the end. Any other line is
// refused before the command runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "devices.h"
#include "interposer.h"
#include "libc_calls.h"
#include "replay.h"
#include "transcript.h"

namespace bbusim {
namespace {

using Words = std::vector<std::string_view>;

constexpr std::string_view kFirstLine = "# bbusim recording 1";
constexpr std::size_t kMaxMessage = 8192;
constexpr std::uint64_t kMaxStatus = 255;

// The line's words, separated by single blanks; false for any other blank.
bool split(std::string_view line, Words &words)
{
    words.clear();
    std::size_t at = 0;
    while (at <= line.size()) {
        std::size_t end = line.find(' ', at);
        if (end == std::string_view::npos)
            end = line.size();
        if (end == at)
            return false;
        words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return line.find_first_of("\t\r") == std::string_view::npos;
}

bool decimal(std::string_view s, std::uint64_t max, std::uint64_t &v)
{
    if (s.empty() || s.size() > 20 || s.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && v <= max;
}

bool hex_digits(std::string_view s, std::uint64_t &v)
{
    if (s.empty() || s.find_first_not_of("0123456789abcdef") != std::string_view::npos)
        return false;
    return std::from_chars(s.data(), s.data() + s.size(), v, 16).ec == std::errc();
}

// "S.UUUUUU"
bool stamp(std::string_view s)
{
    std::uint64_t v = 0;
    const std::size_t dot = s.find('.');
    return dot != std::string_view::npos && s.size() - dot == 7 &&
           decimal(s.substr(0, dot), ~0ull, v) && decimal(s.substr(dot + 1), 999999, v);
}

// An address as the transcript writes it: 0x and two hex digits (three for a
// ten-bit one).
bool address(std::string_view s, std::uint16_t &addr)
{
    std::uint64_t v = 0;
    if (s.size() < 4 || s.size() > 5 || s.substr(0, 2) != "0x" || !hex_digits(s.substr(2), v) ||
        v > 0x3ff || (s.size() == 5) != (v > 0xff))
        return false;
    addr = static_cast<std::uint16_t>(v);
    return true;
}

int errno_word(std::string_view s)
{
    return s.size() > 1 && s[0] == 'E' ? errno_from_name(std::string(s)) : 0;
}

// A result: a count up to `max`, or an errno name (negative).
bool result(std::string_view s, std::uint64_t max, std::int32_t &r)
{
    std::uint64_t v = 0;
    if (decimal(s, max, v)) {
        r = static_cast<std::int32_t>(v);
        return true;
    }
    r = -errno_word(s);
    return r < 0;
}

// `n` hex bytes from words[first] on, into the pool.
bool take_bytes(const Words &w, std::size_t first, std::size_t n, Recording &rec, ReplayEntry &e)
{
    e.data = static_cast<std::uint32_t>(rec.pool.size());
    e.data_len = static_cast<std::uint32_t>(n);
    for (std::size_t i = first; i < first + n; ++i) {
        std::uint64_t v = 0;
        if (w[i].size() != 2 || !hex_digits(w[i], v))
            return false;
        rec.pool.push_back(static_cast<char>(v));
    }
    return true;
}

void take_text(std::string_view s, Recording &rec, std::uint32_t &at, std::uint32_t &len)
{
    at = static_cast<std::uint32_t>(rec.pool.size());
    len = static_cast<std::uint32_t>(s.size());
    rec.pool.append(s);
}

// write 0xAA LEN : b0 b1 ... -> RESULT   (no ":" part when LEN is 0)
const char *parse_write(const Words &w, Recording &rec, ReplayEntry &e)
{
    std::uint64_t len = 0;
    if (w.size() < 6 || !address(w[2], e.addr) || !decimal(w[3], kMaxMessage, len))
        return "a write needs an address 0xAA and a length up to 8192";
    e.len = static_cast<std::uint32_t>(len);
    const std::size_t bytes_at = len > 0 ? 5 : 4;
    if (w.size() != bytes_at + len + 2 || (len > 0 && w[4] != ":") || w[bytes_at + len] != "->")
        return "a write's bytes must be as many as its length, then '-> RESULT'";
    if (!take_bytes(w, bytes_at, len, rec, e))
        return "a byte is two lower-case hex digits";
    if (!result(w.back(), len, e.result))
        return "a write's result is a count up to its length or an errno name";
    return nullptr;
}

// read 0xAA LEN -> RESULT : b0 b1 ...   (no ":" part on error or when none came)
const char *parse_read(const Words &w, Recording &rec, ReplayEntry &e)
{
    std::uint64_t len = 0;
    if (w.size() < 6 || !address(w[2], e.addr) || !decimal(w[3], kMaxMessage, len) || w[4] != "->")
        return "a read needs an address 0xAA, a length up to 8192 and '-> RESULT'";
    e.len = static_cast<std::uint32_t>(len);
    if (!result(w[5], len, e.result))
        return "a read's result is a count up to its length or an errno name";
    const std::size_t n = e.result > 0 ? static_cast<std::size_t>(e.result) : 0;
    if (w.size() != (n > 0 ? 7 + n : 6) || (n > 0 && w[6] != ":"))
        return "a read's bytes must be as many as its result";
    if (!take_bytes(w, 7, n, rec, e))
        return "a byte is two lower-case hex digits";
    return nullptr;
}

const char *parse_open(const Words &w, Recording &rec, ReplayEntry &e)
{
    std::uint64_t fd = 0;
    if (w.size() != 5 || w[3] != "->" || w[2].size() <= 5 || w[2].substr(0, 5) != "/dev/" ||
        w[2].size() >= kAdapterPathMax || printable(w[2]) != w[2])
        return "an open needs a device path (printable, no backslash) and '-> RESULT'";
    if (decimal(w[4], kMaxClaimedFd - 1, fd))
        e.result = static_cast<std::int32_t>(fd);
    else if ((e.result = -errno_word(w[4])) == 0)
        return "an open's result is a descriptor or an errno name";
    take_text(w[2], rec, e.data, e.data_len);
    const std::string path(w[2]);
    if (std::find(rec.paths.begin(), rec.paths.end(), path) == rec.paths.end())
        rec.paths.push_back(path);
    return nullptr;
}

const char *parse_ioctl(const Words &w, Recording &rec, ReplayEntry &e)
{
    std::uint64_t v = 0;
    const bool named =
        w.size() > 2 && w[2].size() > 4 && w[2].substr(0, 4) == "I2C_" &&
        w[2].find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_", 4) == std::string::npos;
    const bool number = w.size() > 2 && w[2].size() > 2 && w[2].substr(0, 2) == "0x" &&
                        hex_digits(w[2].substr(2), v);
    if (w.size() != 5 || !(named || number) || w[3] != "->" || (e.result = -errno_word(w[4])) == 0)
        return "a refused request needs its name (I2C_... or 0x...) and '-> ERRNO'";
    take_text(w[2], rec, e.data, e.data_len);
    return nullptr;
}

const char *parse_simple(const Words &w, ReplayEntry &e)
{
    std::uint64_t v = 0;
    if (e.kind == ReplayKind::close) {
        if (w.size() != 3 || !decimal(w[2], kMaxClaimedFd - 1, v))
            return "a close needs a descriptor";
        e.len = static_cast<std::uint32_t>(v);
        return nullptr;
    }
    if (w.size() != 5 || !decimal(w[2], ~0ull, e.us) || w[3] != "real" || !decimal(w[4], ~0ull, v))
        return "a pause needs 'sleep US real US'";
    return nullptr;
}

// One request line into an entry; null or the reason it is refused.
const char *parse_request(const Words &w, Recording &rec, ReplayEntry &e)
{
    static constexpr std::pair<std::string_view, ReplayKind> kEvents[] = {
        {"open", ReplayKind::open}, {"close", ReplayKind::close}, {"write", ReplayKind::write},
        {"read", ReplayKind::read}, {"ioctl", ReplayKind::ioctl}, {"sleep", ReplayKind::sleep}};
    const auto *found = std::find_if(std::begin(kEvents), std::end(kEvents),
                                     [&](const auto &k) { return k.first == w[1]; });
    if (found == std::end(kEvents))
        return "not a request (open, close, write, read, ioctl, sleep) nor the exit line";
    e.kind = found->second;
    switch (e.kind) {
    case ReplayKind::write:
        return parse_write(w, rec, e);
    case ReplayKind::read:
        return parse_read(w, rec, e);
    case ReplayKind::open:
        return parse_open(w, rec, e);
    case ReplayKind::ioctl:
        return parse_ioctl(w, rec, e);
    default:
        return parse_simple(w, e);
    }
}

// "# recorded: YYYY-MM-DDTHH:MM:SSZ"; false when it is not a real UTC time.
bool parse_recorded(std::string_view value, std::int64_t &wall_us)
{
    // Each field's digits at their fixed places, the separators between them.
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (value.size() != kShape.size())
        return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = value[i] >= '0' && value[i] <= '9';
        if (kShape[i] == 'd' ? !digit : value[i] != kShape[i])
            return false;
    }
    auto field = [value](std::size_t at, std::size_t len) {
        int v = 0;
        for (std::size_t i = at; i < at + len; ++i)
            v = v * 10 + (value[i] - '0');
        return v;
    };
    std::tm tm{};
    tm.tm_year = field(0, 4);
    tm.tm_mon = field(5, 2);
    tm.tm_mday = field(8, 2);
    tm.tm_hour = field(11, 2);
    tm.tm_min = field(14, 2);
    tm.tm_sec = field(17, 2);
    const std::tm given = tm;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const time_t t = timegm(&tm);
    // timegm carries a day or second out of range into the next: not a real time.
    if (t < 0 || tm.tm_year + 1900 != given.tm_year || tm.tm_mon + 1 != given.tm_mon ||
        tm.tm_mday != given.tm_mday || tm.tm_hour != given.tm_hour || tm.tm_sec != given.tm_sec)
        return false;
    wall_us = static_cast<std::int64_t>(t) * 1000000;
    return true;
}

// A header line; null or the reason it is refused.
const char *parse_header(std::string_view line, Recording &rec)
{
    if (line.size() < 2 || line.substr(0, 2) != "# ")
        return "a header line starts with '# '";
    constexpr std::string_view kRecorded = "# recorded: ";
    if (line.substr(0, kRecorded.size()) != kRecorded)
        return nullptr;  // what the replay does not use is only read
    if (rec.has_start || !parse_recorded(line.substr(kRecorded.size()), rec.start_wall_us))
        return "'# recorded:' is given once, as YYYY-MM-DDTHH:MM:SSZ";
    rec.has_start = true;
    return nullptr;
}

// The exit line: "exit STATUS" or "exit signal N"; it ends the recording.
bool exit_line(const Words &w)
{
    std::uint64_t v = 0;
    return w[1] == "exit" && ((w.size() == 3 && decimal(w[2], kMaxStatus, v)) ||
                              (w.size() == 4 && w[2] == "signal" && decimal(w[3], 64, v)));
}

// One line of the recording (numbered `number`); null or why it is refused.
const char *parse_line(std::string_view line, std::uint32_t number, Recording &rec, Words &words)
{
    const bool body = !rec.entries.empty() || rec.end_line != 0;
    if (number == 1)
        return line == kFirstLine ? nullptr
                                  : "not a recording: its first line is '# bbusim recording 1'";
    if (line.find('\0') != std::string_view::npos)
        return "a NUL byte in the line";
    if (rec.end_line != 0)
        return "a line after the exit line";
    if (!line.empty() && line[0] == '#')
        return body ? "a header line among the requests" : parse_header(line, rec);
    if (line.size() > kReplayLineMax)
        return "a line longer than a message of 8192 bytes";
    if (!split(line, words) || words.size() < 2 || !stamp(words[0]))
        return "a request line is 'S.UUUUUU EVENT ...', words separated by one blank";
    if (exit_line(words)) {
        rec.end_line = number;
        rec.end_text = line.substr(words[0].size() + 1);
        return nullptr;
    }
    ReplayEntry e{};
    e.line = number;
    if (const char *why = parse_request(words, rec, e))
        return why;
    take_text(line.substr(words[0].size() + 1), rec, e.text, e.text_len);
    rec.entries.push_back(e);
    return nullptr;
}

// The whole file, read through a descriptor that follows no symbolic link.
std::string read_whole(const std::string &path, std::string &text)
{
    const std::string shown = "recording " + printable(path);
    const int fd =
        libc().open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? shown + " is a symbolic link: refused"
                              : "cannot open " + shown + ": " + std::strerror(errno);
    struct stat st {};
    std::string err;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        err = shown + " is not a regular file";
    else if (static_cast<std::size_t>(st.st_size) > kRecordingMax)
        err = shown + " is larger than 16 MiB";
    char buf[65536];
    for (ssize_t n = 1; err.empty() && n != 0;) {
        n = libc().read(fd, buf, sizeof buf);
        if (n < 0 && errno != EINTR)
            err = "cannot read " + shown + ": " + std::strerror(errno);
        else if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kRecordingMax)
            err = shown + " is larger than 16 MiB";
    }
    libc().close(fd);
    return err;
}

bool write_all(int fd, const void *data, std::size_t n)
{
    const auto *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = libc().write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

}  // namespace

std::string read_recording(const std::string &path, Recording &rec)
{
    std::string text;
    if (std::string err = read_whole(path, text); !err.empty())
        return err;
    return parse_recording(text, path, rec);
}

std::string parse_recording(const std::string &text, const std::string &name, Recording &rec)
{
    Words words;
    std::uint32_t number = 0;
    std::size_t at = 0;
    while (at < text.size() || number == 0) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        ++number;
        if (const char *why =
                parse_line(std::string_view(text).substr(at, end - at), number, rec, words))
            return printable(name) + ":" + std::to_string(number) + ": " + why;
        at = end + 1;
    }
    if (rec.end_line == 0)
        rec.end_line = number + 1;
    if (rec.paths.size() > static_cast<std::size_t>(kMaxAdapters) - 1)
        return printable(name) + ": opens more than " + std::to_string(kMaxAdapters - 1) +
               " adapter paths";
    return "";
}

std::string start_replay(World &w, int root_fd, const std::string &root, const Recording &rec,
                         const std::string &name, bool no_timing)
{
    release_replay_table();
    ReplayTable t{};
    t.magic = kReplayMagic;
    t.count = static_cast<std::uint32_t>(rec.entries.size());
    std::string pool = rec.pool;
    t.end_line = rec.end_line;
    t.end_text = static_cast<std::uint32_t>(pool.size());
    t.end_len = static_cast<std::uint32_t>(rec.end_text.size());
    pool += rec.end_text;
    t.file = static_cast<std::uint32_t>(pool.size());
    t.file_len = static_cast<std::uint32_t>(name.size());
    pool += name;
    t.pool_len = static_cast<std::uint32_t>(pool.size());

    // Built beside and renamed into place, as the world file is.
    const std::string shown = printable(root) + "/" + kReplayFileName;
    const std::string tmp = std::string(kReplayFileName) + "." + std::to_string(getpid());
    unlinkat(root_fd, tmp.c_str(), 0);
    const int fd = libc().openat(root_fd, tmp.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && write_all(fd, &t, sizeof t) &&
              write_all(fd, rec.entries.data(), rec.entries.size() * sizeof(ReplayEntry)) &&
              write_all(fd, pool.data(), pool.size());
    const int saved = errno;
    if (fd >= 0)
        libc().close(fd);
    if (!ok || renameat(root_fd, tmp.c_str(), root_fd, kReplayFileName) != 0) {
        const int err = ok ? errno : saved;
        unlinkat(root_fd, tmp.c_str(), 0);
        return "cannot write " + shown + ": " + std::strerror(err);
    }

    WorldLock lock(w);
    for (const std::string &path : rec.paths)
        if (!claim_adapter_path(w, path))
            return "cannot claim adapter " + printable(path) + ": at most " +
                   std::to_string(kMaxAdapters);
    if (rec.has_start)
        set_wall_clock_us(w, rec.start_wall_us);
    w.replay.active = 1;
    w.replay.no_timing = no_timing ? 1 : 0;
    std::memset(w.replay.fds, 0xff, sizeof w.replay.fds);  // every slot -1: free
    return "";
}

}  // namespace bbusim
