// The flash load on the simulated BBU, the transcript its witness: a whole
// image block by block, the version check, bad images kept off the bus, the
// re-sends and the failures that end a load; and the memory dump and the
// validation it relies on.
#include <bbu/bbu.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "load_fixture.h"

namespace {

using F = bbusim::ImageFault;
using flashLoad = LoadTest;

TEST_F(flashLoad, WholeImageBlockByBlock)
{
    const std::string path = image_file(0x06);
    const Run r = captured([&] { return processCodeLoad(fd_, path.c_str(), 0, 0); });
    EXPECT_EQ(r.rc, BBU_LOAD_DONE);
    std::string progress = "File FW Version: 06 BBU FW Version: 05 \n";
    std::string story = "X p p S p s";  // soft reset, 256-byte read, ready poll
    for (unsigned block = 0; block < 384; ++block) {
        char line[40];
        std::snprintf(line, sizeof line, "data block %04u of 383\n", block);
        progress += block % 32 == 0 ? line : "";
        story += " R s t s T s p";
    }
    EXPECT_EQ(r.out.substr(r.out.find("File FW")), progress);
    EXPECT_EQ(bus_story(true), "M20 r " + story + " X p");  // after the version check

    // The BBU checks each record and places it by its block number: it now
    // holds the new image and runs its version.
    EXPECT_EQ(bbusim::peek_memory(0x1000, image_.size()), image_);
    EXPECT_EQ(bbusim::peek_status()[30], 0x06);
}

// A load of an image of version 9 (three blocks unless a row says otherwise)
// on a BBU set up by the scenario; forced when the story starts with the soft
// reset. Written: the story of every write, text on the console, a trace line
// and how often it comes, and whether the BBU then holds and runs the image.
struct LoadCase {
    const char *name, *scenario;
    int size;  // -1: no file
    F fault;
    int rc;
    const char *story;  // nullptr: not checked
    const char *shown, *line;
    long times;
    bool stored;
};

const char kEnd[] = "*** Sleep for 10 seconds after End_Flash_Load command ***";
const char kBad[] = "BBU secondary image is bad, loading anyway\n";

const LoadCase kLoads[] = {
    // The version check: equal versions load only when validation fails.
    {"SameVersionValid", "image 09", 384, F::none, 24, "M20 V",
     "BBU already has this version of code\n", "reprogram bit is off, good", 1, false},
    {"SameVersionInvalid", "image 09\nvalidate reprogram", 384, F::none, 0,
     "M20 V X S R t T R t T R t T X", kBad, "reprogram bit is on", 1, true},
    {"SameVersionValidationReadFails", "image 09\nfault fail 40 read count 3 on 8c", 384, F::none,
     0, "M20 V X S R t T R t T R t T X", kBad, "***I2C Read GSS failed, rc = -6***", 1, true},
    {"ForceReadsNoVersion", "image 09", 384, F::none, 0, "X S R t T R t T R t T X", "",
     "File FW Version: 09 BBU FW Version: 09 ", 0, true},
    // A first image that reads wrong: read again 2 s apart, a soft reset after
    // the second re-read, a hard reset after the third; its version decides.
    {"FirstImageNeverReadable", "image 09\nfault first-image count 4", 384, F::none, 0,
     "M20 M20 M20 X M20 C C C C X S R t T R t T R t T X",
     "File FW Version: 09 BBU FW Version: f6 \n", "Corrupted first image read, retry number 3 ", 1,
     true},
    // Images: no size check; a short one's CRC covers the zero-filled rest,
    // a longer one is sent whole; one that fails a check never reaches the BBU.
    {"Short200", "", 200, F::none, 0, "M20 X S R t T R t T X",
     "File FW Version: 09 BBU FW Version: 05 \n", kEnd, 1, true},
    {"Longer", "", 50000, F::none, 0, nullptr, "data block 0384 of 383\n", kEnd, 1, true},
    {"BadMagic", "", 384, F::bad_magic, 4, "", "", "magic number does not match", 1, false},
    {"BadCrc", "", 384, F::bad_crc, 5, "", "", "crc does not match", 1, false},
    {"BadHeaderCheck", "", 200, F::bad_header_check, 6, "", "", "checksum does not match", 1,
     false},
    {"Empty", "", 0, F::empty, 4, "", "",
     "file read debug: bytes=0 magic=   0 crc=   0 chksum=   0 numblocks=0", 1, false},
    {"Missing", "", -1, F::none, 3, "", "", "Perform soft reset", 0, false},
    // Re-sends: a TFB while bytes 12 and 13 have not both changed, a record
    // while the BBU reports a checksum error.
    {"TfbLostOnceWithDelay", "fault tfb-lost 1", 384, F::none, 0,
     "X S R t T d R t T d T d R t T d X", "", "Delay here for 20 millisecond", 4, true},
    {"TfbLostThreeTimes", "fault tfb-lost 1 count 3", 384, F::none, 0,
     "X S R t T R t T T T T R t T X", "", "*** TFB retry occured ***", 1, true},
    // Incomplete reads say nothing of bytes 12 and 13: the TFB looks lost and
    // is re-sent, and an unaccepted TFB does not end the load.
    {"AcceptPollNeverComplete", "status 12 10 20\nfault short 40 read 10 count 15 skip 1 on 8f",
     384, F::none, 0, "X S R t T T R t T R t T X", "", "wait for ack read_len 10", 15, true},
    {"NeverReady", "status 0 0xb1", 384, F::none, 0, "X S R t T R t T R t T X", "",
     "command ready not seen", 1, true},
    {"ChecksumErrorOnce", "fault block-checksum 1", 384, F::none, 0, "X S R t T R R t T R t T X",
     "", "***Checksum error, rewrite to SARX***", 1, true},
    // Failures that end a load.
    {"ChecksumErrorEveryTime", "fault block-checksum 1 count 4", 384, F::none, -5,
     "X S R t T R R R R", "", "GSS check failed after SARX_WRITE, exit processCodeLoad", 1, false},
    {"StartFlashLoadCheckFails", "fault error-bits 6 40 on 89", 384, F::none, -5, "X S", "",
     "GSS check failed after Start_Flash_Load, exit processCodeLoad", 1, false},
    {"TfbCheckFails", "busy-polls 0\nfault error-bits 4 80 on 8f", 384, F::none, -5, "X S R t T",
     "", "GSS check failed after TFB WRITE, exit processCodeLoad", 1, false},
    {"TfbWriteFails", "fault fail 40 write count 4 on 8f", 384, F::none, -5,
     "X S R t T R t! T! T! T!", "", "TFB WRITE failed, exit processCodeLoad", 1, false},
    {"TfbResendFails", "fault tfb-lost 1\nfault fail 40 write count 3 skip 2 on 8f", 384, F::none,
     -5, "X S R t T R t T T! T! T!", "", "TFB RE-WRITE failed, exit processCodeLoad", 1, false},
    {"TfbResendCheckFails", "fault tfb-lost 1\nbusy-polls 0\nfault error-bits 4 80 on 8f skip 1",
     384, F::none, -5, "X S R t T R t T T", "",
     "GSS check failed after TFB RE-WRITE, exit processCodeLoad", 1, false},
    {"ShortStartFlashLoad", "fault short 40 write 1 skip 1", 384, F::none, -7, "X S!", "",
     "SFL: the amount of data written 1 is less than requested 2", 1, false},
    // End_Flash_Load goes through the retry layer; its failure is traced.
    {"EndFlashLoadFails", "fault fail 40 write count 3 skip 8", 384, F::none, 0,
     "X S R t T R t T R t T X! X! X!", "", "End_Flash_Load WRITE failed", 1, false},
};

class LoadCases : public LoadTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadCases, StoryLinesAndResult)
{
    const LoadCase &c = GetParam();
    apply(c.scenario);
    TFB_delay = c.story != nullptr && std::strchr(c.story, 'd') != nullptr;
    TFB_delaytime = 20;
    std::string path = root_ + "/missing.bin";
    if (c.size >= 0)
        path = image_file(9, static_cast<std::size_t>(c.size), c.fault);
    const int force = c.story != nullptr && c.story[0] == 'X';
    const long files = open_files();
    const Run r = captured([&] { return processCodeLoad(fd_, path.c_str(), c.size < 0, force); });
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(c.story != nullptr ? bus_story() : "", c.story != nullptr ? c.story : "");
    EXPECT_NE((r.out + r.err).find(c.shown), std::string::npos) << r.out << r.err;
    EXPECT_EQ(std::ranges::count(bbutest::lines(trace_messages()), c.line), c.times) << c.line;
    std::vector<std::uint8_t> held = image_;
    held.push_back(0xff);  // the flash past the image is erased
    EXPECT_EQ(bbusim::peek_status()[30] == 9 && bbusim::peek_memory(0x1000, held.size()) == held,
              c.stored);
    EXPECT_EQ(open_files(), files) << "the image file is closed on every return";
    EXPECT_EQ(r.err.rfind(" Could not open the code file: " + path + " rc=2\n", 0) == 0,
              c.size < 0);
}

