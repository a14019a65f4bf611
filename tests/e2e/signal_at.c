/* Preloaded after the simulator's interposer: the interposer writes each
 * transcript line through the C library's write(), which is this one, so the
 * program sends itself signals at the very bus event a line tells.
 * BBU_SIGNAL_AT="N TEXT": after the Nth line holding TEXT; BBU_SIGNALS: the
 * signal numbers raised there, one after the other ("15" or "15 15"). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

ssize_t write(int fd, const void *bytes, size_t length)
{
    static ssize_t (*next)(int, const void *, size_t);
    static int seen, raised;
    if (next == NULL)
        *(void **)&next = dlsym(RTLD_NEXT, "write");
    const ssize_t rc = next(fd, bytes, length);
    const char *at = getenv("BBU_SIGNAL_AT");
    const char *text = at != NULL ? strchr(at, ' ') : NULL;
    if (raised || text == NULL || memmem(bytes, length, text + 1, strlen(text + 1)) == NULL ||
        ++seen != atoi(at))
        return rc;
    raised = 1;
    char *end = NULL;
    for (const char *p = getenv("BBU_SIGNALS"); p != NULL; p = end) {
        const long number = strtol(p, &end, 10);
        if (end == p)
            break;
        raise((int)number);
    }
    return rc;
}
