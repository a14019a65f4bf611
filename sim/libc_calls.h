// libc_calls.h - the C library's own entry points behind the interposer.
//
// Inside libbbusim.so (and in a test program that links the interposer) the
// names open, close, write, ... resolve to the interposer itself. The
// simulator's own file work (world file, transcript, mapped paths) must reach
// the C library directly, so it goes through these pointers, resolved once
// with dlsym(RTLD_NEXT).
#ifndef BBUSIM_LIBC_CALLS_H
#define BBUSIM_LIBC_CALLS_H

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <ctime>

struct timeval;

namespace bbusim {

struct LibcCalls {
    int (*open)(const char *, int, ...);
    int (*openat)(int, const char *, int, ...);
    int (*close)(int);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*write)(int, const void *, size_t);
    int (*ioctl)(int, unsigned long, ...);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    int (*fcntl)(int, int, ...);
    std::FILE *(*fopen)(const char *, const char *);
    std::FILE *(*fopen64)(const char *, const char *);
    unsigned (*sleep)(unsigned);
    int (*usleep)(useconds_t);
    int (*nanosleep)(const struct timespec *, struct timespec *);
    int (*clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
    int (*gettimeofday)(struct timeval *, void *);
    time_t (*time)(time_t *);
    int (*clock_gettime)(clockid_t, struct timespec *);
    int (*connect)(int, const struct sockaddr *, socklen_t);
    int (*bind)(int, const struct sockaddr *, socklen_t);
    int (*unlink)(const char *);
    int (*access)(const char *, int);
    int (*stat)(const char *, struct stat *);
    int (*stat64)(const char *, struct stat64 *);
    int (*lstat)(const char *, struct stat *);
    int (*lstat64)(const char *, struct stat64 *);
    int (*fstatat)(int, const char *, struct stat *, int);
    int (*fstatat64)(int, const char *, struct stat64 *, int);
    int (*statx)(int, const char *, int, unsigned, struct statx *);
    int (*chmod)(const char *, mode_t);
    int (*fchmodat)(int, const char *, mode_t, int);
    int (*chown)(const char *, uid_t, gid_t);
    int (*lchown)(const char *, uid_t, gid_t);
    int (*fchownat)(int, const char *, uid_t, gid_t, int);
};

// Resolved on first use; never null afterwards (a missing symbol aborts).
const LibcCalls &libc();

}  // namespace bbusim

#endif  // BBUSIM_LIBC_CALLS_H
