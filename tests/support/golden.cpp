#include "golden.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "bbusim.h"
#include "bytes.h"

namespace golden {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

void add(Lines &to, const Lines &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

// The session as it happens: bus events from the simulator's observer,
// stream writes from the cookie streams, trace log lines read whenever
// either comes (LogTrace closes the file after every line). A stream line
// takes its place when its newline is written.
struct Recorder {
    Lines lines;
    std::string pending[3];  // standard output, standard error, the trace log
    int log_fd = -1;
    off_t log_read = 0;

    void drain_log()
    {
        char chunk[4096];
        for (ssize_t n; log_fd >= 0 && (n = pread(log_fd, chunk, sizeof chunk, log_read)) > 0;) {
            log_read += n;
            pending[2].append(chunk, static_cast<std::size_t>(n));
        }
        for (std::size_t end; (end = pending[2].find('\n')) != std::string::npos;) {
            const std::string line = pending[2].substr(0, end);
            pending[2].erase(0, end + 1);
            // A trace log line starts "YYYY-MM-DD HH:MM:SS.micros "; a line
            // without the stamp continues a message with newlines.
            static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ )");
            std::smatch m;
            const bool stamped = std::regex_search(line, m, stamp);
            lines.push_back((stamped ? "log| " : "log+ ") +
                            shown(stamped ? m.suffix().str() : line));
        }
    }
    void write(int stream, const char *data, std::size_t n)
    {
        drain_log();
        pending[stream].append(data, n);
        for (std::size_t end; (end = pending[stream].find('\n')) != std::string::npos;) {
            lines.push_back((stream == 0 ? "out| " : "err| ") +
                            shown(pending[stream].substr(0, end)));
            pending[stream].erase(0, end + 1);
        }
    }
    void finish()
    {
        drain_log();
        for (int s = 0; s < 3; ++s)
            if (!pending[s].empty())
                lines.push_back(std::string(s == 0   ? "out| "
                                            : s == 1 ? "err| "
                                                     : "log| ") +
                                shown(pending[s]) + "  (no end of line)");
    }
};

Recorder *g_recorder = nullptr;

template <int Stream>
ssize_t cookie_write(void *, const char *data, size_t n)
{
    g_recorder->write(Stream, data, n);
    return static_cast<ssize_t>(n);
}

// While it lives, stdout and stderr are unbuffered streams that write into
// the recorder, bus events reach it from the simulator, and descriptors 1 and
// 2 go to memory files: what is written past stdio is added at the end.
class Streams {
public:
    explicit Streams(Recorder &r) : rec_(r)
    {
        std::fflush(nullptr);
        g_recorder = &r;
        saved_ = {stdout, stderr};
        stdout = fopencookie(nullptr, "w", {nullptr, cookie_write<0>, nullptr, nullptr});
        stderr = fopencookie(nullptr, "w", {nullptr, cookie_write<1>, nullptr, nullptr});
        std::setvbuf(stdout, nullptr, _IONBF, 0);
        std::setvbuf(stderr, nullptr, _IONBF, 0);
        for (int i = 0; i < 2; ++i) {
            saved_fd_[i] = dup(i + 1);
            mem_[i] = memfd_create("golden", MFD_CLOEXEC);
            dup2(mem_[i], i + 1);
        }
        bbusim::observe_transcript(
            [](std::string_view line, void *) {
                g_recorder->drain_log();
                g_recorder->lines.push_back("bus| " + std::string(line));
            },
            nullptr);
    }
    ~Streams()
    {
        bbusim::observe_transcript(nullptr, nullptr);
        rec_.finish();
        std::fclose(stdout);
        std::fclose(stderr);
        stdout = saved_[0];
        stderr = saved_[1];
        for (int i = 0; i < 2; ++i) {
            dup2(saved_fd_[i], i + 1);
            close(saved_fd_[i]);
            std::string raw(static_cast<std::size_t>(lseek(mem_[i], 0, SEEK_END)), '\0');
            if (pread(mem_[i], raw.data(), raw.size(), 0) > 0)
                for (const std::string &line : bbutest::lines(raw))
                    rec_.lines.push_back("fd" + std::to_string(i + 1) + "| " + shown(line));
            close(mem_[i]);
        }
        g_recorder = nullptr;
    }
    Streams(const Streams &) = delete;
    Streams &operator=(const Streams &) = delete;

private:
    Recorder &rec_;
    std::array<FILE *, 2> saved_{};
    std::array<int, 2> saved_fd_{}, mem_{};
};

Lines variables()
{
    char line[200];
    std::snprintf(
        line, sizeof line,
        "vars| checksumError=%d TFB_delay=%d TFB_delaytime=%d byte12_beforeTFB=%02x "
        "byte13_beforeTFB=%02x byte12_afterTFB=%02x byte13_afterTFB=%02x",
        checksumError, TFB_delay, TFB_delaytime, static_cast<unsigned char>(byte12_beforeTFB),
        static_cast<unsigned char>(byte13_beforeTFB), static_cast<unsigned char>(byte12_afterTFB),
        static_cast<unsigned char>(byte13_afterTFB));
    std::size_t used = sizeof global_GSS;
    while (used > 0 && global_GSS[used - 1] == 0)
        --used;
    return {line, "vars| global_GSS=" + (used == 0 ? "all zero" : bbutest::hex(global_GSS, used))};
}

std::set<std::string> open_descriptors()
{
    std::set<std::string> fds;
    for (const auto &e : fs::directory_iterator("/proc/self/fd"))
        fds.insert(e.path().filename().string());
    return fds;
}

std::map<std::string, std::string> files_in(const fs::path &dir)
{
    std::map<std::string, std::string> out;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            out[e.path().filename().string()] = bbutest::read_file(e.path().string());
    return out;
}

// A fresh world for the row, its files written: the head of the session.
Lines set_up(const fs::path &root, const fs::path &dir, const Row &row)
{
    Lines head = {"call| " + row.call_text};
    for (const std::string &line : bbutest::lines(row.scenario))
        head.push_back("scenario| " + line);
    bbusim::reset(root.string());
    // A fixed wall clock: the clock's alarm comes at its next whole second.
    bbusim::set_wall_clock(1239807149, 0);
    fs::remove_all(dir);
    fs::create_directories(dir);
    EXPECT_EQ(bbusim::apply(row.scenario), "") << row.scenario;
    for (const auto &[name, content] : row.files) {
        std::ofstream(dir / name, std::ios::binary) << content;
        head.push_back("file| " + name + " (" + std::to_string(content.size()) + " bytes): " +
                       bbutest::hex(content.data(), std::min<std::size_t>(content.size(), 24)) +
                       (content.size() > 24 ? " ..." : ""));
    }
    checksumError = TFB_delay = TFB_delaytime = 0;
    byte12_beforeTFB = byte13_beforeTFB = byte12_afterTFB = byte13_afterTFB = 0;
    std::memset(global_GSS, 0, sizeof global_GSS);
    return head;
}

// The session of one row, from its set-up to what the call left.
Lines session(const std::string &family, const Row &row)
{
    const fs::path root = fs::path(BBU_TEST_SCRATCH) / "golden" / family / row.name;
    const fs::path dir = root / "cwd";
    Lines lines = set_up(root, dir, row);
    const auto given = files_in(dir);
    Call call;
    call.buf.fill(0x5a);
    call.fd = open_I2C_device(0);
    if (row.before)
        row.before(call);
    add(lines, variables());
    lines.push_back("---");

    Recorder rec;
    const std::string log = bbusim::mapped_path("/opt/Logs/bbu/logs/BBU.log");
    if (fs::exists(fs::path(log).parent_path()))
        rec.log_fd = ::open(log.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const auto fds_before = open_descriptors();
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    const mode_t mask = umask(022);
    std::string result;
    {
        const Streams streams(rec);
        call.next_fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
        close(call.next_fd);
        result = row.call(call);
    }
    umask(mask);
    fs::current_path(cwd);
    if (row.after)
        row.after(call);

    for (std::string line : rec.lines) {
        for (const auto &[from, to] : call.aliases)
            for (std::size_t at; (at = line.find(from)) != std::string::npos;)
                line.replace(at, from.size(), to);
        lines.push_back(line);
    }
    lines.push_back("---");
    if (!result.empty())
        lines.push_back("result| " + result);
    add(lines, variables());
    std::size_t used = call.buf.size();
    while (used > 0 && call.buf[used - 1] == 0x5a)
        --used;
    add(lines, hex_lines("buf", call.buf.data(), used));
    for (const auto &[name, content] : files_in(dir)) {
        if (given.contains(name) && given.at(name) == content)
            continue;
        struct stat st {};
        stat((dir / name).c_str(), &st);
        char what[64];
        std::snprintf(what, sizeof what, " (mode %04o, %zu bytes)", st.st_mode & 07777,
                      content.size());
        lines.push_back("file| " + name + what);
        add(lines, hex_lines("file", reinterpret_cast<const unsigned char *>(content.data()),
                             content.size()));
    }
    // What each descriptor the call left open is open on: a file of its
    // directory by name, anything else by kind ("socket", "pipe", ...).
    std::string left;
    for (const std::string &fd : open_descriptors()) {
        std::error_code ec;
        const std::string to = fs::read_symlink("/proc/self/fd/" + fd, ec).string();
        if (!fds_before.contains(fd) && fd != std::to_string(rec.log_fd))
            left += " " + (to.starts_with(dir.string() + "/") ? to.substr(dir.string().size() + 1)
                                                              : to.substr(0, to.find(':')));
    }
    lines.push_back("fds| left open:" + (left.empty() ? std::string(" none") : left));
    add(lines, call.notes);
    // Text never ends in a blank (shown() escapes it): a blank at the end is
    // a label's before an empty line, and goes.
    for (std::string &line : lines)
        if (line.ends_with(' '))
            line.pop_back();
    if (rec.log_fd >= 0)
        close(rec.log_fd);
    close_I2C_device(call.fd);
    return lines;
}

}  // namespace

void check(const std::string &family, const Row &row)
{
    check_file(family, row.name, session(family, row));
}

}  // namespace golden
