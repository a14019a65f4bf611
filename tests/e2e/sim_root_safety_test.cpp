// bbusim on a shared machine: a private default root, one run per root, a
// transcript opened once and never through a planted link, refusals that say
// why with untrusted bytes escaped; and transcript lines that fit a small
// thread stack (in-process).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>

#include "bbusim.h"
#include "e2e_harness.h"

namespace {

namespace fs = std::filesystem;

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

struct UnsafeRoot {
    const char *name;
    bool explicit_root;  // given with --root; otherwise the default root under TMPDIR
    std::function<bool(const std::string &root, const std::string &elsewhere)> plant;
    std::string message;
};

class BbusimUnsafeRootTest : public ::testing::TestWithParam<UnsafeRoot> {};

TEST_P(BbusimUnsafeRootTest, IsRefusedAndNothingIsWrittenThere)
{
    const UnsafeRoot &c = GetParam();
    const std::string tmpdir = e2e::test_dir() + "/tmpdir", elsewhere = e2e::test_dir() + "/else";
    fs::create_directories(tmpdir);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    const std::string root = tmpdir + "/bbusim-" + std::to_string(getuid());
    if (!c.plant(root, elsewhere))
        GTEST_SKIP() << "cannot prepare this root here (needs root privileges)";
    std::vector<std::string> argv = {BBUSIM_PATH, "--", "echo", "ran"};
    if (c.explicit_root)
        argv.insert(argv.begin() + 1, {"--root", root});
    e2e::Run r = e2e::run_program(argv, {.env = {"TMPDIR=" + tmpdir}});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err.rfind(std::string("bbusim: ") + (c.explicit_root ? "root " : "default root ") +
                              root + c.message,
                          0),
              0u)
        << r.err;
    EXPECT_EQ(r.out, "") << "the command did not run";
    EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing written through a link";
}

bool make_dir(const std::string &path, mode_t mode)
{
    return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0;
}

