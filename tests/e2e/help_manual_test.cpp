// A program's --help and its man page name the same options; for bbuctl also
// the same commands, and its bash completion offers those commands.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "e2e_harness.h"

namespace {

using Words = std::set<std::string>;

struct ShownWord {
    std::string text;
    bool bold = false;
};

// The words a man page source line shows, each marked bold when any of it
// is: the font macros (.B, .BI, .BR, ...) alternate fonts between their
// arguments and join them without blanks; \fB, \fI, \fR and \fP switch fonts
// inline. Other requests show nothing here.
std::vector<ShownWord> shownWords(const std::string &line)
{
    std::string macro, rest = line;
    if (line.starts_with(".")) {
        macro = line.substr(0, line.find(' '));
        rest = macro.size() < line.size() ? line.substr(macro.size() + 1) : "";
    }
    std::string fonts = macro.empty() ? "R" : macro.substr(1);
    if (!std::regex_match(fonts, std::regex("[BIR]{1,2}")))
        return {};

    std::vector<ShownWord> words(1);
    bool quoted = false, separate = false;
    std::size_t arg = 0;
    char font = fonts[0], previous = font;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (c == ' ' && !quoted && !macro.empty()) {
            separate = true;
            continue;
        }
        if (separate) {
            // The next argument: .B and .I show a blank, the others switch font.
            separate = false;
            if (fonts.size() == 1)
                words.emplace_back();
            font = fonts[++arg % fonts.size()];
        }
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && i + 1 < rest.size()) {
            char e = rest[++i];
            if (e == 'f' && i + 1 < rest.size()) {
                char f = rest[++i];
                std::swap(font, previous);
                if (f != 'P')
                    font = f;
            } else if (e == '-') {
                words.back().text += '-';
            } else if (e == '(') {
                i += 2;
            }
        } else if (c == ' ') {
            words.emplace_back();
        } else {
            words.back().text += c;
            words.back().bold = words.back().bold || font == 'B';
        }
    }
    return words;
}

bool isOption(const std::string &w)
{
    return std::regex_match(w, std::regex("--?[A-Za-z0-9][A-Za-z0-9-]*"));
}

struct Manual {
    Words options;                   // bold options in the synopsis and the tags
    std::vector<std::string> forms;  // bold command words of the COMMANDS tags
};

Manual readManual(const std::string &path)
{
    Manual m;
    std::istringstream in(e2e::read_file(path));
    std::string line, section;
    bool tag = false;
    while (std::getline(in, line)) {
        if (line.starts_with(".SH ")) {
            section = line.substr(4);
            continue;
        }
        if (line == ".TP") {
            tag = true;
            continue;
        }
        if (section == "SYNOPSIS" || tag) {
            std::string form;
            bool leading = true;
            for (ShownWord &w : shownWords(line)) {
                std::string bare = std::regex_replace(w.text, std::regex("^[[|]+|[\\]|,.]+$"), "");
                if (w.bold && isOption(bare))
                    m.options.insert(bare);
                leading = leading && w.bold && std::regex_match(bare, std::regex("[a-z][a-z|-]*"));
                if (leading)
                    form += (form.empty() ? "" : " ") + bare;
            }
            if (tag && section == "COMMANDS" && !form.empty())
                m.forms.push_back(form);
        }
        tag = false;
    }
    return m;
}

Words helpOptions(const std::string &help)
{
    Words options;
    std::regex option("(?:^|[\\s\\[,|(])(--?[A-Za-z0-9][A-Za-z0-9-]*)");
    for (std::sregex_iterator i(help.begin(), help.end(), option), end; i != end; ++i)
        options.insert((*i)[1]);
    return options;
}

std::string help(const std::vector<std::string> &argv)
{
    e2e::Run r = e2e::run_program(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

struct Program {
    const char *name;
    std::string path;
    std::string page;
};

void PrintTo(const Program &p, std::ostream *os)
{
    *os << p.name;
}

// The forms bbuctl --help lists: "vpd set-codelevel", "decode", ...
std::vector<std::string> bbuctlForms()
{
    std::vector<std::string> forms;
    std::istringstream in(help({BBUCTL_PATH, "--help"}));
    std::string line;
    while (std::getline(in, line) && line != "Commands:") {
    }
    while (std::getline(in, line) && !line.empty()) {
        std::istringstream words(line.substr(0, line.find("  ", 2)));
        std::string form;
        for (std::string w; words >> w && std::regex_match(w, std::regex("[a-z][a-z|-]*"));)
            form += (form.empty() ? "" : " ") + w;
        forms.push_back(form);
    }
    return forms;
}

class HelpAndManual : public ::testing::TestWithParam<Program> {};

TEST_P(HelpAndManual, NameTheSameOptions)
{
    const Program &p = GetParam();
    std::string text = help({p.path, "--help"});
    if (std::string(p.name) == "bbuctl")
        for (const std::string &form : bbuctlForms())
            text += help({p.path, form.substr(0, form.find(' ')), "--help"});
    EXPECT_EQ(helpOptions(text), readManual(p.page).options);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, HelpAndManual,
    ::testing::Values(Program{"bbuctl", BBUCTL_PATH, BBU_DOCS "/bbuctl.8"},
                      Program{"bbu_i2cd", BBU_I2CD_PATH, BBU_DOCS "/bbu-i2cd.8"},
                      Program{"bbusim", BBUSIM_PATH, BBU_DOCS "/bbusim.1"},
                      Program{"bbusim_mkimage", BBUSIM_MKIMAGE_PATH, BBU_DOCS "/bbusim-mkimage.1"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(HelpAndManual, BbuctlCommandsInManualAndCompletion)
{
    const std::vector<std::string> forms = bbuctlForms();
    EXPECT_EQ(forms, readManual(BBU_DOCS "/bbuctl.8").forms);

    // What the completion offers after "bbuctl" and after each command word.
    std::map<std::string, Words> expected;
    for (const std::string &form : forms) {
        std::string first = form.substr(0, form.find(' '));
        expected[""].insert(first);
        std::istringstream alternatives(form.substr(std::min(form.size(), first.size() + 1)));
        for (std::string w; std::getline(alternatives, w, '|');)
            expected[first].insert(w);
    }
    for (const auto &[command, words] : expected) {
        std::string script = "source \"$0\"; COMP_WORDS=(bbuctl " + command +
                             " ''); COMP_CWORD=${#COMP_WORDS[@]}; ((COMP_CWORD--)); _bbuctl; "
                             "printf '%s\\n' \"${COMPREPLY[@]}\"";
        e2e::Run r = e2e::run_program({"/bin/bash", "-c", script, BBUCTL_COMPLETION});
        std::istringstream out(r.out);
        Words offered;
        for (std::string w; out >> w;)
            offered.insert(w);
        EXPECT_EQ(offered, words) << "after 'bbuctl " << command << "'";
    }
}

}  // namespace
