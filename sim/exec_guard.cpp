// exec_guard.cpp - the exec family of a preloaded library: the program
// checked, the environment given back what the library needs, then the next
// definition (exec_guard.h).
#include "exec_guard.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <paths.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bbusim {
namespace {

using ExecveFn = int (*)(const char *, char *const[], char *const[]);
using FexecveFn = int (*)(int, char *const[], char *const[]);
using ExecveatFn = int (*)(int, const char *, char *const[], char *const[], int);
using SpawnFn = int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *,
                        const posix_spawnattr_t *, char *const[], char *const[]);

// The next definition of each function taken here.
struct NextExec {
    ExecveFn execve;
    ExecveFn execvpe;
    FexecveFn fexecve;
    ExecveatFn execveat;
    SpawnFn posix_spawn;
    SpawnFn posix_spawnp;
    int (*system)(const char *);
    std::FILE *(*popen)(const char *, const char *);
};

NextExec g_next{};
std::atomic<bool> g_ready{false};

// This library's file, as the loader opened it.
char g_library[PATH_MAX];

// Copies of what this process got (a program may rewrite its environment
// strings in place): the value of LD_PRELOAD, and "NAME=value" of each of the
// library's variables.
const char *g_preload = nullptr;
constexpr std::size_t kMaxVariables = 8;
const char *g_variables[kMaxVariables] = {};
std::size_t g_variable_count = 0;

constexpr char kPreloadName[] = "LD_PRELOAD=";
constexpr std::size_t kPreloadNameLen = sizeof kPreloadName - 1;

template <typename Fn>
void resolve(Fn &slot, const char *name)
{
    slot = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// "NAME=value" of the variable `name` in a string of its own; null without one.
const char *entry_copy(const char *name)
{
    const char *value = getenv(name);
    if (value == nullptr)
        return nullptr;
    const std::size_t size = std::strlen(name) + std::strlen(value) + 2;
    auto *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr)
        std::snprintf(copy, size, "%s=%s", name, value);
    return copy;
}

void prepare()
{
    NextExec n{};
    resolve(n.execve, "execve");
    resolve(n.execvpe, "execvpe");
    resolve(n.fexecve, "fexecve");
    resolve(n.execveat, "execveat");
    resolve(n.posix_spawn, "posix_spawn");
    resolve(n.posix_spawnp, "posix_spawnp");
    resolve(n.system, "system");
    resolve(n.popen, "popen");
    g_next = n;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&exec_guard_prepare), &info) != 0 &&
        info.dli_fname != nullptr && std::strlen(info.dli_fname) < sizeof g_library)
        std::snprintf(g_library, sizeof g_library, "%s", info.dli_fname);
    if (const char *preload = entry_copy("LD_PRELOAD"))
        g_preload = preload + kPreloadNameLen;
    if (const ExecGuardConfig *config = exec_guard_config())
        for (const char *const *v = config->variables;
             *v != nullptr && g_variable_count < kMaxVariables; ++v)
            if (const char *entry = entry_copy(*v))
                g_variables[g_variable_count++] = entry;
    g_ready.store(true, std::memory_order_release);
}

const NextExec &next()
{
    if (!g_ready.load(std::memory_order_acquire))
        prepare();  // an exec from another library's constructor, before ours ran
    return g_next;
}

// Pages mapped for what must not crowd a small stack, without the heap.
class Pages {
public:
    Pages() = default;
    ~Pages()
    {
        if (p_ != nullptr) {
            const int saved = errno;
            munmap(p_, size_);
            errno = saved;
        }
    }
    Pages(const Pages &) = delete;
    Pages &operator=(const Pages &) = delete;
    // Zeroed pages of `bytes`, or null (errno ENOMEM).
    void *map(std::size_t bytes)
    {
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            errno = ENOMEM;
            return nullptr;
        }
        size_ = bytes;
        return p_ = p;
    }
    // The pages outlive this object: they become the process's environment.
    void keep()
    {
        p_ = nullptr;
    }

private:
    void *p_ = nullptr;
    std::size_t size_ = 0;
};

