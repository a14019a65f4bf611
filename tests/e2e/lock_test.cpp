// One program at a time on the BBU: ten battsnap captures started together
// on one simulated bus, fifty times over. Without the adapter lock, one
// capture takes another's response block (or finds its command refused);
// with it, every capture records the BBU's own bytes and exits with 0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "e2e_harness.h"

namespace {

TEST(AdapterLock, TenParallelCapturesEachRecordTheWholeBbu)
{
    // The first command clears status byte 5: with it clear from the start,
    // the first capture and the last record the same bytes.
    const std::string scenario =
        e2e::read_file(std::string(BBU_TEST_DATA) + "/battsnap_distinct.scn") + "status 5 00\n";
    const std::string dir = e2e::test_dir() + "/captures";
    std::filesystem::create_directories(dir);
    const char *path = std::getenv("PATH");
    const e2e::Options options = {
        .scenario = scenario,
        .env = {"PATH=" + std::filesystem::path(BATTSNAP_PATH).parent_path().string() + ":" +
                (path != nullptr ? path : "/usr/bin:/bin")}};
    const std::string captures =
        "cd \"$1\" && for i in 0 1 2 3 4 5 6 7 8 9; do"
        " (battsnap -t 0 -f rec$i 2>/dev/null; echo $? >status$i) & done; wait";

    const e2e::Run alone =
        e2e::run({"sh", "-c", "cd \"$1\" && battsnap -t 0 -f alone", "sh", dir}, options);
    const std::string expected = e2e::read_file(dir + "/alone");
    ASSERT_EQ(expected.size(), 209u) << alone.err;
    for (int repeat = 0; repeat < 50; ++repeat) {
        e2e::run({"sh", "-c", captures, "sh", dir}, options);
        for (int i = 0; i < 10; ++i) {
            const std::string n = std::to_string(i);
            ASSERT_EQ(e2e::read_file(dir + "/status" + n), "0\n") << "repeat " << repeat;
            ASSERT_EQ(e2e::read_file(dir + "/rec" + n), expected) << "repeat " << repeat;
            std::filesystem::remove(dir + "/rec" + n);
        }
    }
}

}  // namespace
