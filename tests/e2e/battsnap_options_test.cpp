// battsnap's command line: values it refuses, values it takes, -h, and the
// invocation name in its messages.
#include <regex>

#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;

// ---------------------------------------------------------------------------
// Refused values: the message and the usage text on standard error, status
// 255, and the BBU is never opened.

struct Refused {
    const char *name;
    std::vector<std::string> args;
    std::string message;  // the line before the usage text
};

const std::string kBadTime = "battsnap: Invalid time entered, must be integer\n";
const std::string kBadBattery = "battsnap: Invalid battery string entered, must be integer\n";
const std::string kBatteryRange = "battsnap: Battery String number out of range\n";
const std::string kLongName =
    "battsnap: Invalid file name entered, must be at most 49 characters\n";

void PrintTo(const Refused &c, std::ostream *os)
{
    *os << c.name;
}

const Refused kRefused[] = {
    {"TimeMissing", {"-t"}, kBadTime},
    {"TimeNegative", {"-t", "-5"}, kBadTime},
    {"TimeFraction", {"-t", "1.5"}, kBadTime},
    {"TimeLetter", {"-t", "x"}, kBadTime},
    {"TimeDigitsThenLetter", {"-t", "100ms"}, kBadTime},
    {"TimeTenDigits", {"-t", "1234567890"}, kBadTime},
    {"TimeBadAfterGood", {"-b", "2", "-t", "+5"}, kBadTime},
    {"TimeBadBeforeHelp", {"-t", "x", "-h"}, kBadTime},
    {"TimeIsNextOption", {"-t", "-b", "2"}, kBadTime},
    {"BatteryMissing", {"-b"}, kBadBattery},
    {"BatteryLetter", {"-b", "x"}, kBadBattery},
    {"BatteryNegative", {"-b", "-1"}, kBadBattery},
    {"BatteryThreeDigits", {"-b", "001"}, kBadBattery},
    {"BatteryZero", {"-b", "0"}, kBatteryRange},
    {"BatteryEmptyIsZero", {"-b", ""}, kBatteryRange},
    {"BatteryFour", {"-b", "4"}, kBatteryRange},
    {"BatteryTwoDigits", {"-b", "99"}, kBatteryRange},
    {"BatteryRangeAfterTime", {"-t", "10", "-b", "4"}, "New sleep Time: 10\n" + kBatteryRange},
    {"FileNameFiftyCharacters", {"-f", std::string(50, 'n')}, kLongName},
};