// Whether a program may run: true when it may (or the library has no say in
// this process); false with errno set when it cannot be checked. A refused
// program ends this process here, as the program's failure would.
bool admit(const char *path, bool search)
{
    next();  // what the environment is given back is read when the library loads
    const ExecGuardConfig *config = exec_guard_config();
    if (config == nullptr)
        return true;
    Pages pages;
    auto *check = static_cast<PreloadCheck *>(pages.map(sizeof(PreloadCheck)));
    if (check == nullptr)
        return false;
    const char *library = g_library[0] != '\0' ? g_library : nullptr;
    if (preload_admitted(path, search, config->who, library, *check))
        return true;
    for (std::size_t at = 0, len = std::strlen(check->message); at < len;) {
        const long n = syscall(SYS_write, STDERR_FILENO, check->message + at, len - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    _exit(kNotPreloadable);
}

// The entry of `envp` that starts with `prefix` ("NAME="), or null.
const char *find_entry(char *const *envp, const char *prefix, std::size_t len)
{
    for (; envp != nullptr && *envp != nullptr; ++envp)
        if (std::strncmp(*envp, prefix, len) == 0)
            return *envp;
    return nullptr;
}

bool absent(char *const *envp, const char *entry)
{
    const auto len = static_cast<std::size_t>(std::strchr(entry, '=') - entry) + 1;
    return find_entry(envp, entry, len) == nullptr;
}

// Whether an LD_PRELOAD value loads this library: it is the value this
// process got, or names the library's file among its words.
bool loads_library(const char *value)
{
    if (std::strcmp(value, g_preload) == 0)
        return true;
    const std::size_t len = std::strlen(g_library);
    for (const char *at = value; len > 0 && *at != '\0';) {
        const std::size_t word = std::strcspn(at, ": ");
        if (word == len && std::strncmp(at, g_library, len) == 0)
            return true;
        at += word + (at[word] != '\0' ? 1 : 0);
    }
    return false;
}

// The environment an exec hands over: the caller's, or a copy with the
// library's entries put back. (In the child of a vfork, a copy that a
// successful exec took along stays mapped in the parent: a page per exec.)
class Environment {
public:
    explicit Environment(char *const *envp);
    Environment(const Environment &) = delete;
    Environment &operator=(const Environment &) = delete;

    // False (errno ENOMEM) when a copy was needed and could not be made.
    bool ok() const
    {
        return !failed_;
    }
    char *const *get() const
    {
        return envp_;
    }
    // A copy, kept for good: null when the caller's environment needed none.
    char **keep()
    {
        pages_.keep();
        return copy_;
    }

private:
    char *const *envp_;
    char **copy_ = nullptr;
    bool failed_ = false;
    Pages pages_;
};

// The caller's entries in order, LD_PRELOAD replaced by the value this
// process got followed by the caller's own (or added), then the variables
// that are missing.
Environment::Environment(char *const *envp) : envp_(envp)
{
    if (exec_guard_config() == nullptr)
        return;
    const char *preload = find_entry(envp, kPreloadName, kPreloadNameLen);
    const bool fix_preload =
        g_preload != nullptr && (preload == nullptr || !loads_library(preload + kPreloadNameLen));
    std::size_t n = 0, missing = 0;
    while (envp != nullptr && envp[n] != nullptr)
        ++n;
    for (std::size_t i = 0; i < g_variable_count; ++i)
        missing += absent(envp, g_variables[i]) ? 1 : 0;
    if (!fix_preload && missing == 0)
        return;
    const std::size_t entries = n + missing + 2;
    const std::size_t joined_len = kPreloadNameLen +
                                   std::strlen(g_preload != nullptr ? g_preload : "") +
                                   (preload != nullptr ? std::strlen(preload) : 0) + 2;
    copy_ = static_cast<char **>(pages_.map(entries * sizeof(char *) + joined_len));
    envp_ = copy_;
    failed_ = copy_ == nullptr;
    if (failed_)
        return;
    char *joined = reinterpret_cast<char *>(copy_ + entries);
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (!fix_preload || envp[i] != preload)
            copy_[k++] = envp[i];
    if (fix_preload) {
        // "LD_PRELOAD=" this process's value, then ":" and the caller's own.
        const char *theirs = preload != nullptr ? preload + kPreloadNameLen : "";
        std::snprintf(joined, joined_len, "%s%s%s%s", kPreloadName, g_preload,
                      *theirs != '\0' ? ":" : "", theirs);
        copy_[k++] = joined;
    }
    for (std::size_t i = 0; i < g_variable_count; ++i)
        if (absent(envp, g_variables[i]))
            copy_[k++] = const_cast<char *>(g_variables[i]);
    copy_[k] = nullptr;
}

// The C library declares the exec functions' paths never null, and the
// compiler drops checks of them; a program may pass null all the same.
const char *may_be_null(const char *p)
{
    const char *volatile copy = p;
    return copy;
}

// exec with the program checked and the environment put right; search: as
// execvp looks the program up in PATH.
int checked_exec(const char *path, char *const argv[], char *const envp[], bool search)
{
    if (!admit(may_be_null(path), search))
        return -1;
    const Environment env(envp);
    ExecveFn fn = search ? next().execvpe : next().execve;
    if (!env.ok() || fn == nullptr) {
        errno = !env.ok() ? ENOMEM : ENOSYS;
        return -1;
    }
    return fn(path, argv, env.get());
}

int checked_spawn(bool search, pid_t *pid, const char *path, const posix_spawn_file_actions_t *fa,
                  const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    if (!admit(may_be_null(path), search))
        return errno;
    const Environment env(envp);
    SpawnFn fn = search ? next().posix_spawnp : next().posix_spawn;
    if (!env.ok() || fn == nullptr)
        return !env.ok() ? ENOMEM : ENOSYS;
    return fn(pid, path, fa, attr, argv, env.get());
}

// system and popen run the shell with this process's environment: what the
// library needs is put back into it for good.
bool shell_admitted()
{
    if (!admit(_PATH_BSHELL, false))
        return false;
    Environment env(environ);
    if (!env.ok())
        return false;
    if (char **copy = env.keep())
        environ = copy;
    return true;
}

// The arguments of execl, execle and execlp as a vector, in pages mapped for
// it; `ap` is left after the null that ends them.
class ArgList {
public:
    ArgList(const char *first, va_list &ap)
    {
        std::size_t n = 1;
        va_list count;
        va_copy(count, ap);
        for (const char *a = first; a != nullptr; a = va_arg(count, const char *))
            ++n;
        va_end(count);
        argv_ = static_cast<char **>(pages_.map(n * sizeof(char *)));
        std::size_t i = 0;
        for (const char *a = first; a != nullptr; a = va_arg(ap, const char *))
            if (argv_ != nullptr)
                argv_[i++] = const_cast<char *>(a);
    }
    char *const *get() const
    {
        return argv_;
    }

private:
    Pages pages_;
    char **argv_ = nullptr;
};

// The path that names the file an exec of a descriptor runs.
struct FdPath {
    explicit FdPath(int fd)
    {
        std::snprintf(text, sizeof text, "/proc/self/fd/%d", fd);
    }
    char text[32];
};

}  // namespace

void exec_guard_prepare()
{
    prepare();
}

}  // namespace bbusim

