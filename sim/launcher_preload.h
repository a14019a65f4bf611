// launcher_preload.h - how the launcher composes LD_PRELOAD for a command.
#ifndef BBUSIM_LAUNCHER_PRELOAD_H
#define BBUSIM_LAUNCHER_PRELOAD_H

#include <string>
#include <vector>

namespace bbusim {

// The DT_NEEDED entries of an ELF file, in order; empty when the file is not
// a dynamically linked ELF file of this machine's class.
std::vector<std::string> elf_needed(const std::string &path);

// The sanitizer runtimes (libasan, libubsan, libtsan, liblsan) among them:
// they must come first in the library order of the process.
std::vector<std::string> sanitizer_runtimes(const std::vector<std::string> &needed);

// The LD_PRELOAD value: sanitizer runtimes, then the interposer, then what
// was there before.
std::string compose_preload(const std::vector<std::string> &runtimes, const std::string &interposer,
                            const char *previous);

// libbbusim.so beside the launcher, in ../LIBDIR/bbu relative to it when
// installed, or in ../lib/bbu (the build tree); "" when none exists.
std::string find_interposer(const std::string &launcher_dir, const std::string &libdir);
// The same for the library `name` (libbbusim-record.so).
std::string find_library(const std::string &launcher_dir, const std::string &libdir,
                         const std::string &name);

}  // namespace bbusim

#endif  // BBUSIM_LAUNCHER_PRELOAD_H
