// bbuctl cut short: by a crash in the middle of a VPD update, which leaves
// the EEPROM in its write cycle. Each run is judged by what the simulated
// devices hold afterwards.
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace {

bool sent(const e2e::Run &r, const std::string &what)
{
    for (const std::string &e : r.events())
        if (e.find(what) != std::string::npos)
            return true;
    return false;
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
