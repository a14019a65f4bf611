#include "golden.h"

#include <bbu/bbu.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "bbusim.h"
#include "bytes.h"

namespace golden {
namespace {

namespace fs = std::filesystem;

// Text as one golden line: bytes outside printable ASCII, and the backslash,
// as \xNN; a blank that ends the line as \x20, so that it cannot get lost.
std::string shown(const std::string &text)
{
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, ch) : esc;
    }
    if (!out.empty() && out.back() == ' ')
        out.replace(out.size() - 1, 1, "\\x20");
    return out;
}

// A trace log line starts "YYYY-MM-DD HH:MM:SS.micros ": the length of that
// stamp, or 0 when the line is the continuation of a message with newlines.
std::size_t stamp_length(const std::string &line)
{
    const char *form = "dddd-dd-dd dd:dd:dd.";
    std::size_t i = 0;
    for (; form[i] != '\0'; ++i)
        if (i >= line.size() || (form[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                                                : line[i] != form[i]))
            return 0;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i])))
        ++i;
    return i < line.size() && line[i] == ' ' ? i + 1 : 0;
}

// The session as it happens: bus events from the simulator's observer,
// stream writes from the cookie streams, trace log lines read whenever
// either comes (LogTrace closes the file after every line). A stream line
// takes its place when its newline is written.
struct Recorder {
    std::vector<std::string> lines;
    std::string pending[2];  // standard output, standard error: the line not yet ended
    int log_fd = -1;
    off_t log_read = 0;
    std::string log_pending;

    void drain_log()
    {
        char chunk[4096];
        for (ssize_t n; log_fd >= 0 && (n = pread(log_fd, chunk, sizeof chunk, log_read)) > 0;) {
            log_read += n;
            log_pending.append(chunk, static_cast<std::size_t>(n));
        }
        for (std::size_t end; (end = log_pending.find('\n')) != std::string::npos;) {
            const std::string line = log_pending.substr(0, end);
            log_pending.erase(0, end + 1);
            const std::size_t stamp = stamp_length(line);
            lines.push_back((stamp > 0 ? "log| " : "log+ ") + shown(line.substr(stamp)));
        }
    }
    void bus(std::string_view event)
    {
        drain_log();
        lines.push_back("bus| " + std::string(event));
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
        if (!log_pending.empty())
            lines.push_back("log| " + shown(log_pending) + "  (no end of line)");
        for (int s = 0; s < 2; ++s)
            if (!pending[s].empty())
                lines.push_back((s == 0 ? "out| " : "err| ") + shown(pending[s]) +
                                "  (no end of line)");
    }
};

Recorder *g_recorder = nullptr;

void on_event(std::string_view line, void *)
{
    if (g_recorder != nullptr)
        g_recorder->bus(line);
}

template <int Stream>
ssize_t cookie_write(void *, const char *data, size_t n)
{
    g_recorder->write(Stream, data, n);
    return static_cast<ssize_t>(n);
}

// While it lives, stdout and stderr are unbuffered streams that write into
// the recorder, and descriptors 1 and 2 go to memory files (for anything
// written past stdio).
class Streams {
public:
    explicit Streams(Recorder &r)
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
        bbusim::observe_transcript(on_event, nullptr);
    }
    ~Streams()
    {
        bbusim::observe_transcript(nullptr, nullptr);
        std::fclose(stdout);
        std::fclose(stderr);
        stdout = saved_[0];
        stderr = saved_[1];
        for (int i = 0; i < 2; ++i) {
            dup2(saved_fd_[i], i + 1);
            close(saved_fd_[i]);
        }
        g_recorder = nullptr;
    }
    Streams(const Streams &) = delete;
    Streams &operator=(const Streams &) = delete;

    // What went to descriptors 1 and 2 directly.
    std::string raw(int i) const
    {
        std::string text(static_cast<std::size_t>(lseek(mem_[i], 0, SEEK_END)), '\0');
        if (pread(mem_[i], text.data(), text.size(), 0) < 0)
            text.clear();
        close(mem_[i]);
        return text;
    }

