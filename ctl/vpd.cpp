// vpd.cpp - bbuctl vpd: the vital product data in the BBU's EEPROM decoded,
// its layout and check byte checked, and its code level updated.
#include "invocation.h"

#include <bbu/bbu.h>

#include <array>
#include <cstddef>
#include <cstdio>

namespace bbuctl {

namespace {

// A keyword field of the VPD image: its head, where the head and the value
// lie, and its label. In this order they are the layout checks 1 to 10 of
// bad_vpd().
struct VpdField {
    const char *head;
    std::size_t headAt;
    std::size_t valueAt;
    std::size_t valueLen;
    const char *label;
};

constexpr std::size_t VPD_LAST_TEXT_BYTE = 254;  // byte 255 is the check byte

constexpr VpdField kFields[] = {
    {"PN=", offsetof(BBU_VPD_DATA, partnum_head), offsetof(BBU_VPD_DATA, partnum), 8,
     "part number"},
    {"FN=", offsetof(BBU_VPD_DATA, fru_head), offsetof(BBU_VPD_DATA, frunum), 8, "FRU number"},
    {"SN=", offsetof(BBU_VPD_DATA, serial_head), offsetof(BBU_VPD_DATA, serial), 12,
     "serial number"},
    {"EC=", offsetof(BBU_VPD_DATA, ec_head), offsetof(BBU_VPD_DATA, eclevel), 10, "EC level"},
    {"MFR=", offsetof(BBU_VPD_DATA, mfr_head), offsetof(BBU_VPD_DATA, mfr), 6, "manufacturer"},
    {"CL=", offsetof(BBU_VPD_DATA, codelevel_head), offsetof(BBU_VPD_DATA, codelevel), 8,
     "code level"},
    {"name=", offsetof(BBU_VPD_DATA, name_head), offsetof(BBU_VPD_DATA, name), 10, "name"},
    {"DFL=", 88, 92, 5, "DFL"},
    {"PC=", 97, 100, 8, "PC"},
    {"BAT=", 108, 112, VPD_LAST_TEXT_BYTE + 1 - 112, "BAT"},
};
constexpr int LAYOUT_BYTE0_CHECK = 11;  // bad_vpd(): byte 0 is not 0x00

using Image = std::array<unsigned char, BBU_VPD_LEN>;

// The layout and check byte verdicts, one line each. True when both hold.
bool printVerdicts(const Image &image, int checkResult)
{
    const int layout = bad_vpd(image.data());
    if (layout == 0)
        std::printf("layout: ok\n");
    else if (layout == LAYOUT_BYTE0_CHECK)
        std::printf("layout: bad (byte 0 is 0x%02x, not 0x00)\n", image[0]);
    else
        std::printf("layout: bad (no \"%s\" at byte %zu)\n", kFields[layout - 1].head,
                    kFields[layout - 1].headAt);

    const unsigned char stored = image[BBU_VPD_LEN - 1];
    const unsigned char computed = xorcheck(image.data(), BBU_VPD_LEN - 1);
    if (checkResult == BBU_VPD_CHECK_OK)
        std::printf("check byte: ok (0x%02x)\n", stored);
    else
        std::printf("check byte: bad (stored 0x%02x, computed 0x%02x)\n", stored, computed);
    return layout == 0 && checkResult == BBU_VPD_CHECK_OK;
}

int setCodeLevel(const std::vector<std::string> &operands)
{
    if (operands.size() != 2)
        usageError(&vpdCommand, "vpd set-codelevel takes the two new characters, e.g. 'A3'");
    const std::string &level = operands[1];
    if (level.size() != 2 || level[0] <= ' ' || level[0] >= 0x7f || level[1] <= ' ' ||
        level[1] >= 0x7f)
        usageError(&vpdCommand, "the code level's last two characters must be two printable "
                                "characters, e.g. 'A3'");
    confirm(vpdCommand, "set the VPD code level's last two characters to " + level);

    int rc = 0;
    {
        BusSession bus(vpdCommand);
        rc = update_vpd_codelevel(bus.fd(), level.c_str(), settings.verbose, 0);
    }
    if (rc == BBU_VPD_READ_INCONSISTENT) {
        message("vpd set-codelevel: the VPD read back differently each time; nothing written");
        return EXIT_FAILED;
    }
    if (rc != BBU_VPD_CHECK_OK) {
        message("vpd set-codelevel: the VPD read back after the update has a wrong check byte");
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int runVpd(int argc, char **argv)
{
    std::vector<std::string> operands = parseOptions(vpdCommand, argc, argv);
    if (!operands.empty() && operands[0] == "set-codelevel")
        return setCodeLevel(operands);
    const bool check = !operands.empty() && operands[0] == "check";
    if (operands.size() > (check ? 1U : 0U))
        usageError(&vpdCommand, "unexpected argument '%s'", operands[check ? 1 : 0].c_str());

    Image image{};
    int checkResult = 0;
    {
        BusSession bus(vpdCommand);
        checkResult = read_vpd_buff(bus.fd(), settings.verbose, image.data());
    }
    if (!check) {
        for (const VpdField &field : kFields) {
            // Values are padded with blanks to their field's width.
            std::string value = printable(image.data() + field.valueAt, field.valueLen);
            value.erase(value.find_last_not_of(' ') + 1);
            std::printf("%s: %s\n", field.label, value.c_str());
        }
        printVerdicts(image, checkResult);
        return EXIT_OK;
    }
    if (printVerdicts(image, checkResult))
        return EXIT_OK;
    message("vpd check: the VPD is not valid");
    return EXIT_FAILED;
}

}  // namespace

const Command vpdCommand = {
    "vpd",
    runVpd,
    {{"vpd", "the vital product data decoded, with its verdicts"},
     {"vpd check", "check the VPD's layout and check byte (exit 1 when bad)"},
     {"vpd set-codelevel XY", "set the code level's last two characters to XY"}},
    "Read the 256-byte VPD image from the EEPROM at 0x54. 'vpd' shows its fields\n"
    "(part, FRU and serial numbers, EC level, manufacturer, code level, name, DFL,\n"
    "PC, BAT) and the verdicts on its layout and check byte; 'vpd check' shows the\n"
    "verdicts only and exits with 1 when one is bad. 'vpd set-codelevel XY' writes\n"
    "XY as the code level's last two characters with a new check byte and reads\n"
    "the image back to verify it; it asks first.\n",
};

}  // namespace bbuctl
