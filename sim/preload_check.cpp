// preload_check.cpp - whether a preloaded library loads into the program an
// exec would run: its ELF header and program headers, its mode and file
// capabilities, a script's #! line followed to the interpreter.
//
// Files are opened with the openat system call itself, not through the C
// library's name: inside the interposer or the recorder that name is the
// library's own, which maps or records paths, while an exec reaches the
// machine's file as it is.
#include "preload_check.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace bbusim {
namespace {

#if defined(__x86_64__)
constexpr unsigned kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr unsigned kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr unsigned kMachine = EM_386;
#elif defined(__arm__)
constexpr unsigned kMachine = EM_ARM;
#elif defined(__riscv)
constexpr unsigned kMachine = EM_RISCV;
#elif defined(__powerpc64__)
constexpr unsigned kMachine = EM_PPC64;
#elif defined(__s390x__)
constexpr unsigned kMachine = EM_S390;
#else
#error "the ELF machine number of this architecture is not known"
#endif
constexpr unsigned char kClass = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kData =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// The kernel follows at most this many #! interpreters in one exec.
constexpr int kMaxInterpreters = 5;
// The kernel reads no more program headers than this many bytes of them.
constexpr std::size_t kMaxProgramHeaders = 65536;

enum class Verdict {
    admitted,
    static_program,
    foreign,
    set_uid,
    set_gid,
    capabilities,
    unreadable,
    too_deep,
    library_unreadable,
};

// A descriptor closed with the system call, past any interposed close.
class CheckedFile {
public:
    explicit CheckedFile(const char *path)
        : fd_(static_cast<int>(
              syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)))
    {}
    ~CheckedFile()
    {
        if (fd_ >= 0) {
            const int saved = errno;
            syscall(SYS_close, fd_);
            errno = saved;
        }
    }
    CheckedFile(const CheckedFile &) = delete;
    CheckedFile &operator=(const CheckedFile &) = delete;
    int fd() const
    {
        return fd_;
    }

private:
    int fd_;
};

// The mode of a file by name, or of the descriptor `fd` (path ""); 0 when
// there is none. statx is the one status call of the same layout everywhere.
unsigned file_mode(int fd, const char *path)
{
    struct statx stx {};
    const int flags = *path == '\0' ? AT_EMPTY_PATH : 0;
    return syscall(SYS_statx, fd, path, flags, STATX_TYPE | STATX_MODE, &stx) == 0 ? stx.stx_mode
                                                                                   : 0;
}

// A regular file this process may execute: what exec would try to run.
bool runnable(const char *path)
{
    return S_ISREG(file_mode(AT_FDCWD, path)) && syscall(SYS_faccessat, AT_FDCWD, path, X_OK) == 0;
}

// The first runnable file `name` in the directories of PATH, as execvp and
// posix_spawnp search them (an empty entry is the working directory); null
// when there is none, and the exec fails by itself.
const char *find_on_path(const char *name, PreloadCheck &c)
{
    const char *dirs = getenv("PATH");
    if (dirs == nullptr)
        dirs = "/bin:/usr/bin";
    const std::size_t name_len = std::strlen(name);
    for (const char *at = dirs;; ++at) {
        const char *end = std::strchr(at, ':');
        const std::size_t len =
            end != nullptr ? static_cast<std::size_t>(end - at) : std::strlen(at);
        if (len + 1 + name_len < sizeof c.program) {
            std::memcpy(c.program, at, len);
            c.program[len] = '/';
            std::memcpy(c.program + len + 1, name, name_len + 1);
            const char *candidate = len == 0 ? c.program + 1 : c.program;
            if (runnable(candidate))
                return candidate;
        }
        if (end == nullptr)
            return nullptr;
        at = end;
    }
}

bool space_or_tab(char ch)
{
    return ch == ' ' || ch == '\t';
}

