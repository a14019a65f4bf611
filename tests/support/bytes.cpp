#include "bytes.h"

#include <fstream>
#include <sstream>

namespace bbutest {

std::string hex(const void *data, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    const auto *p = static_cast<const std::uint8_t *>(data);
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0)
            out += ' ';
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0xf];
    }
    return out;
}

std::uint8_t end_around_sum(const std::uint8_t *p, std::size_t n)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum += p[i];
        if (sum > 0xff)
            sum -= 0xff;
    }
    return static_cast<std::uint8_t>(sum);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

}  // namespace bbutest