INSTANTIATE_TEST_SUITE_P(flashLoad, LoadCases, ::testing::ValuesIn(kLoads),
                         [](const auto &info) { return std::string(info.param.name); });

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(flashLoad, NoMemoryForTheFileBufferEndsTheLoad)
{
    const std::string path = image_file(9, 200);
    const pid_t child = fork();
    if (child == 0) {
        // No new memory, and every free block that could hold the buffer taken.
        const rlimit none{0, 0};
        setrlimit(RLIMIT_DATA, &none);
        void *volatile taken = nullptr;
        do
            taken = std::malloc(BBU_IMAGE_BUFFER_LEN);
        while (taken != nullptr);
        _exit(processCodeLoad(fd_, path.c_str(), 0, 0) == BBU_IMAGE_NO_MEMORY ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(bus_transfers(), std::vector<std::string>{});
}
#endif

TEST_F(flashLoad, MemoryDumpInChunksToBufferAndFile)
{
    const std::string path = root_ + "/dump.bin", fresh = root_ + "/fresh.bin";
    std::ofstream(path) << std::string(400, 'x');
    std::filesystem::remove(fresh);
    const mode_t old_umask = umask(027);
    std::vector<std::uint8_t> out(300);
    dump_memory(fd_, 0x1000, 300, path.c_str(), out.data(), 0);
    dump_memory(fd_, 0x1000, 0, fresh.c_str(), nullptr, 0);
    umask(old_umask);
    const auto memory = bbusim::peek_memory(0x1000, 300);
    EXPECT_EQ(out, memory);
    EXPECT_EQ(read_file(path), std::string(memory.begin(), memory.end()) + std::string(100, 'x'));
    struct stat st {};
    EXPECT_EQ(stat(fresh.c_str(), &st), 0) << "created, though nothing was read";
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // Three frames (128, 128, 44 bytes: the BBU checks them), each answered
    // at once by a read at 0x60.
    EXPECT_EQ(bus_story(true), "M80 r M80 r M2c r");
}

}  // namespace
