// How the launcher finds the interposer and orders LD_PRELOAD, including a
// sanitized command's runtime, read from the command's DT_NEEDED entries.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "launcher_preload.h"

namespace {

TEST(BbusimLauncherPreloadTest, NeededEntriesOfThisProgram)
{
    auto needed = bbusim::elf_needed("/proc/self/exe");
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libc.so.6"), needed.end());
    EXPECT_NE(std::find_if(needed.begin(), needed.end(),
                           [](const std::string &n) { return n.rfind("libstdc++.so", 0) == 0; }),
              needed.end());
}

TEST(BbusimLauncherPreloadTest, NonElfFilesHaveNoEntries)
{
    std::string dir = std::string(BBU_TEST_SCRATCH) + "/BbusimLauncherPreloadTest";
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/script.sh") << "#!/bin/sh\nexit 0\n";
    std::ofstream(dir + "/short") << "\x7f"
                                     "EL";
    for (const char *name : {"/script.sh", "/short", "/missing"})
        EXPECT_TRUE(bbusim::elf_needed(dir + name).empty()) << name;
}

struct PreloadCase {
    std::vector<std::string> needed;
    const char *previous;
    std::string expected;
};

TEST(BbusimLauncherPreloadTest, SanitizerRuntimesFirstThenInterposerThenPrevious)
{
    const std::vector<PreloadCase> cases = {
        {{"libc.so.6"}, nullptr, "/x/libbbusim.so"},
        {{"libc.so.6"}, "", "/x/libbbusim.so"},
        {{"libc.so.6"}, "libfoo.so", "/x/libbbusim.so:libfoo.so"},
        {{"libasan.so.8", "libubsan.so.1", "libstdc++.so.6"},
         nullptr,
         "libasan.so.8:libubsan.so.1:/x/libbbusim.so"},
        {{"libm.so.6", "libtsan.so.2"}, "a.so b.so", "libtsan.so.2:/x/libbbusim.so:a.so b.so"},
        {{"liblsan.so.0"}, nullptr, "liblsan.so.0:/x/libbbusim.so"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(bbusim::compose_preload(bbusim::sanitizer_runtimes(c.needed), "/x/libbbusim.so",
                                          c.previous),
                  c.expected);
}

TEST(BbusimLauncherPreloadTest, InterposerBesideTheLauncherOrInItsLibraryDirectory)
{
    namespace fs = std::filesystem;
    std::string base = std::string(BBU_TEST_SCRATCH) + "/BbusimLauncherPreloadTest.find";
    fs::remove_all(base);
    fs::create_directories(base + "/build");
    fs::create_directories(base + "/prefix/bin");
    fs::create_directories(base + "/prefix/lib64");
    std::ofstream(base + "/build/libbbusim.so") << "x";
    std::ofstream(base + "/prefix/lib64/libbbusim.so") << "x";

    EXPECT_EQ(bbusim::find_interposer(base + "/build", "lib64"), base + "/build/libbbusim.so");
    EXPECT_EQ(bbusim::find_interposer(base + "/prefix/bin", "lib64"),
              base + "/prefix/bin/../lib64/libbbusim.so");
    EXPECT_EQ(bbusim::find_interposer(base + "/prefix/bin", "lib"), "");
}

}  // namespace
