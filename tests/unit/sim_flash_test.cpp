// The flashable BBU: test images, the flash load on the bus, read-memory,
// validation, restarts, the clock's alarm reset and the bus timing.
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <set>

#include "sim_bus.h"

namespace {

using bbusim::ImageFault;

Bytes image_of(std::uint8_t version, std::size_t size = 49152, ImageFault f = ImageFault::none)
{
    return bbusim::make_image(version, size, f);
}

TEST(BbusimImageTest, CrcWorkedValues)
{
    const std::uint8_t abc[] = {'a', 'b', 'c'}, one[] = {0x01}, odd[] = {0x01, 0xfe, 0x03};
    EXPECT_EQ(bbusim::image_crc(abc, 3), 0x00FF00FFu);
    EXPECT_EQ(bbusim::image_crc(one, 1), 0x000000FFu);
    EXPECT_EQ(bbusim::image_crc(abc, 0), 0u);
    EXPECT_EQ(bbusim::image_crc(odd, 3), 0x00FF00FFu) << "only bit 0 of each byte counts";
}

struct ImageCase {
    const char *name;
    std::size_t size;
    ImageFault fault;
    bool magic, crc, header;
};

class BbusimImageMakeTest : public ::testing::TestWithParam<ImageCase> {};

TEST_P(BbusimImageMakeTest, SpoilsExactlyTheCheckAsked)
{
    const ImageCase &c = GetParam();
    Bytes img = image_of(0x42, c.size, c.fault);
    ASSERT_EQ(img.size(), c.fault == ImageFault::empty ? 0 : c.size);
    if (img.empty())
        return;
    const auto v = bbusim::check_image(img.data(), img.size());
    EXPECT_EQ(v.magic, c.magic);
    EXPECT_EQ(v.crc, c.crc);
    EXPECT_EQ(v.header_check, c.header);
    EXPECT_EQ(img[7], 0x42);
}

INSTANTIATE_TEST_SUITE_P(
    Images, BbusimImageMakeTest,
    ::testing::Values(ImageCase{"Whole", 49152, ImageFault::none, true, true, true},
                      ImageCase{"Short", 200, ImageFault::none, true, true, true},
                      ImageCase{"Longer", 50000, ImageFault::none, true, true, true},
                      ImageCase{"BadMagic", 49152, ImageFault::bad_magic, false, true, true},
                      ImageCase{"BadCrc", 200, ImageFault::bad_crc, true, false, true},
                      ImageCase{"BadCheck", 49152, ImageFault::bad_header_check, true, true, false},
                      ImageCase{"Empty", 49152, ImageFault::empty, false, false, false}),
    [](const auto &info) { return std::string(info.param.name); });

class BbusimFlashTest : public SimBusTest {
protected:
    // The record of block n as the load builds it.
    static Bytes record(const Bytes &img, unsigned n)
    {
        Bytes r(134, 0);
        const std::size_t at = n * 128u, len = std::min<std::size_t>(128, img.size() - at);
        r[0] = 0x8f;
        r[1] = r[4] = static_cast<std::uint8_t>(n);
        r[2] = static_cast<std::uint8_t>(len);
        r[3] = static_cast<std::uint8_t>(n >> 8);
        std::copy_n(img.begin() + static_cast<long>(at), len, r.begin() + 5);
        r[133] = end_around_sum(r.data(), 133);
        return r;
    }

    // Start, every block with its terminate byte and TFB (but those in
    // `no_tfb`), each followed by a status read, then End_Flash_Load.
    void load(const Bytes &img, const std::set<unsigned> &no_tfb = {})
    {
        run_command({0x89, 0x89});
        ASSERT_EQ(status()[4] & 0x02, 0x02) << "flash-program mode";
        for (unsigned n = 0; n * 128 < img.size(); ++n) {
            write(0x60, record(img, n));
            write(0x40, {0x01});
            if (no_tfb.count(n) == 0)
                write(0x40, {0x8f, 0x8f});
            ASSERT_EQ(status()[5], 0) << "block " << n;
        }
        write(0x40, {0x8a, 0x8a});
    }

