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
    char line[513];  // as long as a trace line can be
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (show)
        std::fputs(line, console);
    LogTrace("%s", line);
}

#endif  // BBU_TRACE_AND_SHOW_H