INSTANTIATE_TEST_SUITE_P(
    Roots, BbusimUnsafeRootTest,
    ::testing::Values(
        UnsafeRoot{"WorldWritable", false, [](auto &root, auto &) { return make_dir(root, 0777); },
                   " has mode 0777: group and others must have no access"},
        UnsafeRoot{"GroupReadable", false, [](auto &root, auto &) { return make_dir(root, 0750); },
                   " has mode 0750"},
        UnsafeRoot{"OtherOwner", false,
                   [](auto &root, auto &) {
                       return make_dir(root, 0700) && chown(root.c_str(), 65534, 65534) == 0;
                   },
                   " belongs to uid 65534, not to this user"},
        UnsafeRoot{"SymbolicLink", false,
                   [](auto &root, auto &elsewhere) {
                       return symlink(elsewhere.c_str(), root.c_str()) == 0;
                   },
                   " is a symbolic link: refused"},
        UnsafeRoot{"NotADirectory", false,
                   [](auto &root, auto &) { return close(creat(root.c_str(), 0600)) == 0; },
                   " is not a directory"},
        UnsafeRoot{"ExplicitSymbolicLink", true,
                   [](auto &root, auto &elsewhere) {
                       return symlink(elsewhere.c_str(), root.c_str()) == 0;
                   },
                   " is a symbolic link: refused"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(BbusimRootTest, DefaultRootIsCreatedPrivateAndReused)
{
    const std::string tmpdir = e2e::test_dir() + "/tmpdir";
    fs::create_directories(tmpdir);
    for (int run = 0; run < 2; ++run) {
        e2e::Run r = e2e::run_program({BBUSIM_PATH, "--", "true"}, {.env = {"TMPDIR=" + tmpdir}});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    struct stat st {};
    ASSERT_EQ(lstat((tmpdir + "/bbusim-" + std::to_string(getuid())).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, geteuid());
}

TEST(BbusimRootTest, LinksPlantedInARootAreNotFollowed)
{
    const std::string dir = e2e::test_dir(), victim = dir + "/victim",
                      victim_dir = dir + "/elsewhere";
    write_text(victim, "precious\n");
    ASSERT_EQ(mkdir(victim_dir.c_str(), 0755), 0);
    for (auto [planted, target] : {std::pair{"bbusim.transcript", victim}, {"tmp", victim_dir}}) {
        const std::string root = dir + "/root-" + planted;
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(symlink(target.c_str(), (root + "/" + planted).c_str()), 0);
        e2e::Run r = e2e::run_program({BBUSIM_PATH, "--root", root, "--", "echo", "ran"});
        EXPECT_EQ(r.status, 125) << planted;
        EXPECT_NE(r.err.find(root + "/" + planted), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
    }
    EXPECT_EQ(e2e::read_file(victim), "precious\n");
    EXPECT_TRUE(fs::is_empty(victim_dir));
}

TEST(BbusimRootTest, SecondRunOnARootInUseIsRefusedUntilTheFirstEnds)
{
    const std::string root = e2e::test_dir() + "/root";
    e2e::Run r = e2e::run({BBUSIM_PATH, "--root", root, "--", "echo", "ran"},
                          {.launcher_args = {"--root", root}});
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("bbusim: root " + root + " is in use by another bbusim run"),
              std::string::npos)
        << r.err;
    e2e::Run after = e2e::run_program({BBUSIM_PATH, "--root", root, "--", "echo", "ran"});
    EXPECT_EQ(after.status, 0) << after.err;
}

TEST(BbusimTranscriptTest, DescriptorHandedDownIsUsedWhileItIsTheTranscript)
{
    const std::string dir = e2e::test_dir(), other = dir + "/other";
    const std::string list = "cd /proc/$$/fd && for f in *; do echo \"$f $(readlink $f)\"; done";
    e2e::Run r = e2e::run({"sh", "-c", list});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string run_dir = fs::canonical(r.dir).string();
    std::string handed;
    for (const std::string &line : e2e::lines(r.out)) {
        std::string fd = line.substr(0, line.find(' ')), target = line.substr(fd.size() + 1);
        if (target == run_dir + "/transcript")
            handed = fd;
        else
            EXPECT_EQ(target.find(run_dir + "/root"), std::string::npos) << "leaked: " << line;
    }
    ASSERT_NE(handed, "") << r.out;
    EXPECT_GE(std::stoi(handed), 3) << "the low numbers stay the command's";

    // A command that puts another file at that number keeps its file to itself.
    e2e::Run reused =
        e2e::run({"bash", "-c",
                  "exec " + handed + ">" + other + "; sleep 1; exec " + handed + ">&-; sleep 2"});
    EXPECT_EQ(reused.transcript,
              (std::vector<std::string>{"0.000000 sleep 1000000", "1.000000 sleep 2000000",
                                        "3.000000 exit 0"}));
    EXPECT_EQ(e2e::read_file(other), "");
}

TEST(BbusimTranscriptTest, StandardErrorIsTheLaunchersNotEachProcesss)
{
    const std::string inner = e2e::test_dir() + "/inner";
    e2e::Run r =
        e2e::run_program({BBUSIM_PATH, "--root", e2e::test_dir() + "/root", "--transcript",
                          "/dev/stderr", "--", "sh", "-c", "sleep 1 2>" + inner + "; sleep 2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(e2e::lines(r.err),
              (std::vector<std::string>{"0.000000 sleep 1000000", "1.000000 sleep 2000000",
                                        "3.000000 exit 0"}));
    EXPECT_EQ(e2e::read_file(inner), "");
}

TEST(BbusimTranscriptTest, NamedThroughALinkIsAppendedToNeverEmptied)
{
    const std::string dir = e2e::test_dir();
    write_text(dir + "/kept", "kept\n");
    ASSERT_EQ(symlink((dir + "/kept").c_str(), (dir + "/link").c_str()), 0);
    e2e::Run r = e2e::run_program(
        {BBUSIM_PATH, "--root", dir + "/root", "--transcript", dir + "/link", "--", "true"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::read_file(dir + "/kept"), "kept\n0.000000 exit 0\n");
}

TEST(BbusimTranscriptTest, FifoThatNobodyReadsIsRefusedNotWaitedFor)
{
    const std::string dir = e2e::test_dir(), fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // timeout(1) only ends a run that hangs; a passing run never waits.
    e2e::Run r = e2e::run_program({"/usr/bin/timeout", "20", BBUSIM_PATH, "--root", dir + "/root",
                                   "--transcript", fifo, "--", "echo", "ran"});
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.err.find("bbusim: transcript " + fifo + " is a FIFO that no process reads"),
              std::string::npos)
        << r.err;
}

struct Refusal {
    const char *name;
    std::vector<std::string> launcher_args;
    std::vector<std::string> command;
    int status;
    std::string message;
};

class BbusimRefusalTest : public ::testing::TestWithParam<Refusal> {};

TEST_P(BbusimRefusalTest, SaysWhyWithUntrustedBytesEscaped)
{
    const Refusal &c = GetParam();
    e2e::Run r = e2e::run(c.command, {.launcher_args = c.launcher_args});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.rfind("bbusim: " + c.message, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Options, BbusimRefusalTest,
    ::testing::Values(Refusal{"EmptyRoot",
                              {"--root="},
                              {"echo", "ran"},
                              125,
                              "option '--root' needs a value, not an empty one"},
                      Refusal{"AdapterNotADevicePath",
                              {"--adapter", "foo"},
                              {"echo", "ran"},
                              125,
                              "--adapter 'foo': not a device path"},
                      Refusal{"ControlBytesInAnOption",
                              {"--x\x1b[2J\xef\xbb\xbf"},
                              {"echo", "ran"},
                              125,
                              "unknown option '--x\\x1b[2J\\xef\\xbb\\xbf'"},
                      Refusal{"ControlBytesInACommand",
                              {},
                              {"no-such\r\x07"},
                              127,
                              "no-such\\x0d\\x07: command not found"}),
    [](const auto &info) { return std::string(info.param.name); });

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

// A thread with a 16 KiB stack and no room below it: a frame larger than the
// stack faults at once instead of writing into whatever lies below.
class SmallStackThread {
public:
    explicit SmallStackThread(std::function<void()> body) : body_(std::move(body))
    {
        stack_ = static_cast<char *>(
            mmap(nullptr, kBelow + kStack, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(stack_, MAP_FAILED);
        EXPECT_EQ(mprotect(stack_ + kBelow, kStack, PROT_READ | PROT_WRITE), 0);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        EXPECT_EQ(pthread_attr_setstack(&attr, stack_ + kBelow, kStack), 0);
        EXPECT_EQ(pthread_create(&thread_, &attr, &SmallStackThread::run, this), 0);
        pthread_attr_destroy(&attr);
    }
    ~SmallStackThread()
    {
        pthread_join(thread_, nullptr);
        munmap(stack_, kBelow + kStack);
    }

private:
    static void *run(void *self)
    {
        static_cast<SmallStackThread *>(self)->body_();
        return nullptr;
    }
    static constexpr std::size_t kStack = 16384, kBelow = 65536;
    std::function<void()> body_;
    char *stack_ = nullptr;
    pthread_t thread_{};
};

TEST(BbusimTranscriptLineTest, LongTransferAndSleepInASmallThreadStack)
{
    bbusim::reset(e2e::test_dir() + "/root");
    static std::uint8_t data[8192];
    static int results[3];
    {
        SmallStackThread thread([] {
            int fd = open("/dev/i2c-0b", O_RDWR);
            i2c_msg msg{0x54, I2C_M_RD, sizeof data, data};
            i2c_rdwr_ioctl_data rdwr{&msg, 1};
            results[0] = ioctl(fd, I2C_RDWR, &rdwr);
            results[1] = usleep(1000);
            results[2] = close(fd);
        });
    }
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(results[2], 0);
    // VPD reads wrap at 256 bytes.
    const auto vpd = bbusim::peek_vpd();
    std::vector<std::uint8_t> wrapped;
    std::string expected = "0.000000 read 0x54 8192 -> 8192 :";
    for (std::size_t i = 0; i < sizeof data; ++i) {
        wrapped.push_back(vpd[i % vpd.size()]);
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", wrapped.back());
        expected += hex;
    }
    EXPECT_EQ(std::vector<std::uint8_t>(data, data + sizeof data), wrapped);
    const auto lines = bbusim::transcript();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], expected);
    EXPECT_EQ(lines[2], "0.000000 sleep 1000");
}

}  // namespace
