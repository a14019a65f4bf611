// The library's progress and problem lines: each goes to the trace log always
// and, when asked (as a rule when verbose), to standard output or standard
// error with the same text.
#ifndef BBU_TRACE_AND_SHOW_H
#define BBU_TRACE_AND_SHOW_H

#include <bbu/i2c.h>

#include <cstdarg>
#include <cstdio>

BBU_PRINTF(3, 4)
inline void trace_and_show(std::FILE *console, bool show, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    // The console gets the whole line (a file name may be long); the trace
    // log keeps the first 512 characters of it, as it does of every line.
    if (show) {
        va_list whole;
        va_copy(whole, args);
        std::vfprintf(console, format, whole);
        va_end(whole);
    }
    char line[513];
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    LogTrace("%s", line);
}

#endif  // BBU_TRACE_AND_SHOW_H
