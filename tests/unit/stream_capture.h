// Capture of standard output and standard error into a file below the build
// tree's scratch directory. GoogleTest's own capture always writes to /tmp,
// which the tests must never touch; these take its place with the same names.
#ifndef BBU_TESTS_STREAM_CAPTURE_H
#define BBU_TESTS_STREAM_CAPTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include <unistd.h>

namespace bbutest {

// Redirects one descriptor into a scratch file until finish() restores it and
// returns what was written.
class CapturedDescriptor {
public:
    explicit CapturedDescriptor(int fd)
        : fd_(fd), path_(std::string(BBU_TEST_SCRATCH) + "/captured.XXXXXX")
    {
        std::fflush(nullptr);
        int file = mkstemp(path_.data());
        if (file < 0) {
            ADD_FAILURE() << "cannot create " << path_;
            return;
        }
        saved_ = dup(fd_);
        dup2(file, fd_);
        close(file);
    }

    std::string finish()
    {
        std::fflush(nullptr);
        if (saved_ < 0)
            return "";
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        unlink(path_.c_str());
        return text.str();
    }

    ~CapturedDescriptor()
    {
        finish();
    }

    CapturedDescriptor(const CapturedDescriptor &) = delete;
    CapturedDescriptor &operator=(const CapturedDescriptor &) = delete;

private:
    int fd_;
    int saved_ = -1;
    std::string path_;
};

inline std::unique_ptr<CapturedDescriptor> &capture_of(int fd)
{
    static std::unique_ptr<CapturedDescriptor> captures[3];
    return captures[fd];
}

inline std::string finish_capture(int fd)
{
    auto &capture = capture_of(fd);
    std::string text = capture ? capture->finish() : "";
    capture.reset();
    return text;
}

inline void CaptureStdout()
{
    capture_of(STDOUT_FILENO) = std::make_unique<CapturedDescriptor>(STDOUT_FILENO);
}
inline void CaptureStderr()
{
    capture_of(STDERR_FILENO) = std::make_unique<CapturedDescriptor>(STDERR_FILENO);
}
inline std::string GetCapturedStdout()
{
    return finish_capture(STDOUT_FILENO);
}
inline std::string GetCapturedStderr()
{
    return finish_capture(STDERR_FILENO);
}

}  // namespace bbutest

#endif
