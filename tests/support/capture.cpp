#include "capture.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

namespace bbutest {

Output capture(const std::function<void()> &call)
{
    const int streams[2] = {STDOUT_FILENO, STDERR_FILENO};
    int saved[2], files[2];
    std::fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
        saved[i] = dup(streams[i]);
        files[i] = memfd_create("captured", MFD_CLOEXEC);
        dup2(files[i], streams[i]);
    }
    call();
    std::fflush(nullptr);
    std::string text[2];
    for (int i = 0; i < 2; ++i) {
        dup2(saved[i], streams[i]);
        close(saved[i]);
        char buf[4096];
        lseek(files[i], 0, SEEK_SET);
        for (ssize_t n; (n = read(files[i], buf, sizeof buf)) > 0;)
            text[i].append(buf, static_cast<std::size_t>(n));
        close(files[i]);
    }
    return {text[0], text[1]};
}

}  // namespace bbutest
