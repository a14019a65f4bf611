// launcher_preload.cpp - read a command's DT_NEEDED entries and compose
// LD_PRELOAD so that a sanitized program keeps its runtime first.
#include "launcher_preload.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace bbusim {
namespace {

// A read-only view of a whole file.
class Mapping {
public:
    explicit Mapping(const std::string &path)
    {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        struct stat st {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
            void *p =
                mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (p != MAP_FAILED) {
                data_ = static_cast<const unsigned char *>(p);
                size_ = static_cast<std::size_t>(st.st_size);
            }
        }
        ::close(fd);
    }
    ~Mapping()
    {
        if (data_ != nullptr)
            munmap(const_cast<unsigned char *>(data_), size_);
    }
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;

    // A T at offset, or null when it does not fit in the file.
    template <typename T>
    const T *at(std::uint64_t offset, std::uint64_t count = 1) const
    {
        if (data_ == nullptr || offset > size_ || count > (size_ - offset) / sizeof(T))
            return nullptr;
        return reinterpret_cast<const T *>(data_ + offset);
    }
    std::size_t size() const
    {
        return size_;
    }

private:
    const unsigned char *data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace

std::vector<std::string> elf_needed(const std::string &path)
{
    std::vector<std::string> out;
    Mapping file(path);
    const auto *eh = file.at<Elf64_Ehdr>(0);
    if (eh == nullptr || std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
        eh->e_ident[EI_CLASS] != ELFCLASS64 || eh->e_phentsize != sizeof(Elf64_Phdr))
        return out;
    const auto *ph = file.at<Elf64_Phdr>(eh->e_phoff, eh->e_phnum);
    if (ph == nullptr)
        return out;

    const Elf64_Phdr *dynamic = nullptr;
    for (unsigned i = 0; i < eh->e_phnum; ++i)
        if (ph[i].p_type == PT_DYNAMIC)
            dynamic = &ph[i];
    if (dynamic == nullptr)
        return out;
    const std::uint64_t ndyn = dynamic->p_filesz / sizeof(Elf64_Dyn);
    const auto *dyn = file.at<Elf64_Dyn>(dynamic->p_offset, ndyn);
    if (dyn == nullptr)
        return out;

    std::uint64_t strtab_vaddr = 0;
    std::vector<std::uint64_t> names;
    for (std::uint64_t i = 0; i < ndyn && dyn[i].d_tag != DT_NULL; ++i) {
        if (dyn[i].d_tag == DT_STRTAB)
            strtab_vaddr = dyn[i].d_un.d_ptr;
        if (dyn[i].d_tag == DT_NEEDED)
            names.push_back(dyn[i].d_un.d_val);
    }
    // The string table's address is a virtual address: find its file offset.
    std::uint64_t strtab = 0;
    bool found = false;
    for (unsigned i = 0; i < eh->e_phnum && !found; ++i) {
        if (ph[i].p_type == PT_LOAD && strtab_vaddr >= ph[i].p_vaddr &&
            strtab_vaddr < ph[i].p_vaddr + ph[i].p_filesz) {
            strtab = strtab_vaddr - ph[i].p_vaddr + ph[i].p_offset;
            found = true;
        }
    }
    if (!found)
        return out;
    for (std::uint64_t off : names) {
        const char *s = file.at<char>(strtab + off);
        if (s == nullptr)
            continue;
        std::size_t max = file.size() - (strtab + off);
        out.emplace_back(s, strnlen(s, max));
    }
    return out;
}

std::vector<std::string> sanitizer_runtimes(const std::vector<std::string> &needed)
{
    std::vector<std::string> out;
    for (const std::string &n : needed)
        for (const char *prefix :
             {"libasan.so", "libubsan.so", "libtsan.so", "liblsan.so", "libclang_rt.asan"})
            if (n.rfind(prefix, 0) == 0)
                out.push_back(n);
    return out;
}

std::string compose_preload(const std::vector<std::string> &runtimes, const std::string &interposer,
                            const char *previous)
{
    std::string out;
    for (const std::string &r : runtimes)
        out += r + ":";
    out += interposer;
    if (previous != nullptr && *previous != '\0')
        out += std::string(":") + previous;
    return out;
}

std::string find_interposer(const std::string &launcher_dir, const std::string &libdir)
{
    return find_library(launcher_dir, libdir, "libbbusim.so");
}

std::string find_library(const std::string &launcher_dir, const std::string &libdir,
                         const std::string &name)
{
    // Beside the launcher, in the install's private directory LIBDIR/bbu, in
    // ../lib/bbu (the build tree).
    std::string beside = launcher_dir;
    beside.append("/").append(name);
    std::string installed = launcher_dir;
    installed.append("/../").append(libdir).append("/bbu/").append(name);
    std::string in_lib = launcher_dir;
    in_lib.append("/../lib/bbu/").append(name);
    for (const std::string &candidate : {beside, installed, in_lib}) {
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
    }
    return "";
}

}  // namespace bbusim