// The interpreter of a #! line in head (its 256 bytes, zeros past the end of
// the file) copied to `out`, as the kernel reads it: the first word after
// "#!" on the line. False when the kernel would run none: no word, or, on a
// line longer than what the kernel reads, a word that reaches its end.
bool interpreter(const char (&head)[256], char (&out)[PATH_MAX])
{
    const char *newline = static_cast<const char *>(std::memchr(head, '\n', sizeof head));
    const char *end = newline != nullptr ? newline : head + sizeof head - 1;
    const char *name = head + 2;
    while (name < end && space_or_tab(*name))
        ++name;
    const char *stop = name;
    while (stop < end && !space_or_tab(*stop) && *stop != '\0')
        ++stop;
    const auto len = static_cast<std::size_t>(stop - name);
    if (len == 0 || len >= sizeof out || (newline == nullptr && stop == end))
        return false;
    std::memcpy(out, name, len);
    out[len] = '\0';
    return true;
}

// Whether the program headers name an interpreter (the dynamic loader).
bool has_interpreter(int fd, const ElfW(Ehdr) & eh)
{
    ElfW(Phdr) ph[8];
    for (unsigned i = 0; i < eh.e_phnum; i += 8) {
        const unsigned count = eh.e_phnum - i < 8 ? eh.e_phnum - i : 8;
        const auto want = static_cast<ssize_t>(count * sizeof ph[0]);
        if (pread(fd, ph, static_cast<std::size_t>(want),
                  static_cast<off_t>(eh.e_phoff + i * sizeof ph[0])) != want)
            return false;
        for (unsigned k = 0; k < count; ++k)
            if (ph[k].p_type == PT_INTERP)
                return true;
    }
    return false;
}

// An ELF file: a dynamically linked program of this machine that runs with
// the caller's privileges takes the library.
Verdict elf_verdict(int fd, const char (&head)[256], unsigned mode)
{
    if (static_cast<unsigned char>(head[EI_CLASS]) != kClass ||
        static_cast<unsigned char>(head[EI_DATA]) != kData)
        return Verdict::foreign;
    ElfW(Ehdr) eh;
    std::memcpy(&eh, head, sizeof eh);
    if (eh.e_machine != kMachine)
        return Verdict::foreign;
    if ((eh.e_type != ET_EXEC && eh.e_type != ET_DYN) || eh.e_phentsize != sizeof(ElfW(Phdr)) ||
        eh.e_phnum == 0 || eh.e_phnum * sizeof(ElfW(Phdr)) > kMaxProgramHeaders)
        return Verdict::admitted;  // the kernel runs none of these
    if (!has_interpreter(fd, eh))
        return Verdict::static_program;
    if ((mode & S_ISUID) != 0)
        return Verdict::set_uid;
    if ((mode & (S_ISGID | S_IXGRP)) == (S_ISGID | S_IXGRP))
        return Verdict::set_gid;
    if (fgetxattr(fd, "security.capability", nullptr, 0) >= 0)
        return Verdict::capabilities;
    return Verdict::admitted;
}

// The program at `path` and the interpreters of its #! lines; `refused` is
// the file a refusal is about.
Verdict examine(const char *path, PreloadCheck &c, const char *&refused)
{
    for (int level = 0;; ++level) {
        refused = path;
        if (level > kMaxInterpreters)
            return Verdict::too_deep;
        const CheckedFile file(path);
        if (file.fd() < 0)
            return runnable(path) ? Verdict::unreadable : Verdict::admitted;
        const unsigned mode = file_mode(file.fd(), "");
        if (!S_ISREG(mode) || syscall(SYS_faccessat, AT_FDCWD, path, X_OK) != 0)
            return Verdict::admitted;  // the exec fails by itself
        std::memset(c.head, 0, sizeof c.head);
        const ssize_t n = pread(file.fd(), c.head, sizeof c.head, 0);
        if (n < 0)
            return Verdict::unreadable;
        if (n >= 2 && c.head[0] == '#' && c.head[1] == '!') {
            if (!interpreter(c.head, c.interpreter))
                return Verdict::admitted;
            path = c.interpreter;
            continue;
        }
        if (static_cast<std::size_t>(n) >= sizeof(ElfW(Ehdr)) &&
            std::memcmp(c.head, ELFMAG, SELFMAG) == 0)
            return elf_verdict(file.fd(), c.head, mode);
        return Verdict::admitted;  // not a format the kernel runs
    }
}