class RefusedOption : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedOption, MessageUsageAndStatus255WithoutTouchingTheBbu)
{
    const Refused &c = GetParam();
    e2e::Run r = runBattsnap(c.args, distinctScenario());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, c.message + kUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(countEvents(r, "open "), 0) << "the adapter was opened";
    EXPECT_EQ(transferShapes(r).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Options, RefusedOption, ::testing::ValuesIn(kRefused),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// -h: build date and usage, status 0, nothing read, later options not looked at.

class HelpOption : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(HelpOption, BuildDateThenUsageAndNothingRead)
{
    e2e::Run r = runBattsnap(GetParam(), distinctScenario());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    const std::size_t firstLine = r.err.find('\n') + 1;
    // The compiler's date and time: "Apr 15 2009" and "14:52:29".
    EXPECT_TRUE(
        std::regex_match(r.err.substr(0, firstLine),
                         std::regex("battsnap: Build date: [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}  "
                                    "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n")))
        << r.err;
    EXPECT_EQ(r.err.substr(firstLine), kUsage);
    EXPECT_EQ(countEvents(r, "open "), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Options, HelpOption,
    ::testing::Values(std::vector<std::string>{"-h"}, std::vector<std::string>{"-h", "-t", "x"},
                      std::vector<std::string>{"-v", "-b", "2", "-h", "-b", "9"},
                      std::vector<std::string>{"-x", " -h  trailing words"}));

// ---------------------------------------------------------------------------
// Accepted options: how many strings are read, the pause before every
// transfer, what standard error says, and the report.

struct Accepted {
    const char *name;
    std::vector<std::string> args;
    int strings;
    unsigned sleepUs;
    std::string err;
    bool sameReport;  // the capture ends within a virtual second, so the golden report holds
};

void PrintTo(const Accepted &c, std::ostream *os)
{
    *os << c.name;
}

const Accepted kAccepted[] = {
    {"Defaults", {}, 3, 50000, "", true},
    {"OneString", {"-b", "1"}, 1, 50000, "", true},
    {"TwoStrings", {"-b", "2"}, 2, 50000, "", true},
    {"LeadingZero", {"-b", "03"}, 3, 50000, "", true},
    {"LastValueWins", {"-b", "1", "-b", "2"}, 2, 50000, "", true},
    {"ValueIsFirstWord", {"-b", "1 string please"}, 1, 50000, "", true},
    {"UnknownSkipped", {"-x", "-b", "1", "extra"}, 1, 50000, "", true},
    {"NineteenCharacterWordSkipped", {"-bbbbbbbbbbbbbbbbbb", "2"}, 3, 50000, "", true},
    {"OverlongOptionWordSkipped", {std::string("-b") + std::string(30, '1')}, 3, 50000, "", true},
    {"NoPause", {"-t", "0", "-b", "1"}, 1, 0, "New sleep Time: 0\n", true},
    {"EmptyTimeIsNoPause", {"-t", "", "-b", "1"}, 1, 0, "New sleep Time: 0\n", true},
    {"TenthOfASecond", {"-t", "100000"}, 3, 100000, "New sleep Time: 100000\n", false},
    {"EveryTimeIsShown",
     {"-t", "5", "-b", "2", "-t", "70000"},
     2,
     70000,
     "New sleep Time: 5\nNew sleep Time: 70000\n",
     false},
    {"NineDigits",
     {"-b", "1", "-t", "123456789"},
     1,
     123456789,
     "New sleep Time: 123456789\n",
     false},
    {"FileWithoutNameIgnored", {"-b", "2", "-f"}, 2, 50000, "", true},
};

class AcceptedOptions : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedOptions, StringsPacingAndReport)
{
    const Accepted &c = GetParam();
    e2e::Run r = runBattsnap(c.args, distinctScenario());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.err);

    // One battery-string command per string, strings counted from 1.
    std::vector<std::string> stringCommands;
    for (const std::string &t : transferShapes(r))
        if (startsWith(t, "write 0x40 3 : c4"))
            stringCommands.push_back(t);
    const std::vector<std::string> allThree = {"write 0x40 3 : c4 01 c5 -> 3",
                                               "write 0x40 3 : c4 02 c6 -> 3",
                                               "write 0x40 3 : c4 03 c7 -> 3"};
    EXPECT_EQ(stringCommands,
              std::vector<std::string>(allThree.begin(), allThree.begin() + c.strings));

    // Every pause has the chosen length.
    int pauses = 0;
    for (const Event &e : events(r)) {
        if (startsWith(e.text, "sleep ")) {
            EXPECT_EQ(e.text, "sleep " + std::to_string(c.sleepUs));
            ++pauses;
        }
    }
    EXPECT_EQ(pauses, 1 + 4 * (1 + c.strings));

    if (c.sameReport) {
        EXPECT_EQ(r.out, goldenReport(c.strings));
    } else {
        EXPECT_TRUE(startsWith(r.out, "BBU Battery Number: 165\n")) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Options, AcceptedOptions, ::testing::ValuesIn(kAccepted),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The invocation name prefixes every message; a long one is cut to its first
// 31 characters and never stops a run.

TEST(InvocationName, LongPathIsCutTo31CharactersInMessages)
{
    const std::string link = scratchFile("a-long-name-for-the-state-save-capture-tool");
    std::filesystem::create_symlink(BATTSNAP_PATH, link);
    ASSERT_GT(link.size(), 31u);
    const std::string pgm = link.substr(0, 31);

    e2e::Run refused = e2e::run({link, "-b", "7"}, battsnapOptions(distinctScenario()));
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, pgm + ": Battery String number out of range\n" + kUsage);

    e2e::Run good = e2e::run({link, "-b", "1"}, battsnapOptions(distinctScenario()));
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.err, "");
    EXPECT_EQ(good.out, goldenReport(1));

    e2e::Run failed =
        e2e::run({link}, battsnapOptions(distinctScenario() + "fault gss-check count 5\n"));
    EXPECT_EQ(failed.status, 255);
    EXPECT_EQ(failed.err,
              pgm + ": Failure reading BBU General Status;\n                  cannot proceed\n");
}

}  // namespace
