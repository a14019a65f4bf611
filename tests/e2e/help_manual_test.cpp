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
// arguments and join them without blanks (they are rewritten here as the
// inline font switches they stand for); \fB, \fI, \fR and \fP switch fonts
// inline. Other requests show nothing here.
std::vector<ShownWord> shownWords(const std::string &line)
{
    std::string text = line;
    if (line.starts_with(".")) {
        const std::string fonts = line.substr(1, line.find(' ') - 1);
        if (!std::regex_match(fonts, std::regex("[BIR]{1,2}")))
            return {};
        const std::string rest =
            line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        const std::regex arg("\"([^\"]*)\"|([^ ]+)");
        text.clear();
        std::size_t n = 0;
        for (std::sregex_iterator i(rest.begin(), rest.end(), arg), end; i != end; ++i, ++n)
            text += std::string(fonts.size() == 1 && n > 0 ? " " : "") + "\\f" +
                    fonts[n % fonts.size()] + ((*i)[1].matched ? (*i)[1] : (*i)[2]).str();
    }
    std::vector<ShownWord> words(1);
    char font = 'R', previous = 'R';
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ') {
            words.emplace_back();
        } else if (text[i] != '\\' || i + 1 == text.size()) {
            words.back().text += text[i] == '"' ? "" : std::string(1, text[i]);
            words.back().bold = words.back().bold || font == 'B';
        } else if (text[++i] == 'f' && i + 1 < text.size()) {
            std::swap(font, previous);
            font = text[++i] == 'P' ? font : text[i];
        } else if (text[i] == '-') {
            words.back().text += '-';
        } else if (text[i] == '(') {
            i += 2;
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
