// battsnap's command line as golden sessions: values it refuses (the message
// and the usage text on standard error, status 255, the BBU never opened),
// -h (the build date and the usage text, status 0, later options not looked
// at), values it takes (the conversation on the bus, the pause of the chosen
// length before every transfer, the report); and the invocation name in its
// messages.
#include "battsnap_e2e.h"

namespace {

using namespace battsnap_e2e;

const golden::Row kOptions[] = {
    row("TimeMissing", {"-t"}),
    row("TimeNegative", {"-t", "-5"}),
    row("TimeFraction", {"-t", "1.5"}),
    row("TimeLetter", {"-t", "x"}),
    row("TimeDigitsThenLetter", {"-t", "100ms"}),
    row("TimeTenDigits", {"-t", "1234567890"}),
    row("TimeBadAfterGood", {"-b", "2", "-t", "+5"}),
    row("TimeBadBeforeHelp", {"-t", "x", "-h"}),
    row("TimeIsNextOption", {"-t", "-b", "2"}),
    row("BatteryMissing", {"-b"}),
    row("BatteryLetter", {"-b", "x"}),
    row("BatteryNegative", {"-b", "-1"}),
    row("BatteryThreeDigits", {"-b", "001"}),
    row("BatteryZero", {"-b", "0"}),
    row("BatteryEmptyIsZero", {"-b", ""}),
    row("BatteryFour", {"-b", "4"}),
    row("BatteryTwoDigits", {"-b", "99"}),
    row("BatteryRangeAfterTime", {"-t", "10", "-b", "4"}),
    row("FileNameFiftyCharacters", {"-f", std::string(50, 'n')}),
    row("Help", {"-h"}),
    row("HelpBeforeBadTime", {"-h", "-t", "x"}),
    row("HelpBeforeBadBattery", {"-v", "-b", "2", "-h", "-b", "9"}),
    row("HelpInAWord", {"-x", " -h  trailing words"}),
    // Taken: read the status; for the state save and then each string write
    // the command, poll the status until the BBU is done, read the block.
    row("Defaults", {}),
    row("OneString", {"-b", "1"}),
    row("TwoStrings", {"-b", "2"}),
    row("NeverBusy", {"-b", "1"}, "busy-polls 0\n"),
    row("BusyForTwoPolls", {"-b", "1"}, "busy-polls 2\n"),
    row("BusyForFourPolls", {"-b", "1"}, "busy-polls 4\n"),
    row("LeadingZero", {"-b", "03"}),
    row("LastValueWins", {"-b", "1", "-b", "2"}),
    row("ValueIsFirstWord", {"-b", "1 string please"}),
    row("UnknownSkipped", {"-x", "-b", "1", "extra"}),
    row("NineteenCharacterWordSkipped", {"-bbbbbbbbbbbbbbbbbb", "2"}),
    row("OverlongOptionWordSkipped", {std::string("-b") + std::string(30, '1')}),
    row("NoPause", {"-t", "0", "-b", "1"}),
    row("EmptyTimeIsNoPause", {"-t", "", "-b", "3"}),
    row("TenthOfASecond", {"-t", "100000"}),
    row("EveryTimeIsShown", {"-t", "5", "-b", "2", "-t", "70000"}),
    row("NineDigits", {"-b", "1", "-t", "123456789"}),
    row("FileWithoutNameIgnored", {"-b", "2", "-f"}),
};

GOLDEN_TABLE(battsnap_options, kOptions)

// The invocation name prefixes every message; a long one is cut to its first
// 31 characters and never stops a run.
TEST(InvocationName, LongPathIsCutTo31CharactersInMessages)
{
    const std::string link = scratchFile("a-long-name-for-the-state-save-capture-tool");
    std::filesystem::create_symlink(BATTSNAP_PATH, link);
    const std::pair<std::string, std::string> runs[] = {
        {"7", ""}, {"1", ""}, {"1", "fault gss-check count 5\n"}};
    for (const auto &[strings, faults] : runs) {
        const e2e::Run named = e2e::run({link, "-b", strings}, battsnapOptions(kDistinct + faults));
        const e2e::Run usual = runBattsnap({"-b", strings}, kDistinct + faults);
        EXPECT_EQ(named.status, usual.status) << faults;
        EXPECT_EQ(named.out, usual.out);
        EXPECT_EQ(named.err, std::regex_replace(usual.err, std::regex("^battsnap:"),
                                                link.substr(0, 31) + ":"));
    }
}

}  // namespace
