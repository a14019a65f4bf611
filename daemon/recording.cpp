// recording.cpp - bbu-i2cd --record: run the daemon again with the recorder
// preloaded, the recording open and handed down.
//
// The recorder (libbbusim-record.so, found like bbusim finds its libraries:
// beside the program, in ../LIBDIR/bbu or ../lib/bbu; BBUSIM_RECORD_LIBRARY names
// another) passes every call on to the adapter and writes down what happened.
// Told by BBUSIM_RECORD_BEGIN that the process records itself, it writes the
// recording's header with the command as it runs now, and the exit line when
// the daemon exits.
#include "recording.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "request.h"

#ifndef BBU_INSTALL_LIBDIR
#define BBU_INSTALL_LIBDIR "lib"
#endif

namespace {

constexpr const char *kRecorder = "libbbusim-record.so";

std::string recorder_library()
{
    if (const char *named = std::getenv("BBUSIM_RECORD_LIBRARY");
        named != nullptr && *named != '\0')
        return named;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return "";
    const std::string path(exe, static_cast<std::size_t>(n));
    const std::string dir = path.substr(0, path.rfind('/'));
    for (const std::string &candidate :
         {dir + "/" + kRecorder, dir + "/../" BBU_INSTALL_LIBDIR "/bbu/" + kRecorder,
          dir + "/../lib/bbu/" + kRecorder})
        if (access(candidate.c_str(), R_OK) == 0)
            return candidate;
    return "";
}

// A sanitizer runtime this daemon runs with must stay first in the process.
int add_sanitizer_runtime(dl_phdr_info *info, std::size_t, void *data)
{
    const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    const std::string base = name.substr(name.rfind('/') + 1);
    for (const char *runtime : {"libasan.so", "libubsan.so", "libtsan.so", "liblsan.so"})
        if (base.rfind(runtime, 0) == 0)
            *static_cast<std::string *>(data) += name + ":";
    return 0;
}

// The recording file, opened to be inherited; -1 after a message.
int open_recording(const char *path)
{
    const int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    // A FIFO without a reader (or a socket) fails with ENXIO, a directory with EISDIR.
    if (fd < 0) {
        daemon_log("cannot record in %s: %s", path,
                   errno == ELOOP                      ? "it is a symbolic link"
                   : errno == ENXIO || errno == EISDIR ? "it is not a regular file"
                                                       : std::strerror(errno));
        return -1;
    }
    struct stat st {};
    const char *refused = nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        refused = "it is not a regular file";
    else if (ftruncate(fd, 0) != 0 || fcntl(fd, F_SETFL, O_APPEND) != 0)
        refused = std::strerror(errno);
    if (refused != nullptr) {
        daemon_log("cannot record in %s: %s", path, refused);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int record_self(char **argv, int first, int end, const char *path)
{
    const std::string recorder = recorder_library();
    if (recorder.empty()) {
        daemon_log("cannot record: %s not found beside the program or in ../" BBU_INSTALL_LIBDIR,
                   kRecorder);
        return 1;
    }
    const int fd = open_recording(path);
    if (fd < 0)
        return 1;
    std::string preload;
    dl_iterate_phdr(add_sanitizer_runtime, &preload);
    preload += recorder;
    if (const char *before = std::getenv("LD_PRELOAD"); before != nullptr && *before != '\0')
        preload += std::string(":") + before;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("BBUSIM_RECORD_FD", std::to_string(fd).c_str(), 1);
    setenv("BBUSIM_RECORD_BEGIN", "1", 1);
    std::vector<char *> args;
    for (int i = 0; argv[i] != nullptr; ++i)
        if (i < first || i >= end)
            args.push_back(argv[i]);
    args.push_back(nullptr);
    daemon_log("recording the adapter's conversation in %s", path);
    execv("/proc/self/exe", args.data());
    daemon_log("cannot run again to record: %s", std::strerror(errno));
    close(fd);
    return 1;
}
