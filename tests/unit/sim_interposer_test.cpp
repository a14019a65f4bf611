// The interposer inside other people's programs: calls from a signal handler
// that interrupts a transfer, small thread stacks (the longest transcript line
// too), and null pointers.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <algorithm>
#include <type_traits>

#include "sim_bus.h"

namespace {

using namespace ::testing;
using BbusimInterposerTest = SimAdapterTest;

// What the signal handler's calls returned, in memory shared with the test:
// times handled, pipe write, clock read, pause, adapter write and its errno,
// mapped open succeeded, and the interrupted I2C_RDWR's own result.
long *g_seen;
int g_pipe[2];
int g_adapter;
std::uint8_t *g_page;

void on_fault(int, siginfo_t *, void *)
{
    timespec now{}, pause{0, 1000000};
    g_seen[0] += 1;
    g_seen[1] = write(g_pipe[1], "x", 1);
    g_seen[2] = clock_gettime(CLOCK_REALTIME, &now);
    g_seen[3] = nanosleep(&pause, nullptr);
    g_seen[4] = write(g_adapter, "\x02", 1);
    g_seen[5] = errno;
    const int fd = open("/opt/from-handler", O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    g_seen[6] = close(fd) == 0;
    mprotect(g_page, 4096, PROT_READ | PROT_WRITE);
}

// A signal arriving inside a transfer, with the simulator's locks held, made
// deterministic: the message's byte sits in a page the simulator may not read
// yet, so reading it raises SIGSEGV right there; the handler opens the page
// and the transfer goes on. A child runs it, and alarm() ends a hang.
TEST_F(BbusimInterposerTest, SignalHandlerCallsInsideATransferComplete)
{
    g_adapter = fd_;
    g_seen = static_cast<long *>(
        mmap(nullptr, 8 * sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(pipe(g_pipe), 0);
    bbusim::clear_transcript();
    pid_t child = fork();
    if (child == 0) {
        alarm(10);
        struct sigaction sa {};
        sa.sa_sigaction = on_fault;
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &sa, nullptr);
        g_page = static_cast<std::uint8_t *>(
            mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        g_page[0] = 0x02;
        mprotect(g_page, 4096, PROT_NONE);
        i2c_msg m{0x54, 0, 1, g_page};
        i2c_rdwr_ioctl_data d{&m, 1};
        g_seen[7] = ioctl(g_adapter, I2C_RDWR, &d);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the transfer never ended: signal " << WTERMSIG(status);
    // The unclaimed pipe, the clock, a pause and a mapped path are served; the
    // adapter is busy with the interrupted transfer.
    EXPECT_THAT(std::vector<long>(g_seen, g_seen + 8), ElementsAre(1, 1, 0, 0, -1, EAGAIN, 1, 1));
    EXPECT_THAT(events(), ElementsAre("sleep 1000", "write 0x54 1 : 02 -> 1"));
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    munmap(g_seen, 8 * sizeof(long));
}

// Calls that write no transcript line, each with a machine path in the root.
void mapped_path_calls()
{
    const char *path = "/opt/Logs/bbu/logs/stack";
    close(open(path, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    access(path, F_OK);
    if (std::FILE *f = std::fopen(path, "r"))
        std::fclose(f);
    unlink(path);
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
}

// Runs fn on a thread whose stack, first filled with a pattern, lies above
// 64 KiB of inaccessible memory: a frame larger than the stack faults instead
// of writing into whatever lies below. Returns how deep the thread went, from
// the pattern left intact.
std::size_t stack_used(void (*fn)(), std::size_t size)
{
    constexpr std::size_t kBelow = 65536;
    auto *mem = static_cast<std::uint8_t *>(
        mmap(nullptr, kBelow + size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::uint8_t *stack = mem + kBelow;
    mprotect(stack, size, PROT_READ | PROT_WRITE);
    std::memset(stack, 0xa5, size);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, size);
    pthread_t thread;
    auto run = [](void *f) -> void * {
        return reinterpret_cast<void (*)()>(f)(), nullptr;
    };
    pthread_create(&thread, &attr, run, reinterpret_cast<void *>(fn));
    pthread_join(thread, nullptr);
    const auto untouched = static_cast<std::size_t>(
        std::find_if(stack, stack + size, [](std::uint8_t b) { return b != 0xa5; }) - stack);
    munmap(mem, kBelow + size);
    return size - untouched;
}

TEST_F(BbusimInterposerTest, MappedPathCallsNeedLittleStack)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's frames are not the program's";
#endif
    mapped_path_calls();  // the C library's first-use work done
    const std::size_t used = stack_used(mapped_path_calls, 262144) - stack_used([] {}, 262144);
    EXPECT_LT(used, 2048u) << "a 16 KiB thread stack must hold any interposed call";
}

// The longest transcript line, a transfer of 8192 bytes, and a sleep on a 16 KiB stack.
int g_results[3];

void long_transfer_and_sleep()
{
    const int fd = open("/dev/i2c-0b", O_RDWR);
    g_results[0] = rdwr(fd, 0x54, true, Bytes(8192)).rc;
    g_results[1] = usleep(1000);
    g_results[2] = close(fd);
}

TEST_F(BbusimInterposerTest, LongTransferAndSleepInASmallThreadStack)
{
    bbusim::clear_transcript();
    stack_used(long_transfer_and_sleep, 16384);
    EXPECT_THAT(g_results, ElementsAre(1, 0, 0));
    const auto vpd = bbusim::peek_vpd();  // reads wrap at 256 bytes
    std::string expected = "0.000000 read 0x54 8192 -> 8192 :";
    for (std::size_t i = 0; i < 8192; i += vpd.size())
        expected += " " + hex(vpd.data(), vpd.size());
    EXPECT_THAT(bbusim::transcript(), ElementsAre(_, expected, "0.000000 sleep 1000", _));
}

// A call the compiler cannot see through: a program that passes null where
// the C library's declarations say "never null" makes such calls.
template <typename R, typename... A>
R opaque_call(R (*fn)(A...), std::type_identity_t<A>... args)
{
    R (*volatile f)(A...) = fn;
    return f(args...);
}

TEST_F(BbusimInterposerTest, NullPointersGetTheCLibrarysAnswer)
{
    bbusim::clear_transcript();
    EXPECT_THAT((std::vector<std::string>{outcome(opaque_call(unlink, nullptr)),
                                          outcome(opaque_call(access, nullptr, F_OK)),
                                          outcome(opaque_call(gettimeofday, nullptr, nullptr)),
                                          outcome(opaque_call(::read, fd_, nullptr, 4)),
                                          outcome(opaque_call(::write, fd_, nullptr, 4))}),
                ElementsAre("EFAULT", "EFAULT", "0", "EFAULT", "EFAULT"));
    EXPECT_THAT(bus_transfers(), IsEmpty()) << "nothing reached the bus";
}

}  // namespace
