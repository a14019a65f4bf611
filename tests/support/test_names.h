// The running test's name, for its directories.
#ifndef BBU_TESTS_SUPPORT_TEST_NAMES_H
#define BBU_TESTS_SUPPORT_TEST_NAMES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace bbutest {

// "Suite.Test" of the running test, '/' made '_' so that it names one directory.
// A sweep run on another simulated BBU (BBU_SWEEP_DEVICE, "device strict") gets
// directories of its own, "Suite.Test.device-strict", to run beside the default.
inline std::string current_test_name()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        info == nullptr ? "no_test" : std::string(info->test_suite_name()) + "." + info->name();
    if (const char *device = std::getenv("BBU_SWEEP_DEVICE"); device != nullptr && *device != 0)
        name += "." + std::string(device);
    std::ranges::replace(name, '/', '_');
    std::ranges::replace(name, ' ', '-');
    return name;
}

}  // namespace bbutest

#endif  // BBU_TESTS_SUPPORT_TEST_NAMES_H
