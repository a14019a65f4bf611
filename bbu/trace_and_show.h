// The library's progress and problem lines, the one way its operations reach
// the console: show_line() writes a line to standard output or standard error
// when asked (as a rule when verbose); trace_and_show() writes the same text
// to the trace log always and to the console when asked. A line for the trace
// log alone goes straight to LogTrace().
#ifndef BBU_TRACE_AND_SHOW_H
#define BBU_TRACE_AND_SHOW_H

#include <bbu/i2c.h>

#include <cstdarg>
#include <cstdio>

BBU_PRINTF(3, 4)
inline void show_line(std::FILE *console, bool show, const char *format, ...)
{
    if (!show)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(console, format, args);
    va_end(args);
}

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
