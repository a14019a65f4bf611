// Golden sessions: one library call in a fresh simulated world, written down
// whole, in the order things happened (every transfer and pause with its
// virtual time, standard output, standard error, the trace log without its
// wall-clock stamps), then the result, the library's process-wide variables,
// the caller's buffer, the files and the descriptors the call left; and
// compared with a reviewed file under tests/data/golden/FAMILY/ROW.txt.
//
// A difference fails the row with the first differing lines and the golden
// file's path. BBU_GOLDEN_UPDATE=1 rewrites the golden files instead; read
// each rewritten file against the documents before committing it.
#ifndef BBU_TESTS_SUPPORT_GOLDEN_H
#define BBU_TESTS_SUPPORT_GOLDEN_H

#include <bbu/bbu.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <functional>
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "golden_file.h"

namespace golden {

// What a row's call works with. The call runs in a directory of its own, so
// the files it names are relative to it.
struct Call {
    int fd = -1;  // the adapter "/dev/i2c-0b", open
    // The caller's buffer: 0x5a in every byte before the call; the bytes up
    // to the last one that differs from that afterwards are shown.
    alignas(8) std::array<unsigned char, 2048> buf{};
    int next_fd = -1;                // the lowest free descriptor just before the call
    std::vector<std::string> notes;  // more "label| text" lines for after the call
    std::vector<std::pair<std::string, std::string>>
        aliases;  // text in the streams made reproducible
};

struct Row {
    const char *name;
    std::string scenario;  // bbusim scenario text
    std::string call_text;
    std::function<std::string(Call &)> call;  // the result as text; "" for a void function
    std::vector<std::pair<std::string, std::string>> files = {};  // written in the call's directory
    std::function<void(Call &)> before = nullptr,
                                after = nullptr;  // the row's own set-up and findings
};

// A row is named by its name in test output.
inline void PrintTo(const Row &row, std::ostream *os)
{
    *os << row.name;
}

// While it lives, descriptor 0 is free, as in a program started with its
// standard input closed; it notes whether the call left 0 open.
struct StdinClosed {
    Call &call;
    int saved;
    explicit StdinClosed(Call &c) : call(c), saved(fcntl(0, F_DUPFD_CLOEXEC, 10))
    {
        close(0);
    }
    ~StdinClosed()
    {
        call.notes.emplace_back(fcntl(0, F_GETFD) < 0 ? "fd0| free" : "fd0| left open");
        dup2(saved, 0);
        close(saved);
    }
    StdinClosed(const StdinClosed &) = delete;
    StdinClosed &operator=(const StdinClosed &) = delete;
};

// Runs `row` and compares its session with the family's golden file.
void check(const std::string &family, const Row &row);

template <typename F>
std::string result_text(F f)
{
    if constexpr (std::is_void_v<decltype(f())>) {
        f();
        return "";
    } else {
        return std::to_string(f());
    }
}

}  // namespace golden

// The call's text and the call itself; `fd` names the adapter, and `buf`,
// `cbuf` and `sar` the caller's buffer as bytes, characters and status buffer.
#define GOLDEN_CALL(...)                                                                           \
#__VA_ARGS__, [](golden::Call & call) {                                                        \
        [[maybe_unused]] const int fd = call.fd;                                                   \
        [[maybe_unused]] unsigned char *const buf = call.buf.data();                               \
        [[maybe_unused]] char *const cbuf = reinterpret_cast<char *>(buf);                         \
        [[maybe_unused]] sarbuf_t *const sar = reinterpret_cast<sarbuf_t *>(buf);                  \
        return golden::result_text([&] { return __VA_ARGS__; });                                   \
    }

// One parameterized test per family: a case per row, and the stray-file check.
#define GOLDEN_TABLE(family, rows)                                                                 \
    class family : public ::testing::TestWithParam<golden::Row> {};                                \
    TEST_P(family, Session)                                                                        \
    {                                                                                              \
        golden::check(#family, GetParam());                                                        \
    }                                                                                              \
    INSTANTIATE_TEST_SUITE_P(golden, family, ::testing::ValuesIn(rows),                            \
                             [](const auto &info) { return std::string(info.param.name); });       \
    TEST(family##_files, EachGoldenFileHasARow)                                                    \
    {                                                                                              \
        std::vector<std::string> names;                                                            \
        for (const golden::Row &row : rows)                                                        \
            names.push_back(row.name);                                                             \
        golden::check_no_stray_files(#family, names);                                              \
    }

#endif  // BBU_TESTS_SUPPORT_GOLDEN_H
