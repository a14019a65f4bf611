// How the launcher finds the interposer and orders LD_PRELOAD, including a
// sanitized command's runtime, read from the command's DT_NEEDED entries.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>

#include "launcher_preload.h"

namespace {

using namespace ::testing;

TEST(BbusimLauncherPreloadTest, NeededEntriesOfThisProgramAndNoneOfOtherFiles)
{
    EXPECT_THAT(bbusim::elf_needed("/proc/self/exe"),
                AllOf(Contains("libc.so.6"), Contains(StartsWith("libstdc++.so"))));
    const std::string dir = std::string(BBU_TEST_SCRATCH) + "/BbusimLauncherPreloadTest";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/script.sh") << "#!/bin/sh\nexit 0\n";
    std::ofstream(dir + "/short") << "\x7f"
                                     "EL";
    for (const char *name : {"/script.sh", "/short", "/missing"})
        EXPECT_THAT(bbusim::elf_needed(dir + name), IsEmpty()) << name;
}

TEST(BbusimLauncherPreloadTest, SanitizerRuntimesFirstThenInterposerThenPrevious)
{
    const std::tuple<std::vector<std::string>, const char *, std::string> rows[] = {
        {{"libc.so.6"}, nullptr, "/x/libbbusim.so"},
        {{"libc.so.6"}, "", "/x/libbbusim.so"},
        {{"libc.so.6"}, "libfoo.so", "/x/libbbusim.so:libfoo.so"},
        {{"libasan.so.8", "libubsan.so.1", "libstdc++.so.6"},
         nullptr,
         "libasan.so.8:libubsan.so.1:/x/libbbusim.so"},
        {{"libm.so.6", "libtsan.so.2"}, "a.so b.so", "libtsan.so.2:/x/libbbusim.so:a.so b.so"},
        {{"liblsan.so.0"}, nullptr, "liblsan.so.0:/x/libbbusim.so"},
    };
    for (const auto &[needed, previous, expected] : rows)
        EXPECT_EQ(bbusim::compose_preload(bbusim::sanitizer_runtimes(needed), "/x/libbbusim.so",
                                          previous),
                  expected);
}

}  // namespace
