// bbusim on a shared machine: a private default root, one run per root, a
// transcript opened once and never through a planted link.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "e2e_harness.h"
#include "test_names.h"

namespace {

using namespace ::testing;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

struct UnsafeRoot {
    const char *name;
    const char *plant;   // shell commands that make $R (the root) unsafe; $E is a private directory
    bool explicit_root;  // given with --root; otherwise the default root under TMPDIR
    std::string message;
};

class BbusimUnsafeRootTest : public TestWithParam<UnsafeRoot> {};

TEST_P(BbusimUnsafeRootTest, IsRefusedAndNothingIsWrittenThere)
{
    const UnsafeRoot &c = GetParam();
    const std::string dir = e2e::test_dir(), root = dir + "/bbusim-" + std::to_string(getuid());
    const std::string vars = "cd '" + dir + "' && R='" + root + "' E='" + dir + "/else' && ";
    ASSERT_EQ(std::system((vars + "mkdir -m 700 \"$E\"").c_str()), 0);
    if (std::system((vars + c.plant).c_str()) != 0)
        GTEST_SKIP() << "cannot prepare this root here (needs root privileges)";
    Lines argv = {BBUSIM_PATH, "--", "echo", "ran"};
    if (c.explicit_root)
        argv.insert(argv.begin() + 1, {"--root", root});
    e2e::Run r = e2e::run_program(argv, {.env = {"TMPDIR=" + dir}});
    EXPECT_EQ(r.status, 125);
    EXPECT_THAT(r.err, AllOf(StartsWith("bbusim: "), HasSubstr(root + c.message)));
    EXPECT_EQ(r.out, "") << "the command did not run";
    EXPECT_TRUE(fs::is_empty(dir + "/else")) << "nothing written through a link";
}

INSTANTIATE_TEST_SUITE_P(
    Roots, BbusimUnsafeRootTest,
    Values(UnsafeRoot{"WorldWritable", "mkdir -m 777 \"$R\"", false,
                      " has mode 0777: group and others must have no access"},
           UnsafeRoot{"GroupReadable", "mkdir -m 750 \"$R\"", false, " has mode 0750"},
           UnsafeRoot{"OtherOwner", "mkdir -m 700 \"$R\" && chown 65534 \"$R\"", false,
                      " belongs to uid 65534, not to this user"},
           UnsafeRoot{"SymbolicLink", "ln -s \"$E\" \"$R\"", false, " is a symbolic link: refused"},
           UnsafeRoot{"NotADirectory", "touch \"$R\"", false, " is not a directory"},
           UnsafeRoot{"ExplicitSymbolicLink", "ln -s \"$E\" \"$R\"", true,
                      " is a symbolic link: refused"},
           UnsafeRoot{"TranscriptLinkInside",
                      "mkdir \"$R\" && ln -s \"$E/x\" \"$R/bbusim.transcript\"", true,
                      "/bbusim.transcript is a symbolic link: refused"},
           UnsafeRoot{"TmpLinkInside", "mkdir \"$R\" && ln -s \"$E\" \"$R/tmp\"", true,
                      "/tmp is a symbolic link: refused"}),
    bbutest::ByName());

TEST(BbusimRootTest, DefaultRootIsCreatedPrivateAndReused)
{
    const std::string dir = e2e::test_dir();
    for (int run = 0; run < 2; ++run)
        ASSERT_EQ(e2e::run_program({BBUSIM_PATH, "--", "true"}, {.env = {"TMPDIR=" + dir}}).status,
                  0);
    struct stat st {};
    ASSERT_EQ(lstat((dir + "/bbusim-" + std::to_string(getuid())).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
}

TEST(BbusimRootTest, SecondRunOnARootInUseIsRefusedUntilTheFirstEnds)
{
    const std::string root = e2e::test_dir() + "/root";
    const Lines inner = {BBUSIM_PATH, "--root", root, "--", "echo", "ran"};
    e2e::Run r = e2e::run(inner, {.launcher_args = {"--root", root}});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("bbusim: root " + root + " is in use by another bbusim run"));
    EXPECT_EQ(e2e::run_program(inner).out, "ran\n");
}

TEST(BbusimTranscriptTest, DescriptorHandedDownIsUsedWhileItIsTheTranscript)
{
    e2e::Run r =
        e2e::run({"sh", "-c", "cd /proc/$$/fd && for f in *; do echo $f $(readlink $f); done"});
    const std::string run_dir = fs::canonical(r.dir).string();
    std::string handed;
    for (const std::string &line : e2e::lines(r.out)) {
        const std::string fd = line.substr(0, line.find(' ')), target = line.substr(fd.size() + 1);
        if (target == run_dir + "/transcript")
            handed = fd;
        else
            EXPECT_EQ(target.find(run_dir + "/root"), std::string::npos) << "leaked: " << line;
    }
    ASSERT_GE(std::atoi(handed.c_str()), 3) << r.out << "\nthe low numbers stay the command's";

    // A command that puts a file of its own at that number keeps it to itself.
    const std::string other = e2e::test_dir() + "/other";
    e2e::Run reused =
        e2e::run({"bash", "-c",
                  "exec " + handed + ">" + other + "; sleep 1; exec " + handed + ">&-; sleep 2"});
    EXPECT_THAT(reused.transcript,
                ElementsAre("0.000000 sleep 1000000", "1.000000 sleep 2000000", "3.000000 exit 0"));
    EXPECT_EQ(e2e::read_file(other), "");
}

// /dev/stderr is a link: followed to the launcher's standard error, which is
// appended to, never emptied, whatever the command's processes do with theirs.
TEST(BbusimTranscriptTest, StandardErrorIsTheLaunchersNotEachProcesss)
{
    const std::string dir = e2e::test_dir();
    e2e::Run r = e2e::run_program({"/bin/sh", "-c",
                                   "echo kept >&2; exec \"$0\" --root \"$1/root\" --transcript "
                                   "/dev/stderr -- sh -c \"sleep 1 2>$1/inner; sleep 2\"",
                                   BBUSIM_PATH, dir});
    EXPECT_THAT(e2e::lines(r.err), ElementsAre("kept", "0.000000 sleep 1000000",
                                               "1.000000 sleep 2000000", "3.000000 exit 0"));
    EXPECT_EQ(e2e::read_file(dir + "/inner"), "");
}

TEST(BbusimTranscriptTest, FifoThatNobodyReadsIsRefusedNotWaitedFor)
{
    const std::string dir = e2e::test_dir(), fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // timeout(1) only ends a run that hangs; a passing run never waits.
    e2e::Run r = e2e::run_program({"/usr/bin/timeout", "20", BBUSIM_PATH, "--root", dir + "/root",
                                   "--transcript", fifo, "--", "echo", "ran"});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "bbusim: transcript " + fifo + " is a FIFO that no process reads: refused\n");
}

TEST(BbusimRootTest, WorldThatCannotBeWrittenIsReported)
{
    // Standard error goes through cat: under the limit it could not be written either.
    const std::string root = e2e::test_dir() + "/root";
    e2e::Run r = e2e::run_program(
        {"/bin/sh", "-c",
         "{ (ulimit -f 0; exec \"$0\" --root \"$1\" -- echo ran) 2>&1; echo \"status $?\"; } | cat",
         BBUSIM_PATH, root});
    EXPECT_EQ(r.out, "bbusim: cannot write world file " + root +
                         "/bbusim.world: File too large\nstatus 125\n");
}

}  // namespace
