// battsnap's command line: values it refuses, -h, values it takes (with the
// conversation on the bus, the pauses and the report each leads to), and the
// invocation name in its messages.
#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;
using namespace ::testing;

// ---------------------------------------------------------------------------
// Refused values: the message and the usage text on standard error, status
// 255. -h: the build date and the usage text, status 0, later options not
// looked at. Either way the BBU is never opened.

const std::string kBadTime = "battsnap: Invalid time entered, must be integer\n";
const std::string kBadBattery = "battsnap: Invalid battery string entered, must be integer\n";
const std::string kBatteryRange = "battsnap: Battery String number out of range\n";
const std::string kLongName =
    "battsnap: Invalid file name entered, must be at most 49 characters\n";
// The compiler's date and time, e.g. "Apr 15 2009  14:52:29".
const std::string kHelp = "battsnap: Build date: [A-Z][a-z]{2} [ 123][0-9] [0-9]{4}  "
                          "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n";

struct Refused {
    const char *name;
    std::vector<std::string> args;
    std::string message;  // the line before the usage text (a pattern for -h)
};

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
    {"Help", {"-h"}, kHelp},
    {"HelpBeforeBadTime", {"-h", "-t", "x"}, kHelp},
    {"HelpBeforeBadBattery", {"-v", "-b", "2", "-h", "-b", "9"}, kHelp},
    {"HelpInAWord", {"-x", " -h  trailing words"}, kHelp},
};

class RefusedOrHelp : public TestWithParam<Refused> {};

TEST_P(RefusedOrHelp, MessageUsageAndStatusWithoutTouchingTheBbu)
{
    const Refused &c = GetParam();
    const bool help = c.message == kHelp;
    e2e::Run r = runBattsnap(c.args, kDistinct);
    EXPECT_EQ(r.status, help ? 0 : 255);
    EXPECT_EQ(r.out, "");
    const std::size_t usage = r.err.size() - std::min(r.err.size(), kUsage.size());
    EXPECT_EQ(r.err.substr(usage), kUsage);
    EXPECT_THAT(r.err.substr(0, usage),
                help ? MatchesRegex(c.message) : Matcher<std::string>(c.message));
    EXPECT_THAT(r.events(), ElementsAre(help ? "exit 0" : "exit 255")) << "the adapter was opened";
}

INSTANTIATE_TEST_SUITE_P(Options, RefusedOrHelp, ValuesIn(kRefused), bbutest::ByName());

// ---------------------------------------------------------------------------
// Accepted options, and the conversation they lead to: read the status; for
// the state save and then each string write the command, poll the status
// until the BBU is done, read the block. Every transfer directly follows a
// pause of the chosen length.

struct Accepted {
    const char *name;
    std::vector<std::string> args;
    int strings;
    unsigned sleepUs;
    std::string err;
    bool sameReport;    // the capture ends within a virtual second, so the golden report holds
    int busyPolls = 1;  // status polls that show each command still in progress
};

