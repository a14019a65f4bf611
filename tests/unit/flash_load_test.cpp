// What the flash load's golden sessions, of images of two and three blocks,
// cannot hold: an image longer than the BBU's 384 blocks sent whole with a
// progress line every 32 blocks, and a load without memory for the file.
#include <bbu/bbu.h>
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

#include "sim_world.h"

namespace {

using flashLoad = SimAdapterTest;

std::string write_image(const std::string &path, const std::vector<std::uint8_t> &image)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return path;
}

TEST_F(flashLoad, LongerImageSentWholeWithProgressEvery32Blocks)
{
    const auto image = bbusim::make_image(9, 50000);
    const std::string path = write_image(root_ + "/image.bin", image);
    int rc = -1;
    const bbutest::Output o =
        bbutest::capture([&] { rc = processCodeLoad(fd_, path.c_str(), 0, 1); });
    EXPECT_EQ(rc, BBU_LOAD_DONE);
    std::string progress;
    for (unsigned block = 0; block <= 384; block += 32) {
        char line[40];
        std::snprintf(line, sizeof line, "data block %04u of 383\n", block);
        progress += line;
    }
    EXPECT_EQ(o.out, progress);
    EXPECT_EQ(bbutest::transfers(bbusim::transcript(), 0x60, bbutest::Dir::write).size(), 391u);
    EXPECT_THAT(trace_messages(),
                ::testing::HasSubstr("file read debug: bytes=49152 magic=feedface "));
    EXPECT_THAT(trace_messages(), ::testing::HasSubstr(" numblocks=384\n"));
    // The BBU placed each record by its block number and runs the new version.
    EXPECT_EQ(bbusim::peek_memory(0x1000, image.size()), image);
    EXPECT_EQ(bbusim::peek_status()[30], 0x09);
}

#if !defined(__SANITIZE_ADDRESS__)
#ifdef BBU_COVERAGE_BUILD
extern "C" void __gcov_dump();  // the mutation check's coverage build only
#endif

TEST_F(flashLoad, NoMemoryForTheFileBufferEndsTheLoad)
{
    const std::string path = write_image(root_ + "/image.bin", bbusim::make_image(9, 200));
    const pid_t child = fork();
    if (child == 0) {
        // No new memory, and every free block that could hold the buffer taken.
        rlimit old{};
        getrlimit(RLIMIT_DATA, &old);
        const rlimit none{0, 0};
        setrlimit(RLIMIT_DATA, &none);
        void *volatile taken = nullptr;
        do
            taken = std::malloc(BBU_IMAGE_BUFFER_LEN);
        while (taken != nullptr);
        const int rc = processCodeLoad(fd_, path.c_str(), 0, 0);
        // In a coverage build the child's line counts are written before it
        // ends (the limit lifted again, which root may do): the mutation check
        // then sees that this test runs the no-memory path.
#ifdef BBU_COVERAGE_BUILD
        setrlimit(RLIMIT_DATA, &old);
        __gcov_dump();
#endif
        _exit(rc == BBU_IMAGE_NO_MEMORY ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(bus_transfers(), std::vector<std::string>{});
}
#endif

}  // namespace
