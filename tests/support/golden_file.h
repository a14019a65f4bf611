// A session's lines against its reviewed golden file,
// tests/data/golden/FAMILY/NAME.txt: the one comparison of the in-process
// golden rows and of the end-to-end runs.
//
// A difference fails the test with the first differing lines, a few lines of
// context and the golden file's path. BBU_GOLDEN_UPDATE=1 rewrites the golden
// files instead; read each rewritten file against the documents before
// committing it.
#ifndef BBU_TESTS_SUPPORT_GOLDEN_FILE_H
#define BBU_TESTS_SUPPORT_GOLDEN_FILE_H

#include <string>
#include <vector>

namespace golden {

// Text as one golden line: bytes outside printable ASCII, and the backslash,
// as \xNN; a blank that ends the line as \x20, so that it cannot get lost.
std::string shown(const std::string &text);

// Hex bytes in lines of 32, each "label|   OFFSET: bytes".
std::vector<std::string> hex_lines(const std::string &label, const unsigned char *p, std::size_t n);

// Compares `lines` with the family's golden file NAME.txt.
void check_file(const std::string &family, const std::string &name,
                const std::vector<std::string> &lines);

// Fails for a golden file of the family that none of `names` writes.
void check_no_stray_files(const std::string &family, const std::vector<std::string> &names);

}  // namespace golden

#endif  // BBU_TESTS_SUPPORT_GOLDEN_FILE_H