extern "C" {

int execve(const char *path, char *const argv[], char *const envp[])
{
    return bbusim::checked_exec(path, argv, envp, false);
}

int execv(const char *path, char *const argv[])
{
    return bbusim::checked_exec(path, argv, environ, false);
}

int execvpe(const char *file, char *const argv[], char *const envp[])
{
    return bbusim::checked_exec(file, argv, envp, true);
}

int execvp(const char *file, char *const argv[])
{
    return bbusim::checked_exec(file, argv, environ, true);
}

int execl(const char *path, const char *arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const bbusim::ArgList args(arg, ap);
    va_end(ap);
    return args.get() != nullptr ? bbusim::checked_exec(path, args.get(), environ, false) : -1;
}

int execlp(const char *file, const char *arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const bbusim::ArgList args(arg, ap);
    va_end(ap);
    return args.get() != nullptr ? bbusim::checked_exec(file, args.get(), environ, true) : -1;
}

int execle(const char *path, const char *arg, ...)
{
    va_list ap;
    va_start(ap, arg);
    const bbusim::ArgList args(arg, ap);
    char *const *envp = va_arg(ap, char *const *);
    va_end(ap);
    return args.get() != nullptr ? bbusim::checked_exec(path, args.get(), envp, false) : -1;
}

int fexecve(int fd, char *const argv[], char *const envp[])
{
    if (!bbusim::admit(bbusim::FdPath(fd).text, false))
        return -1;
    const bbusim::Environment env(envp);
    if (!env.ok() || bbusim::next().fexecve == nullptr)
        return -1;
    return bbusim::next().fexecve(fd, argv, env.get());
}

// The file is named by the directory's descriptor and the path, as openat
// names it; an empty path with AT_EMPTY_PATH is the descriptor's own file.
int execveat(int dirfd, const char *given, char *const argv[], char *const envp[], int flags)
{
    const char *path = bbusim::may_be_null(given);
    bbusim::Pages pages;
    auto *named = static_cast<char *>(pages.map(PATH_MAX + 32));
    if (named == nullptr)
        return -1;
    const bool own = path != nullptr && *path == '\0' && (flags & AT_EMPTY_PATH) != 0;
    if (path == nullptr || *path == '/' || (dirfd == AT_FDCWD && !own))
        std::snprintf(named, PATH_MAX + 32, "%s", path != nullptr ? path : "");
    else
        std::snprintf(named, PATH_MAX + 32, "/proc/self/fd/%d%s%s", dirfd, own ? "" : "/", path);
    if (!bbusim::admit(named, false))
        return -1;
    const bbusim::Environment env(envp);
    if (!env.ok() || bbusim::next().execveat == nullptr)
        return -1;
    return bbusim::next().execveat(dirfd, given, argv, env.get(), flags);
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    return bbusim::checked_spawn(false, pid, path, actions, attr, argv, envp);
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
    return bbusim::checked_spawn(true, pid, file, actions, attr, argv, envp);
}

int system(const char *command)
{
    if (command != nullptr && !bbusim::shell_admitted())
        return -1;
    return bbusim::next().system(command);
}

std::FILE *popen(const char *command, const char *mode)
{
    if (!bbusim::shell_admitted())
        return nullptr;
    return bbusim::next().popen(command, mode);
}

}  // extern "C"
