// scenario_lexer.cpp - a scenario line as words: blanks part them, "quoted
// text" is one word, and a word quoted in a message goes through printable(),
// so a scenario's bytes never reach a terminal raw.
#include <string>

#include "scenario_parse.h"

namespace bbusim {
namespace scenario_parse {

[[noreturn]] void refuse(const std::string &why)
{
    throw Refused(why);
}

// A word as the line has it, quoted for a message.
std::string shown(const Word &w)
{
    // Built by appending: GCC 12's -Wrestrict misjudges the chained
    // operator+ of short literals in a Release build.
    std::string text;
    if (w.quoted)
        text.append(1, '"').append(w.text).append(1, '"');
    std::string out(1, '\'');
    out.append(printable(w.quoted ? text : w.text)).append(1, '\'');
    return out;
}

// The text of a word that is never quoted: keywords, names, paths.
const std::string &bare(const Word &w, const std::string &what)
{
    if (w.quoted)
        refuse("expected " + what + ", got quoted text " + shown(w));
    return w.text;
}

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

Words split_words(const std::string &line)
{
    if (std::size_t nul = line.find('\0'); nul != std::string::npos)
        refuse("a NUL byte at column " + std::to_string(nul + 1));
    Words out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            ++i;
        } else if (line[i] == '#') {
            break;
        } else if (line[i] == '"') {
            std::size_t end = line.find('"', i + 1);
            if (end == std::string::npos)
                refuse("unterminated quoted text");
            out.push_back({line.substr(i + 1, end - i - 1), true});
            i = end + 1;
            if (i < line.size() && !blank(line[i]) && line[i] != '#')
                refuse("a blank must follow quoted text " + shown(out.back()));
        } else {
            std::size_t end = line.find_first_of(" \t\r#", i);
            if (end == std::string::npos)
                end = line.size();
            out.push_back({line.substr(i, end - i), false});
            i = end;
        }
    }
    return out;
}

}  // namespace scenario_parse
}  // namespace bbusim
