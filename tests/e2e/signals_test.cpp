// bbuctl cut short: by signals at exact bus events of a flash load (raised by
// the preloaded signal_at at a transcript line), and by a crash in the middle
// of a VPD update, which leaves the EEPROM in its write cycle. Each run is
// judged by what the simulated devices hold afterwards.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>

#include "bbusim.h"
#include "e2e_harness.h"

namespace {

constexpr int kOldVersion = 5;  // the default world's
constexpr int kNewVersion = 7;

struct Stopped {
    e2e::Run run;
    nlohmann::json doc;  // null unless standard output is exactly one document
    bbusim::ImageTruth truth{};
};

// bbuctl --json -y flash of a five-block image, `signals` raised after the
// `nth` transcript line holding `text`.
Stopped flash(const std::string &nth, const std::string &text, const std::string &signals)
{
    const std::string image = e2e::test_dir() + "/new.img";
    const std::vector<std::uint8_t> bytes = bbusim::make_image(kNewVersion, 640);
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
    e2e::Options o;
    o.env = {"BBU_SIGNAL_AT=" + nth + " " + text, "BBU_SIGNALS=" + signals};
    Stopped s;
    // Through env: the simulator puts its own preloads back in front.
    s.run = e2e::run({"env", std::string("LD_PRELOAD=") + SIGNAL_AT_PATH, BBUCTL_PATH, "--json",
                      "-y", "flash", image},
                     o);
    s.doc = nlohmann::json::parse(s.run.out, nullptr, false);
    EXPECT_FALSE(s.doc.is_discarded()) << s.run.out;
    EXPECT_EQ(bbusim::attach(s.run.root), "");
    s.truth = bbusim::peek_image();
    return s;
}

bool sent(const e2e::Run &r, const std::string &what)
{
    for (const std::string &e : r.events())
        if (e.find(what) != std::string::npos)
            return true;
    return false;
}

// During the blocks: the load is finished, said at once, and its outcome is
// the document.
TEST(Signals, DuringTheBlocksTheLoadIsFinished)
{
    const Stopped s = flash("2", "write 0x60 134", "15");
    EXPECT_EQ(s.run.status, 0) << s.run.err;
    EXPECT_EQ(s.doc.value("ok", false), true);
    EXPECT_NE(s.run.err.find("bbuctl: flash: SIGTERM: the load has started and is finished first"),
              std::string::npos)
        << s.run.err;
    EXPECT_TRUE(s.truth.valid && s.truth.version == kNewVersion && !s.truth.flash_mode);
}

// Sent with the soft reset, before Start_Flash_Load: the reset ends, nothing
// more is sent, the old image runs.
TEST(Signals, BeforeStartFlashLoadNothingMoreIsSent)
{
    const Stopped s = flash("1", "write 0x40 2 : 8a 8a", "15");
    EXPECT_EQ(s.run.status, 1) << s.run.err;
    EXPECT_EQ(s.doc["error"]["kind"], "signal") << s.run.out;
    EXPECT_EQ(s.doc["error"]["step"], "starting the flash load");
    EXPECT_EQ(s.doc["error"]["holds"], "restarted");
    EXPECT_FALSE(sent(s.run, "write 0x40 2 : 89 89"));
    EXPECT_TRUE(s.truth.valid && s.truth.version == kOldVersion && !s.truth.flash_mode);
}

// A second signal ends bbuctl at once: the line and the document say that
// the load is half-finished, and so it is.
TEST(Signals, ASecondSignalEndsAtOnce)
{
    const Stopped s = flash("2", "write 0x60 134", "15 15");
    EXPECT_EQ(s.run.status, 128 + 15);
    EXPECT_NE(s.run.err.find("bbuctl: flash: ended by SIGTERM: the BBU is in a half-finished "
                             "firmware load"),
              std::string::npos)
        << s.run.err;
    EXPECT_EQ(s.doc["error"]["kind"], "signal") << s.run.out;
    EXPECT_EQ(s.doc["error"]["image"], "load-in-progress");
    EXPECT_EQ(s.doc["changed"], true);
    EXPECT_TRUE(s.truth.flash_mode && !s.truth.valid);
}

// An update crashed after its first byte write leaves the EEPROM in its write
// cycle: vpd check waits it out and reads the VPD.
TEST(Signals, VpdCheckWaitsOutAWriteCycle)
{
    e2e::Options o;
    o.scenario = "vpd-write-cycle 10000\nfault crash sleep skip 3\n";
    const e2e::Run r = e2e::run(
        {"sh", "-c",
         std::string(BBUCTL_PATH) + " -y vpd set-codelevel Z9; exec " + BBUCTL_PATH + " vpd check"},
        o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(sent(r, "crash"));
    EXPECT_EQ(r.out, "layout: ok\ncheck byte: ok (0xd4)\n");
}

}  // namespace
