// A file descriptor closed when it goes out of scope, so that every return,
// early ones included, closes the files the library opened.
#ifndef BBU_FILE_GUARD_H
#define BBU_FILE_GUARD_H

#include <unistd.h>

struct FileGuard {
    int fd;
    explicit FileGuard(int opened) : fd(opened) {}
    ~FileGuard()
    {
        if (fd >= 0)
            close(fd);
    }
    FileGuard(const FileGuard &) = delete;
    FileGuard &operator=(const FileGuard &) = delete;
};

#endif  // BBU_FILE_GUARD_H