private:
    std::array<FILE *, 2> saved_{};
    std::array<int, 2> saved_fd_{}, mem_{};
};

std::string variables()
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
    return std::string(line) + "\nvars| global_GSS=" +
           (used == 0 ? "all zero" : bbutest::hex(global_GSS, used));
}

std::set<std::string> open_descriptors()
{
    std::set<std::string> fds;
    for (const auto &e : fs::directory_iterator("/proc/self/fd"))
        fds.insert(e.path().filename().string());
    return fds;
}

// What a descriptor is open on, in words that do not change from run to run.
std::string descriptor_kind(const std::string &fd, const fs::path &dir)
{
    std::error_code ec;
    const std::string target = fs::read_symlink("/proc/self/fd/" + fd, ec).string();
    if (target.starts_with(dir.string() + "/"))
        return target.substr(dir.string().size() + 1);
    return target.substr(0, target.find(':'));
}

std::map<std::string, std::string> files_in(const fs::path &dir)
{
    std::map<std::string, std::string> out;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            out[e.path().filename().string()] = bbutest::read_file(e.path().string());
    return out;
}

// The session of one row, from its set-up to what the call left.
std::vector<std::string> session(const std::string &family, const Row &row)
{
    std::vector<std::string> head = {"call| " + row.call_text};
    for (const std::string &line : bbutest::lines(row.scenario))
        head.push_back("scenario| " + line);

    const fs::path root = fs::path(BBU_TEST_SCRATCH) / "golden" / family / row.name;
    const fs::path dir = root / "cwd";
    bbusim::reset(root.string());
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string refused = bbusim::apply(row.scenario);
    EXPECT_EQ(refused, "") << row.scenario;
    for (const auto &[name, content] : row.files) {
        std::ofstream(dir / name, std::ios::binary) << content;
        const auto *p = reinterpret_cast<const unsigned char *>(content.data());
        head.push_back("file| " + name + " (" + std::to_string(content.size()) +
                       " bytes): " + bbutest::hex(p, std::min<std::size_t>(content.size(), 24)) +
                       (content.size() > 24 ? " ..." : ""));
    }
    const auto given = files_in(dir);

    Call call;
    call.buf.fill(0x5a);
    checksumError = TFB_delay = TFB_delaytime = 0;
    byte12_beforeTFB = byte13_beforeTFB = byte12_afterTFB = byte13_afterTFB = 0;
    std::memset(global_GSS, 0, sizeof global_GSS);
    call.fd = open_I2C_device(0);
    if (row.before)
        row.before(call);
    for (const std::string &line : bbutest::lines(variables()))
        head.push_back(line);
    head.push_back("---");

    Recorder rec;
    const std::string log = bbusim::mapped_path("/opt/Logs/bbu/logs/BBU.log");
    if (fs::exists(fs::path(log).parent_path()))
        rec.log_fd = ::open(log.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    const auto fds_before = open_descriptors();
    const fs::path cwd = fs::current_path();
    fs::current_path(dir);
    const mode_t mask = umask(022);
    std::string result, raw[2];
    {
        Streams streams(rec);
        call.next_fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
        close(call.next_fd);
        result = row.call(call);
        std::fflush(nullptr);
        rec.finish();
        raw[0] = streams.raw(0);
        raw[1] = streams.raw(1);
    }
    umask(mask);
    fs::current_path(cwd);
    if (row.after)
        row.after(call);

    std::vector<std::string> lines = head;
    for (std::string line : rec.lines) {
        for (const auto &[from, to] : call.aliases)
            for (std::size_t at; (at = line.find(from)) != std::string::npos;)
                line.replace(at, from.size(), to);
        lines.push_back(line);
    }
    for (int i = 0; i < 2; ++i)
        for (const std::string &line : bbutest::lines(raw[i]))
            lines.push_back("fd" + std::to_string(i + 1) + "| " + shown(line));
    lines.push_back("---");
    if (!result.empty())
        lines.push_back("result| " + result);
    for (const std::string &line : bbutest::lines(variables()))
        lines.push_back(line);
    std::size_t used = call.buf.size();
    while (used > 0 && call.buf[used - 1] == 0x5a)
        --used;
    for (const std::string &line : hex_lines("buf", call.buf.data(), used))
        lines.push_back(line);
    for (const auto &[name, content] : files_in(dir)) {
        if (given.contains(name) && given.at(name) == content)
            continue;
        struct stat st {};
        stat((dir / name).c_str(), &st);
        char what[64];
        std::snprintf(what, sizeof what, " (mode %04o, %zu bytes)", st.st_mode & 07777,
                      content.size());
        lines.push_back("file| " + name + what);
        for (const std::string &line : hex_lines(
                 "file", reinterpret_cast<const unsigned char *>(content.data()), content.size()))
            lines.push_back(line);
    }
    std::string left;
    for (const std::string &fd : open_descriptors())
        if (!fds_before.contains(fd) && fd != std::to_string(rec.log_fd))
            left += " " + descriptor_kind(fd, dir);
    lines.push_back("fds| left open:" + (left.empty() ? std::string(" none") : left));
    lines.insert(lines.end(), call.notes.begin(), call.notes.end());
    if (rec.log_fd >= 0)
        close(rec.log_fd);
    close_I2C_device(call.fd);
    return lines;
}

std::string golden_path(const std::string &family, const std::string &name)
{
    return std::string(BBU_TEST_DATA) + "/golden/" + family + "/" + name + ".txt";
}

bool updating()
{
    const char *v = std::getenv("BBU_GOLDEN_UPDATE");
    return v != nullptr && std::string(v) == "1";
}

}  // namespace

