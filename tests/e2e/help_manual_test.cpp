// A program's --help and its man page name the same options; for bbuctl also
// the same commands, and its bash completion offers those commands.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "e2e_harness.h"

namespace {

using Words = std::set<std::string>;

// Man page source text as shown: font switches gone, "\-" a hyphen.
std::string unescaped(const std::string &text)
{
    return std::regex_replace(std::regex_replace(text, std::regex(R"(\\f[BIRP])"), ""),
                              std::regex(R"(\\-)"), "-");
}

// The command words a text starts with: "vpd set-codelevel" of "vpd set-codelevel XY".
std::string leadingWords(const std::string &text)
{
    std::istringstream words(text);
    std::string form;
    for (std::string w; words >> w && std::regex_match(w, std::regex("[a-z][a-z|-]*"));)
        form += (form.empty() ? "" : " ") + w;
    return form;
}

struct Manual {
    Words options;                   // the options in the synopsis and the tags
    std::vector<std::string> forms;  // the bold command words of the COMMANDS tags
};

// The tags are the lines after ".TP". A tag's bold part is the whole of a
// ".B" line, or the first argument of a ".BI" or ".BR" line.
Manual readManual(const std::string &path)
{
    Manual m;
    const std::regex option(
        R"((?:^|[\s"\[|(]|\\f[BIRP])((?:\\-){1,2}[A-Za-z0-9](?:[A-Za-z0-9]|\\-)*))");
    std::string section;
    bool tag = false;
    for (const std::string &line : e2e::lines(e2e::read_file(path))) {
        if (line.starts_with(".SH "))
            section = line.substr(4);
        if (section == "SYNOPSIS" || tag)
            for (std::sregex_iterator i(line.begin(), line.end(), option), end; i != end; ++i)
                m.options.insert(unescaped((*i)[1]));
        if (tag && section == "COMMANDS" && line.starts_with(".B")) {
            const std::string rest = line.substr(line.find(' ') + 1);
            const std::string bold = line.starts_with(".B ") ? rest
                                     : rest.starts_with('"') ? rest.substr(1, rest.find('"', 1) - 1)
                                                             : rest.substr(0, rest.find(' '));
            if (const std::string form = leadingWords(unescaped(bold)); !form.empty())
                m.forms.push_back(form);
        }
        tag = line == ".TP";
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
    while (std::getline(in, line) && !line.empty())
        forms.push_back(leadingWords(line.substr(0, line.find("  ", 2))));
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