const Accepted kAccepted[] = {
    {"Defaults", {}, 3, 50000, "", true},
    {"OneString", {"-b", "1"}, 1, 50000, "", true},
    {"TwoStrings", {"-b", "2"}, 2, 50000, "", true},
    {"NeverBusy", {"-b", "1"}, 1, 50000, "", true, 0},
    {"BusyForTwoPolls", {"-b", "1"}, 1, 50000, "", true, 2},
    {"BusyForFourPolls", {"-b", "1"}, 1, 50000, "", true, 4},
    {"LeadingZero", {"-b", "03"}, 3, 50000, "", true},
    {"LastValueWins", {"-b", "1", "-b", "2"}, 2, 50000, "", true},
    {"ValueIsFirstWord", {"-b", "1 string please"}, 1, 50000, "", true},
    {"UnknownSkipped", {"-x", "-b", "1", "extra"}, 1, 50000, "", true},
    {"NineteenCharacterWordSkipped", {"-bbbbbbbbbbbbbbbbbb", "2"}, 3, 50000, "", true},
    {"OverlongOptionWordSkipped", {std::string("-b") + std::string(30, '1')}, 3, 50000, "", true},
    {"NoPause", {"-t", "0", "-b", "1"}, 1, 0, "New sleep Time: 0\n", true},
    {"EmptyTimeIsNoPause", {"-t", "", "-b", "3"}, 3, 0, "New sleep Time: 0\n", true},
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

class AcceptedOptions : public TestWithParam<Accepted> {};

TEST_P(AcceptedOptions, ConversationPacingAndReport)
{
    const Accepted &c = GetParam();
    e2e::Run r =
        runBattsnap(c.args, kDistinct + "busy-polls " + std::to_string(c.busyPolls) + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.err);

    const char *commands[] = {"c8 00 c8", "c4 01 c5", "c4 02 c6", "c4 03 c7"};
    std::vector<std::string> expected{"read 0x40 33 -> 33"}, shapes;
    for (int i = 0; i <= c.strings; ++i) {
        expected.push_back("write 0x40 3 : " + std::string(commands[i]) + " -> 3");
        expected.insert(expected.end(), static_cast<std::size_t>(c.busyPolls) + 1,
                        "read 0x40 33 -> 33");
        expected.push_back(i == 0 ? "read 0x60 86 -> 86" : "read 0x60 38 -> 38");
    }
    for (const bbutest::Transfer &t : bbutest::transfers(r.transcript))
        shapes.push_back(t.shape());
    EXPECT_THAT(shapes, ElementsAreArray(expected));

    const std::vector<std::string> ev = r.events();
    ASSERT_FALSE(ev.empty());
    EXPECT_THAT(ev.front(), StartsWith("open /dev/i2c-0b -> "));
    EXPECT_EQ(ev.back(), "exit 0");
    const std::string pause = "sleep " + std::to_string(c.sleepUs);
    for (std::size_t i = 1; i < ev.size(); ++i)
        if (ev[i].starts_with("read ") || ev[i].starts_with("write ")) {
            EXPECT_EQ(ev[i - 1], pause) << "before " << ev[i];
        }
    EXPECT_EQ(std::ranges::count_if(ev, [](const auto &e) { return e.starts_with("sleep "); }),
              static_cast<long>(expected.size()));

    if (c.sameReport) {
        EXPECT_EQ(r.out, goldenReport(c.strings));
    } else {
        EXPECT_THAT(r.out, StartsWith("BBU Battery Number: 165\n"));
    }
    // A quiet run traces nothing and leaves no file where it ran.
    EXPECT_EQ(r.trace_log(), "");
    for (const auto &entry : std::filesystem::directory_iterator(e2e::test_dir()))
        EXPECT_THAT(entry.path().filename().string(), StartsWith("run"));
}

INSTANTIATE_TEST_SUITE_P(Options, AcceptedOptions, ValuesIn(kAccepted), bbutest::ByName());

// ---------------------------------------------------------------------------
// The invocation name prefixes every message; a long one is cut to its first
// 31 characters and never stops a run.

TEST(InvocationName, LongPathIsCutTo31CharactersInMessages)
{
    const std::string link = scratchFile("a-long-name-for-the-state-save-capture-tool");
    std::filesystem::create_symlink(BATTSNAP_PATH, link);
    const std::string pgm = link.substr(0, 31);

    e2e::Run refused = e2e::run({link, "-b", "7"}, battsnapOptions(kDistinct));
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, pgm + ": Battery String number out of range\n" + kUsage);

    e2e::Run good = e2e::run({link, "-b", "1"}, battsnapOptions(kDistinct));
    EXPECT_EQ(good.status, 0);
    EXPECT_EQ(good.err, "");
    EXPECT_EQ(good.out, goldenReport(1));

    e2e::Run failed = e2e::run({link}, battsnapOptions(kDistinct + "fault gss-check count 5\n"));
    EXPECT_EQ(failed.status, 255);
    EXPECT_EQ(failed.err,
              pgm + ": Failure reading BBU General Status;\n                  cannot proceed\n");
}

}  // namespace
