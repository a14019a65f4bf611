// The trace log: one timestamped line appended per call, the file opened and
// closed every time so that nothing is held open between operations.
#include <bbu/i2c.h>

#include "i2c_internal.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>

#include <sys/time.h>

namespace {

// Process-wide buffers kept between calls, as the trace facility has always had
// them: the time text, the formatted message (512 characters and the
// terminator) and the time of day.
char time_text[30];
char message[513];
struct timeval time_of_day;

// Set while a checked operation runs (i2c_internal::QuietTrace).
bool quiet = false;

struct FileCloser {
    void operator()(std::FILE *f) const
    {
        std::fclose(f);
    }
};

}  // namespace

i2c_internal::QuietTrace::QuietTrace(bool quiet_now) : was_(quiet)
{
    quiet = quiet_now;
}

i2c_internal::QuietTrace::~QuietTrace()
{
    quiet = was_;
}

extern "C" void LogTrace(const char *szTemplate, ...)
{
    std::unique_ptr<std::FILE, FileCloser> log{std::fopen(BBU_TRACE_LOG_PATH, "a+")};
    if (!log) {
        if (!quiet)
            std::fprintf(stderr, "Can't open Log File - %s\n", BBU_TRACE_LOG_PATH);
        return;
    }

    gettimeofday(&time_of_day, nullptr);
    time_t seconds = time_of_day.tv_sec;
    std::strftime(time_text, sizeof time_text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));

    // A longer message is cut at 512 characters; no caller produces one.
    va_list args;
    va_start(args, szTemplate);
    std::vsnprintf(message, sizeof message, szTemplate, args);
    va_end(args);

    std::fprintf(log.get(), "%s.%d %s\n", time_text, static_cast<int>(time_of_day.tv_usec),
                 message);
}
