// vpd_layout.h - the keyword layout of the BBU's VPD image, said once: each
// keyword's head, where the head and its value lie, and the value's label, in
// the order bad_vpd() checks them (a failed check's result is the keyword's
// place here, counted from 1). The library's layout check and bbuctl's VPD
// display are made from it. The project's own (C++), used by the library and
// its tools; not installed: programs built with the library use BBU_VPD_DATA.
#ifndef BBU_VPD_LAYOUT_H
#define BBU_VPD_LAYOUT_H

#include <bbu/bbu.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace bbu_vpd {

struct Keyword {
    std::string_view head;  // ASCII, no terminator in the image
    std::size_t headAt;
    std::size_t valueAt;  // right after the head
    std::size_t valueLen;
    const char *label;
};

constexpr std::size_t LAST_TEXT_BYTE = 254;  // byte 255 is the check byte

inline constexpr std::array<Keyword, 10> KEYWORDS{{
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
    // The component-specific keywords, which the record does not name.
    {"DFL=", 88, 92, 5, "DFL"},
    {"PC=", 97, 100, 8, "PC"},
    {"BAT=", 108, 112, LAST_TEXT_BYTE + 1 - 112, "BAT"},
}};

// bad_vpd()'s result when every head is right but byte 0 is not 0x00.
constexpr int BAD_DUMMY = static_cast<int>(KEYWORDS.size()) + 1;

// Each value follows its head directly, and each value ends where the next head starts.
constexpr bool layout_is_whole()
{
    for (std::size_t i = 0; i < KEYWORDS.size(); ++i) {
        const Keyword &k = KEYWORDS[i];
        const std::size_t next =
            i + 1 < KEYWORDS.size() ? KEYWORDS[i + 1].headAt : LAST_TEXT_BYTE + 1;
        if (k.headAt + k.head.size() != k.valueAt || k.valueAt + k.valueLen != next)
            return false;
    }
    return true;
}
static_assert(layout_is_whole(), "the VPD keywords do not tile the image");
static_assert(sizeof(BBU_VPD_DATA::partnum) == 8 && sizeof(BBU_VPD_DATA::frunum) == 8 &&
                  sizeof(BBU_VPD_DATA::serial) == 12 && sizeof(BBU_VPD_DATA::eclevel) == 10 &&
                  sizeof(BBU_VPD_DATA::mfr) == 6 && sizeof(BBU_VPD_DATA::codelevel) == 8 &&
                  sizeof(BBU_VPD_DATA::name) == 10,
              "a VPD value's width differs from its field in BBU_VPD_DATA");
static_assert(offsetof(BBU_VPD_DATA, component_specific) == 88, "DFL= starts the component part");

}  // namespace bbu_vpd

#endif  // BBU_VPD_LAYOUT_H