std::vector<std::string> hex_lines(const std::string &label, const unsigned char *p, std::size_t n)
{
    std::vector<std::string> out;
    for (std::size_t at = 0; at < n; at += 32) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%04zx: ", at);
        out.push_back(label + "|   " + offset +
                      bbutest::hex(p + at, std::min<std::size_t>(32, n - at)));
    }
    return out;
}

void check(const std::string &family, const Row &row)
{
    const std::vector<std::string> actual = session(family, row);
    const std::string path = golden_path(family, row.name);
    if (updating()) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream file(path, std::ios::trunc);
        for (const std::string &line : actual)
            file << line << '\n';
        return;
    }
    if (!fs::exists(path)) {
        ADD_FAILURE() << "no golden file " << path
                      << "; BBU_GOLDEN_UPDATE=1 writes it: read it against the documents";
        return;
    }
    const std::vector<std::string> expected = bbutest::lines(bbutest::read_file(path));
    std::size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        ++i;
    if (i == expected.size() && i == actual.size())
        return;
    std::ostringstream msg;
    msg << "the session differs from " << path << " at line " << i + 1 << ":\n";
    for (std::size_t k = i < 3 ? 0 : i - 3; k < i; ++k)
        msg << "    " << k + 1 << "  " << expected[k] << "\n";
    for (std::size_t k = i; k < std::min(expected.size(), i + 3); ++k)
        msg << "  - " << k + 1 << "  " << expected[k] << "\n";
    if (i >= expected.size())
        msg << "  - (end of the golden file)\n";
    for (std::size_t k = i; k < std::min(actual.size(), i + 3); ++k)
        msg << "  + " << k + 1 << "  " << actual[k] << "\n";
    if (i >= actual.size())
        msg << "  + (end of the session)\n";
    msg << "(- golden, + this run; BBU_GOLDEN_UPDATE=1 rewrites the golden files)";
    ADD_FAILURE() << msg.str();
}

void check_no_stray_files(const std::string &family, const std::vector<std::string> &names)
{
    const fs::path dir = fs::path(BBU_TEST_DATA) / "golden" / family;
    if (!fs::exists(dir))
        return;
    for (const auto &e : fs::directory_iterator(dir)) {
        const std::string stem = e.path().stem().string();
        EXPECT_NE(std::ranges::find(names, stem), names.end())
            << e.path().string() << " belongs to no row of the " << family << " table";
    }
}

}  // namespace golden
