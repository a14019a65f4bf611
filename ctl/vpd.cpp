// vpd.cpp - bbuctl vpd: the vital product data in the BBU's EEPROM decoded,
// its layout and check byte checked, and its code level updated.
#include "invocation.h"

#include <bbu/bbu.h>
#include <bbu/vpd_layout.h>

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <iterator>
#include <string>

namespace bbuctl {

namespace {

constexpr const auto &kFields = bbu_vpd::KEYWORDS;
constexpr int LAYOUT_BYTE0_CHECK = bbu_vpd::BAD_DUMMY;

using Image = std::array<unsigned char, BBU_VPD_LEN>;

// What is wrong with the layout, by bad_vpd()'s result (1 to 11).
std::string layoutProblem(int layout, const Image *image)
{
    char text[64];
    if (layout == LAYOUT_BYTE0_CHECK && image != nullptr)
        std::snprintf(text, sizeof text, "byte 0 is 0x%02x, not 0x00", (*image)[0]);
    else if (layout == LAYOUT_BYTE0_CHECK)
        std::snprintf(text, sizeof text, "byte 0 is not 0x00");
    else if (layout >= 1 && layout <= static_cast<int>(std::size(kFields)))
        std::snprintf(text, sizeof text, "no \"%.*s\" at byte %zu",
                      static_cast<int>(kFields[layout - 1].head.size()),
                      kFields[layout - 1].head.data(), kFields[layout - 1].headAt);
    else
        std::snprintf(text, sizeof text, "layout check %d", layout);
    return text;
}

// The layout and check byte verdicts, one line each (with --json, members).
// True when both hold.
bool showVerdicts(const Image &image, bool checkByteOk)
{
    const int layout = bad_vpd(image.data());
    const unsigned char stored = image[BBU_VPD_LEN - 1];
    const unsigned char computed = xorcheck(image.data(), BBU_VPD_LEN - 1);
    if (jsonOutput()) {
        nlohmann::ordered_json &doc = document();
        doc["layout_ok"] = layout == 0;
        doc["layout_problem"] =
            layout == 0 ? nullptr : nlohmann::ordered_json(layoutProblem(layout, &image));
        doc["check_byte_ok"] = checkByteOk;
        doc["check_byte_stored"] = stored;
        doc["check_byte_computed"] = computed;
        return layout == 0 && checkByteOk;
    }
    if (layout == 0)
        std::printf("layout: ok\n");
    else
        std::printf("layout: bad (%s)\n", layoutProblem(layout, &image).c_str());
    if (checkByteOk)
        std::printf("check byte: ok (0x%02x)\n", stored);
    else
        std::printf("check byte: bad (stored 0x%02x, computed 0x%02x)\n", stored, computed);
    return layout == 0 && checkByteOk;
}

// A field's name in the documents: its label in lower case, blanks as '_'.
std::string fieldKey(const char *label)
{
    std::string key = label;
    for (char &c : key)
        c = c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

// Two code-level characters as the checked update reports them (first * 256 + second).
std::string codeLevelChars(int value)
{
    const unsigned char chars[2] = {static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value)};
    return printable(chars, 2);
}

// The code level's characters as the document gives them, null when not read.
nlohmann::ordered_json codeLevelMember(int value)
{
    return value >= 0 ? nlohmann::ordered_json(codeLevelChars(value)) : nullptr;
}

// vpd set-codelevel XY --check: one checked read of the image tells what the
// update would write; nothing is written.
int checkCodeLevel(const std::string &level)
{
    const char *const what = "vpd set-codelevel";
    Image image{};
    bbu_checked_result result{};
    {
        BusSession bus(what);
        bbu_checked_read_vpd(bus.fd(), image.data(), &result, settings.verbose);
    }
    if (result.ok == 0 && result.why != BBU_WHY_BAD_CHECK_BYTE)
        return reportFailure(what, result, false);
    if (const int layout = bad_vpd(image.data()); layout != 0)
        return fail(ErrorKind::verdict,
                    "%s: the VPD's layout is bad (%s): the update would not "
                    "write it",
                    what, layoutProblem(layout, &image).c_str());
    const bool change = bbu_codelevel_in_place(image.data(), level.c_str()) == 0;
    setCheck(change);
    const std::string before = codeLevelChars(result.before);
    if (jsonOutput()) {
        document()["before"] = before;
        document()["after"] = level;
    } else if (change) {
        std::printf("code level's last two characters %s -> %s (check: nothing written)\n",
                    before.c_str(), level.c_str());
    } else {
        std::printf("code level's last two characters %s: already set (check: nothing "
                    "written)\n",
                    before.c_str());
    }
    return EXIT_OK;
}

int setCodeLevel(const std::vector<std::string> &operands, bool check)
{
    setForm("vpd set-codelevel", true);
    if (operands.size() != 2)
        usageError(&vpdCommand, "vpd set-codelevel takes the two new characters, e.g. 'A3'");
    const std::string &level = operands[1];
    if (level.size() != 2 || level[0] <= ' ' || level[0] >= 0x7f || level[1] <= ' ' ||
        level[1] >= 0x7f)
        usageError(&vpdCommand, "the code level's last two characters must be two printable "
                                "characters, e.g. 'A3'");
    if (check)
        return checkCodeLevel(level);
    confirm(vpdCommand, "set the VPD code level's last two characters to " + level);

    bbu_checked_result result{};
    {
        BusSession bus("vpd set-codelevel");
        bbu_checked_set_codelevel(bus.fd(), level.c_str(), &result, settings.verbose);
    }
    setChanged(result.changed != 0);
    document()["before"] = codeLevelMember(result.before);
    document()["after"] = codeLevelMember(result.after);
    if (result.ok == 0) {
        std::string cause;
        if (result.why == BBU_WHY_VPD_LAYOUT)
            cause = layoutProblem(result.rc, nullptr);
        else if (result.why == BBU_WHY_MISMATCH)
            cause = "first at byte " + std::to_string(result.rc);
        const char *advice = nullptr;
        if (result.holds == BBU_HOLDS_OTHER_VALUE)
            advice = "the code level is partly written: run 'bbuctl vpd set-codelevel' again";
        else if (result.changed != 0)
            advice = "check the VPD with 'bbuctl vpd check' and run the update again";
        return reportFailure("vpd set-codelevel", result, true, "", cause, advice);
    }
    const std::string evidence = verified(result);
    if (jsonOutput())
        return EXIT_OK;
    if (result.changed == 0)
        std::printf("code level's last two characters %s: already set, nothing written "
                    "(verified: %s)\n",
                    codeLevelChars(result.after).c_str(), evidence.c_str());
    else
        std::printf("code level's last two characters %s -> %s (verified: %s)\n",
                    codeLevelChars(result.before).c_str(), codeLevelChars(result.after).c_str(),
                    evidence.c_str());
    return EXIT_OK;
}

int runVpd(int argc, char **argv)
{
    bool checkMode = false;
    const option extra[] = {{"check", no_argument, nullptr, LONG_ONLY}};
    std::vector<std::string> operands =
        parseOptions(vpdCommand, argc, argv, extra, [&](int, const char *) { checkMode = true; });
    if (!operands.empty() && operands[0] == "set-codelevel")
        return setCodeLevel(operands, checkMode);
    if (checkMode)
        usageError(&vpdCommand, "--check goes with 'vpd set-codelevel'");
    const bool check = !operands.empty() && operands[0] == "check";
    if (operands.size() > (check ? 1U : 0U))
        usageError(&vpdCommand, "unexpected argument '%s'", operands[check ? 1 : 0].c_str());
    setForm(check ? "vpd check" : "vpd", false);

    Image image{};
    bbu_checked_result result{};
    const char *what = check ? "vpd check" : "vpd";
    {
        BusSession bus(what);
        bbu_checked_read_vpd(bus.fd(), image.data(), &result, settings.verbose);
    }
    // A wrong check byte that two reads agree on is the VPD's content: a
    // verdict to show, not a failed read.
    const bool checkByteOk = result.ok != 0;
    if (!checkByteOk && result.why != BBU_WHY_BAD_CHECK_BYTE)
        return reportFailure(what, result, false);
    if (!check) {
        for (const bbu_vpd::Keyword &field : kFields) {
            // Values are padded with blanks to their field's width.
            std::string value = printable(image.data() + field.valueAt, field.valueLen);
            value.erase(value.find_last_not_of(' ') + 1);
            if (jsonOutput())
                document()["fields"][fieldKey(field.label)] = value;
            else
                std::printf("%s: %s\n", field.label, value.c_str());
        }
        showVerdicts(image, checkByteOk);
        return EXIT_OK;
    }
    if (showVerdicts(image, checkByteOk))
        return EXIT_OK;
    return fail(ErrorKind::verdict, "vpd check: the VPD is not valid");
}

}  // namespace

const Command vpdCommand = {
    "vpd",
    runVpd,
    {{"vpd", "the vital product data decoded, with its verdicts"},
     {"vpd check", "check the VPD's layout and check byte (exit 1 when bad)"},
     {"vpd set-codelevel XY [--check]", "set the code level's last two characters to XY", true}},
    "Read the 256-byte VPD image from the EEPROM at 0x54. 'vpd' shows its fields\n"
    "(part, FRU and serial numbers, EC level, manufacturer, code level, name, DFL,\n"
    "PC, BAT) and the verdicts on its layout and check byte; 'vpd check' shows the\n"
    "verdicts only and exits with 1 when one is bad; a read that fails, or reads\n"
    "that disagree, exit 1. 'vpd set-codelevel XY' writes XY as the code level's\n"
    "last two characters with a new check byte, only when two reads of the image\n"
    "agree and its layout is right, waits out the EEPROM's write cycles, reads the\n"
    "whole image back and compares it, and prints the change (\"code level's last\n"
    "two characters A1 -> XY\"); it asks first. A code level that already reads XY\n"
    "in an image the update would leave as it is gets no write.\n"
    "\n"
    "  --check  with 'vpd set-codelevel': read the VPD and say what would change;\n"
    "           write nothing\n",
    false,
};

}  // namespace bbuctl