    // read-memory: the frame, then at once the 256-byte response.
    Bytes read_memory(std::uint32_t addr, std::uint8_t count, Bytes *response = nullptr)
    {
        Bytes f = {0xe0, 0x90, count, 0, 0, 0, 0, 0};
        for (int i = 0; i < 4; ++i)
            f[3 + i] = static_cast<std::uint8_t>(addr >> (24 - 8 * i));
        f[7] = end_around_sum(f.data(), 7);
        write(0x40, f);
        Bytes r = read(0x60, 256).data;
        if (response != nullptr)
            *response = r;
        return Bytes(r.begin() + 6, r.begin() + 6 + count);
    }

    // validate-image, then the status 10 s later: "valid", "reprogram" or "none".
    std::string verdict()
    {
        write(0x40, {0x8c, 0x8c});
        sleep(10);
        Bytes s = status();
        return (s[0] & 0x01) == 0 ? "none" : (s[6] & 0x08) != 0 ? "reprogram" : "valid";
    }

    // Status reads until power_up shows (at most 40).
    int polls_to_power_up()
    {
        for (int n = 1; n <= 40; ++n)
            if ((status()[2] & 0x04) != 0)
                return n;
        return 0;
    }
};

struct LoadCase {
    const char *name;
    const char *scenario;
    Bytes image;
    std::set<unsigned> no_tfb;
    std::uint8_t version_after;  // status byte 30
    const char *verdict;
    bool stored;  // 0x1000 shows the new image
};

class BbusimLoadTest : public BbusimFlashTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(BbusimLoadTest, EndFlashLoadKeepsOnlyAWholeImage)
{
    const LoadCase &c = GetParam();
    apply(c.scenario);
    load(c.image, c.no_tfb);
    EXPECT_EQ(polls_to_power_up(), 1) << "End_Flash_Load restarts the BBU";
    Bytes s = status();
    EXPECT_EQ(s[4] & 0x02, 0) << "flash-program mode ended";
    EXPECT_EQ(s[30], c.version_after);
    EXPECT_EQ(bbusim::peek_memory(0x1000, c.image.size()) == c.image, c.stored);
    EXPECT_EQ(verdict(), c.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Loads, BbusimLoadTest,
    ::testing::Values(
        LoadCase{"Whole", "", image_of(7), {}, 7, "valid", true},
        LoadCase{"Short200", "", image_of(7, 200), {}, 7, "valid", true},
        LoadCase{"Longer", "", image_of(7, 50000), {}, 7, "valid", true},
        LoadCase{"BadCrc", "", image_of(7, 49152, ImageFault::bad_crc), {}, 7, "reprogram", true},
        LoadCase{"BlockNotTaken", "", image_of(7), {3}, 5, "reprogram", false},
        LoadCase{"LastBlockNotTaken", "", image_of(7, 200), {1}, 5, "reprogram", false},
        LoadCase{"ForcedValid", "validate valid", image_of(7), {3}, 5, "valid", false},
        LoadCase{"ForcedReprogram", "validate reprogram", image_of(7), {}, 7, "reprogram", true},
        LoadCase{"NoAnswer", "validate none", image_of(7), {}, 7, "none", true},
        LoadCase{"NoBlockKeepsTheOldImage", "", Bytes{}, {}, 5, "valid", true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimFlashTest, BlockIsTakenByTheTfbAfterItsTerminateByteNotBefore)
{
    apply("fault tfb-lost 0 count 2");
    const Bytes img = image_of(9);
    run_command({0x89, 0x89});
    const Bytes before = status();
    write(0x60, record(img, 0));
    write(0x40, {0x8f, 0x8f});  // no terminate byte yet: nothing to take
    EXPECT_EQ(status()[12], before[12]);
    write(0x40, {0x01});
    EXPECT_EQ(status()[5], 0) << "the terminate byte is no frame in flash-program mode";
    for (int lost = 0; lost < 2; ++lost) {
        write(0x40, {0x8f, 0x8f});
        Bytes s = status();
        EXPECT_EQ(s[0] & 0x80, 0) << "a lost TFB never reaches the BBU";
        EXPECT_EQ(Bytes(s.begin() + 12, s.begin() + 14),
                  Bytes(before.begin() + 12, before.begin() + 14));
    }
    write(0x40, {0x8f, 0x8f});
    Bytes s = status();
    EXPECT_EQ(s[12], static_cast<std::uint8_t>(before[12] + 1));
    EXPECT_EQ(s[13], static_cast<std::uint8_t>(before[13] - 1));
    EXPECT_EQ(bbusim::peek_memory(0x1000, 128), Bytes(img.begin(), img.begin() + 128));
}

TEST_F(BbusimFlashTest, OutsideFlashModeTheTerminateByteAndTfbAreErrors)
{
    write(0x40, {0x01});
    EXPECT_EQ(status()[5], 0x08) << "no command 0x01";
    write(0x60, record(image_of(1), 0));
    EXPECT_EQ(status()[5], 0x08) << "a record outside a load is ignored";
    write(0x40, {0x8f, 0x8f});
    EXPECT_EQ(status()[0] & 0x80, 0) << "no Take_Flash_Block runs outside a load";
}

struct RecordCase {
    const char *name;
    const char *scenario;
    int at;  // byte changed (-1: none); 134: the write is one byte short
    std::uint8_t value;
    std::uint8_t byte5;
};

class BbusimRecordTest : public BbusimFlashTest,
                         public ::testing::WithParamInterface<RecordCase> {};

TEST_P(BbusimRecordTest, RecordIsCheckedAsItArrives)
{
    const RecordCase &c = GetParam();
    apply(c.scenario);
    run_command({0x89, 0x89});
    Bytes r = record(image_of(1), 5);
    if (c.at == 134)
        r.pop_back();
    else if (c.at >= 0)
        r[static_cast<std::size_t>(c.at)] = c.value;
    if (c.at >= 0 && c.at < 133)
        r[133] = end_around_sum(r.data(), 133);  // only the field is wrong
    write(0x60, r);
    EXPECT_EQ(status()[5], c.byte5);
    write(0x60, record(image_of(1), 5));
    EXPECT_EQ(status()[5], c.scenario[0] != '\0' ? 0x01 : 0) << "a good record clears it";
    write(0x60, record(image_of(1), 5));
    EXPECT_EQ(status()[5], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Records, BbusimRecordTest,
    ::testing::Values(RecordCase{"Good", "", -1, 0, 0x00},
                      RecordCase{"BadSumcheck", "", 133, 0x00, 0x01},
                      RecordCase{"OneByteShort", "", 134, 0, 0x01},
                      RecordCase{"LengthZero", "", 2, 0x00, 0x01},
                      RecordCase{"LengthOver128", "", 2, 0x81, 0x01},
                      RecordCase{"NotTfbCommand", "", 0, 0x8e, 0x01},
                      RecordCase{"FaultTwice", "fault block-checksum 5 count 2", -1, 0, 0x01}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimFlashTest, ReadMemoryAnswersAtOnceWithA256ByteResponse)
{
    EXPECT_EQ(read_memory(0x1000, 8), (Bytes{0xfe, 0xed, 0xfa, 0xce, 0, 0, 0, 0x05}))
        << "the default first image: version 5, as status byte 30 says";
    apply("memory 0x1010 11 22 33");
    Bytes r;
    Bytes data = read_memory(0x100e, 8, &r);
    EXPECT_EQ(r[0], 0xe0);
    EXPECT_EQ(r[4], 1);
    EXPECT_EQ(r[5], 0x90);
    EXPECT_EQ(Bytes(data.begin() + 2, data.begin() + 5), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(Bytes(r.begin() + 14, r.end() - 1), Bytes(241, 0x00));
    EXPECT_EQ(r[255], end_around_sum(r.data(), 255));
    EXPECT_EQ(read_memory(0x11000 - 2, 4), (Bytes{0xff, 0xff, 0xff, 0xff}))
        << "the flash ends at 0x10fff";
}

TEST_F(BbusimFlashTest, ReadMemoryFrameChecks)
{
    const std::vector<std::pair<Bytes, std::uint8_t>> frames = {
        {{0xe0, 0x90, 0x00, 0, 0, 0x10, 0}, 0x02},  // count 0
        {{0xe0, 0x90, 0x81, 0, 0, 0x10, 0}, 0x02},  // count 129
        {{0xe0, 0x91, 0x20, 0, 0, 0x10, 0}, 0x02},  // not 0x90
        {{0xe0, 0x90, 0x20, 0, 0, 0x10}, 0x10},     // a byte short
    };
    for (auto [f, err] : frames) {
        f.push_back(end_around_sum(f.data(), f.size()));
        write(0x40, f);
        EXPECT_EQ(status()[5], err) << f.size() << " bytes, count " << int(f[2]);
    }
}

TEST_F(BbusimFlashTest, FirstImageFaultSpoilsTheHeaderForItsCount)
{
    apply("fault first-image count 2");
    EXPECT_EQ(read_memory(0x1020, 8), read_memory(0x1020, 8)) << "past the header: no fault";
    EXPECT_EQ(read_memory(0x1000, 2), (Bytes{0x01, 0x12}));
    const Bytes last = read_memory(0x1017, 2), img = image_of(5);  // the header ends at 0x1017
    EXPECT_EQ(last, (Bytes{static_cast<std::uint8_t>(~img[0x17]), img[0x18]}));
    EXPECT_EQ(read_memory(0x1000, 2), (Bytes{0xfe, 0xed}));
}

TEST_F(BbusimFlashTest, ValidationVerdictComesTwoSecondsAfterTheCommand)
{
    apply("memory 0x1000 00");  // a first image with a bad magic
    write(0x40, {0x8c, 0x8c});
    EXPECT_EQ(status()[0] & 0x81, 0x80) << "in progress, no verdict";
    usleep(1999999);
    EXPECT_EQ(status()[0] & 0x81, 0x80);
    usleep(1);
    Bytes done = status();
    EXPECT_EQ(done[0] & 0x81, 0x01);
    EXPECT_EQ(done[6] & 0x08, 0x08);
}

struct ResetCase {
    const char *scenario;
    int polls;  // 0: never
};

class BbusimResetTest : public BbusimFlashTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(BbusimResetTest, PowerUpShowsAfterTheSetPolls)
{
    apply(GetParam().scenario);
    apply("status 2 04\nstatus 4 02");  // power_up from before, flash-program mode
    write(0x40, {0x8a, 0x8a});
    EXPECT_EQ(polls_to_power_up(), GetParam().polls);
    EXPECT_EQ(status()[4] & 0x02, 0);
    write(0x40, {0xe9, 0xe9});
    EXPECT_EQ(status()[2] & 0x04, 0) << "clear status";
}

INSTANTIATE_TEST_SUITE_P(Resets, BbusimResetTest,
                         ::testing::Values(ResetCase{"", 1}, ResetCase{"reset-polls 3", 4},
                                           ResetCase{"reset-polls never", 0}));

struct AlarmCase {
    const char *name;
    Bytes alarm;    // written from register 0x07
    Bytes control;  // written from register 0x0e
    bool resets;
};

class BbusimAlarmTest : public BbusimFlashTest, public ::testing::WithParamInterface<AlarmCase> {};

TEST_P(BbusimAlarmTest, AlarmEverySecondResetsTheProcessorAtTheNextSecond)
{
    const AlarmCase &c = GetParam();
    apply("clock @1000000000.250000\nstatus 4 02");  // 0.75 s to the next second
    write(0x68, c.alarm);
    write(0x68, c.control);
    sleep(2);
    write(0x68, {0x0f});
    EXPECT_EQ(read(0x68, 1).data[0] & 0x01, c.resets ? 1 : c.control[2] & 1) << "A1F";
    EXPECT_EQ(status()[4] & 0x02, c.resets ? 0 : 2) << "the restart ends flash-program mode";
    const std::vector<std::string> lines = bbusim::transcript();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "0.750000 reset 0x40 by alarm 0x68"),
              c.resets ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Alarms, BbusimAlarmTest,
    ::testing::Values(
        AlarmCase{"EverySecond", {0x07, 0x80, 0x80, 0x80, 0x80}, {0x0e, 0x05, 0x00}, true},
        AlarmCase{"DayMatched", {0x07, 0x80, 0x80, 0x80, 0x01}, {0x0e, 0x05, 0x00}, false},
        AlarmCase{"NoIntcn", {0x07, 0x80, 0x80, 0x80, 0x80}, {0x0e, 0x01, 0x00}, false},
        AlarmCase{"FlagStillSet", {0x07, 0x80, 0x80, 0x80, 0x80}, {0x0e, 0x05, 0x01}, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(BbusimFlashTest, BusClockGivesEachMessageItsTime)
{
    auto took = [this](const std::function<void()> &op) {
        const std::uint64_t t = bbusim::now_us();
        op();
        return bbusim::now_us() - t;
    };
    EXPECT_EQ(took([this] { status(); }), 0u) << "off by default";
    apply("bus-clock 100000\nfault fail 54");
    EXPECT_EQ(took([this] { status(); }), (11u + 9 * 33) * 10);
    EXPECT_EQ(took([this] { write(0x60, Bytes(134)); }), (11u + 9 * 134) * 10);
    EXPECT_EQ(took([this] { read(0x54, 8); }), 110u) << "a failed message: its address";
    apply("bus-clock 400000");
    EXPECT_EQ(took([this] { write(0x40, {0x8f, 0x8f}); }), 73u) << "29 bits, rounded up";
}

TEST_F(BbusimFlashTest, ScenarioSetsTheImageAndRefusesWhatDoesNotFit)
{
    apply("image 0x0c 200");
    EXPECT_EQ(status()[30], 0x0c);
    EXPECT_EQ(bbusim::peek_memory(0x1000, 200), image_of(0x0c, 200));
    for (const char *bad :
         {"memory 0xfff 00", "memory 0x10fff 00 00", "image 100", "image 1 0", "validate maybe",
          "reset-polls soon", "bus-clock 999", "fault tfb-lost 65536", "fault block-checksum"})
        EXPECT_NE(bbusim::apply(bad), "") << bad;
}

struct MkimageCase {
    const char *args;
    int status;
    Bytes image;
};

TEST(BbusimMkimageTest, WritesTheImageAskedOrRefuses)
{
    const std::string dir = std::string(BBU_TEST_SCRATCH) + "/mkimage", file = dir + "/out.img";
    mkdir(dir.c_str(), 0700);
    auto mkimage = [](const std::string &args) {
        return WEXITSTATUS(std::system((BBUSIM_MKIMAGE " " + args + " 2>/dev/null").c_str()));
    };
    const std::vector<MkimageCase> cases = {
        {"-v 7 -s 200", 0, image_of(7, 200)},
        {"-v 0x0b", 0, image_of(11)},
        {"-s 65536 -c crc", 0, image_of(1, 65536, ImageFault::bad_crc)},
        {"-c header", 0, image_of(1, 49152, ImageFault::bad_header_check)},
        {"-c magic", 0, image_of(1, 49152, ImageFault::bad_magic)},
        {"-c empty", 0, {}},
        {"-s 0", 2, {}},
        {"-v 256", 2, {}},
        {"-c size", 2, {}},
        {"--firmware-version 7 --size=200", 0, image_of(7, 200)},
        {"--spoil crc", 0, image_of(1, 49152, ImageFault::bad_crc)},
        {"--version", 0, {}},  // prints the version, writes no file
        {"--size", 2, {}},     // FILE taken as the size
    };
    for (const MkimageCase &c : cases) {
        std::remove(file.c_str());
        EXPECT_EQ(mkimage(std::string(c.args) + " " + file), c.status) << c.args;
        std::ifstream in(file, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
                  std::string(c.image.begin(), c.image.end()))
            << c.args;
    }
    const std::string link = dir + "/link.img";
    std::remove(link.c_str());
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    EXPECT_EQ(mkimage(link), 1) << "a planted symbolic link is not followed";
}

}  // namespace
