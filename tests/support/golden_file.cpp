#include "golden_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bytes.h"

namespace golden {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// Text as one golden line: bytes outside printable ASCII, and the backslash,
// as \xNN; a blank that ends the line as \x20, so that it cannot get lost.
std::string shown(const std::string &text)
{
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", c);
        out += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, ch) : esc;
    }
    if (!out.empty() && out.back() == ' ')
        out.replace(out.size() - 1, 1, "\\x20");
    return out;
}

void check_file(const std::string &family, const std::string &name, const Lines &actual)
{
    const std::string path = std::string(BBU_TEST_DATA) + "/golden/" + family + "/" + name + ".txt";
    const char *update = std::getenv("BBU_GOLDEN_UPDATE");
    if (update != nullptr && std::string(update) == "1") {
        // Written beside it and renamed over it: tests running at the same
        // time read the family's files, and must never see one half-written.
        const fs::path dir = fs::path(path).parent_path(), part = dir / ("." + name + ".part");
        fs::create_directories(dir);
        {
            std::ofstream file(part, std::ios::trunc);
            for (const std::string &line : actual)
                file << line << '\n';
        }
        fs::rename(part, path);
        return;
    }
    if (!fs::exists(path)) {
        ADD_FAILURE() << "no golden file " << path
                      << "; BBU_GOLDEN_UPDATE=1 writes it: read it against the documents";
        return;
    }
    const Lines expected = bbutest::lines(bbutest::read_file(path));
    std::size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        ++i;
    if (i == expected.size() && i == actual.size())
        return;
    std::ostringstream msg;
    msg << "the session differs from " << path << " at line " << i + 1 << ":\n";
    for (std::size_t k = i < 3 ? 0 : i - 3; k < i; ++k)
        msg << "    " << k + 1 << "  " << expected[k] << "\n";
    const auto show = [&](const Lines &from, const char *sign, const char *end) {
        for (std::size_t k = i; k < std::min(from.size(), i + 3); ++k)
            msg << "  " << sign << " " << k + 1 << "  " << from[k] << "\n";
        if (i >= from.size())
            msg << "  " << sign << " " << end << "\n";
    };
    show(expected, "-", "(end of the golden file)");
    show(actual, "+", "(end of the session)");
    msg << "(- golden, + this run; BBU_GOLDEN_UPDATE=1 rewrites the golden files)";
    ADD_FAILURE() << msg.str();
}

void check_no_stray_files(const std::string &family, const std::vector<std::string> &names)
{
    const fs::path dir = fs::path(BBU_TEST_DATA) / "golden" / family;
    if (!fs::exists(dir))
        return;
    for (const auto &e : fs::directory_iterator(dir))
        EXPECT_TRUE(e.path().extension() != ".txt" ||
                    std::ranges::find(names, e.path().stem().string()) != names.end())
            << e.path().string() << " belongs to no row of the " << family << " table";
}

Lines hex_lines(const std::string &label, const unsigned char *p, std::size_t n)
{
    Lines out;
    for (std::size_t at = 0; at < n; at += 32) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%04zx: ", at);
        out.push_back(label + "|   " + offset +
                      bbutest::hex(p + at, std::min<std::size_t>(32, n - at)));
    }
    return out;
}

}  // namespace golden
