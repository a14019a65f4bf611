#include "test_names.h"

#include <algorithm>

namespace bbutest {

std::string current_test_name()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        info == nullptr ? "no_test" : std::string(info->test_suite_name()) + "." + info->name();
    std::ranges::replace(name, '/', '_');
    return name;
}

}  // namespace bbutest
