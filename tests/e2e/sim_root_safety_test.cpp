// Transcript lines that fit a small thread stack (in-process).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

#include "bbusim.h"
#include "e2e_harness.h"

namespace {

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