// The refusal, built in place: bytes outside printable ASCII, and the
// backslash, of a quoted name shown as \xNN.
class Message {
public:
    explicit Message(char (&buf)[sizeof PreloadCheck::message]) : buf_(buf) {}
    Message &text(const char *s)
    {
        while (*s != '\0')
            put(*s++);
        return *this;
    }
    Message &name(const char *s)
    {
        static constexpr char kHex[] = "0123456789abcdef";
        for (; *s != '\0'; ++s) {
            const auto ch = static_cast<unsigned char>(*s);
            if (ch >= 0x20 && ch < 0x7f && ch != '\\') {
                put(*s);
                continue;
            }
            put('\\');
            put('x');
            put(kHex[ch >> 4]);
            put(kHex[ch & 0xf]);
        }
        return *this;
    }
    void end()
    {
        n_ = n_ < sizeof buf_ - 1 ? n_ : sizeof buf_ - 2;
        buf_[n_++] = '\n';
        buf_[n_] = '\0';
    }

private:
    void put(char ch)
    {
        if (n_ < sizeof buf_ - 2)
            buf_[n_++] = ch;
    }
    char (&buf_)[sizeof PreloadCheck::message];
    std::size_t n_ = 0;
};

const char *why(Verdict v)
{
    switch (v) {
    case Verdict::static_program:
        return " is statically linked: ";
    case Verdict::foreign:
        return " is a program for another machine: ";
    case Verdict::set_uid:
        return " is set-user-ID: ";
    case Verdict::set_gid:
        return " is set-group-ID: ";
    case Verdict::capabilities:
        return " has file capabilities: ";
    default:
        return ": ";
    }
}

void refusal(Verdict v, Preloaded who, const char *top, const char *refused, PreloadCheck &c)
{
    const bool sim = who == Preloaded::simulator;
    const char *cannot_load =
        sim ? "the simulator cannot load into " : "the recorder cannot load into ";
    const char *outcome =
        sim ? ", and it would reach the real bus" : ", and it would record nothing";
    Message m(c.message);
    m.text("bbusim: ").name(refused);
    if (v == Verdict::library_unreadable) {
        m.text(" cannot be read by this process: ").text(cannot_load).name(top).text(outcome).end();
        return;
    }
    if (refused != top)
        m.text(" (the interpreter of ").name(top).text(")");
    if (v == Verdict::unreadable)
        m.text(" cannot be read: the ").text(sim ? "simulator" : "recorder");
    else if (v == Verdict::too_deep)
        m.text(" is one #! interpreter more than exec follows: the ")
            .text(sim ? "simulator" : "recorder");
    else
        m.text(why(v)).text(cannot_load).text("it").text(outcome);
    if (v == Verdict::unreadable || v == Verdict::too_deep)
        m.text(" cannot check that it loads into it");
    m.end();
}

}  // namespace

bool preload_admitted(const char *path, bool search, Preloaded who, const char *library,
                      PreloadCheck &c)
{
    if (path == nullptr)
        return true;  // the exec fails with EFAULT
    const char *program = path;
    if (search && std::strchr(path, '/') == nullptr && (program = find_on_path(path, c)) == nullptr)
        return true;
    if (library != nullptr && CheckedFile(library).fd() < 0) {
        refusal(Verdict::library_unreadable, who, program, library, c);
        return false;
    }
    const char *refused = program;
    const Verdict v = examine(program, c, refused);
    if (v == Verdict::admitted)
        return true;
    refusal(v, who, program, refused, c);
    return false;
}

}  // namespace bbusim
