// What a call writes to standard output and standard error. GoogleTest's own
// capture writes to /tmp, which the tests never touch: this one keeps the
// text in memory files.
#ifndef BBU_TESTS_SUPPORT_CAPTURE_H
#define BBU_TESTS_SUPPORT_CAPTURE_H

#include <functional>
#include <string>

namespace bbutest {

struct Output {
    std::string out, err;
};

// Runs `call` with both streams redirected (C stdio flushed before and after).
Output capture(const std::function<void()> &call);

}  // namespace bbutest

#endif  // BBU_TESTS_SUPPORT_CAPTURE_H
