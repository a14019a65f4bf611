// harness.h - what the fuzz targets share: an oracle's verdict, an input
// split into a command line, the streams a program writes while it runs, and
// the scratch file an input is fed through.
#ifndef BBU_FUZZ_HARNESS_H
#define BBU_FUZZ_HARNESS_H

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// An oracle that disagrees: what is wrong and what it saw, written to
// standard error itself (the stream may be a program's memory stream while
// it runs); the abort makes libFuzzer keep the input as a finding.
[[noreturn]] inline void fail(const char *what, const std::string &seen)
{
    dprintf(STDERR_FILENO, "%s:\n%s\n", what, seen.c_str());
    std::abort();
}

inline void expect(bool fine, const char *what, const std::string &seen)
{
    if (!fine)
        fail(what, seen);
}

// The input split at NUL bytes into up to 16 arguments after `program`, as
// the program's main receives them.
class Arguments {
public:
    Arguments(const char *program, const std::uint8_t *data, std::size_t size) : words{program}
    {
        const std::string input(reinterpret_cast<const char *>(data), size);
        for (std::size_t at = 0, end = 0; at <= size && words.size() < 17; at = end + 1) {
            end = std::min(input.find('\0', at), size);
            words.push_back(input.substr(at, end - at));
        }
        for (std::string &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
    }
    Arguments(const Arguments &) = delete;  // argv points into words
    Arguments &operator=(const Arguments &) = delete;
    int argc() const
    {
        return static_cast<int>(words.size());
    }

    std::vector<std::string> words;
    std::vector<char *> argv;
};

// What a program says while `run` runs: standard error's text, and whether
// anything went to standard output. Both streams are memory streams meanwhile,
// so the fuzzer's log stays free of them.
struct Said {
    std::string err;
    bool out = false;
};

template <class Run>
Said said_by(Run run)
{
    char *err = nullptr;
    char *out = nullptr;
    std::size_t errLength = 0;
    std::size_t outLength = 0;
    FILE *const realErr = stderr;
    FILE *const realOut = stdout;
    stderr = open_memstream(&err, &errLength);
    stdout = open_memstream(&out, &outLength);
    run();
    std::fclose(stderr);
    std::fclose(stdout);
    stderr = realErr;
    stdout = realOut;
    Said said{std::string(err, errLength), outLength != 0};
    std::free(err);
    std::free(out);
    return said;
}

// `size` bytes as the file `name` in the working directory, the target's
// scratch directory; never through a link planted there.
inline void write_file(const char *name, const void *data, std::size_t size)
{
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size))
        fail("the scratch directory does not take the file", name);
    ::close(fd);
}

#endif  // BBU_FUZZ_HARNESS_H
