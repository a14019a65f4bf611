// status_bits.h - the named bits of the BBU's general status, said once: the
// byte, the mask, the name, the display's label and what the bit tells. The
// library's status display and error checks and bbuctl's flags, error bits
// and JSON names are all made from this table. The project's own (C++), used
// by the library and its tools; not installed: programs built with the
// library use the records of <bbu/bbu.h>.
#ifndef BBU_STATUS_BITS_H
#define BBU_STATUS_BITS_H

#include <bbu/bbu.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bbu_status {

// What a set bit tells: the BBU's state (bbuctl's flags), an error the checked
// status read traces (bbuctl's error bits), or a state the display alone names.
enum class Role : std::uint8_t { state, error, shown };

struct Bit {
    int byte;
    std::uint8_t mask;
    const char *name;   // the bit's name in the record, or its error's
    const char *label;  // the display's label ending in one blank, or null: not named there
    Role role;
};

// Every named bit, by byte and from the highest mask down: the order the
// display, the error checks and bbuctl show them in. FIELD rows are bits of
// the byte's record in <bbu/bbu.h> (checked against it below); ENUM rows are
// byte 4 read as flash-load error flags, with the masks of its enum.
#define BBU_STATUS_BIT_ROWS(FIELD, ENUM)                                                           \
    FIELD(0, commandInProgress, 0x80, "command_in_progress", "command ", state)                    \
    FIELD(0, check, 0x40, "check", "check ", state)                                                \
    FIELD(0, proper_connection, 0x20, "proper_connection", nullptr, state)                         \
    FIELD(0, actual_connection, 0x10, "actual_connection", nullptr, state)                         \
    FIELD(0, testing, 0x08, "testing", "testing ", state)                                          \
    FIELD(0, charging, 0x04, "charging", "charging ", state)                                       \
    FIELD(0, least_capacity, 0x02, "least_capacity", nullptr, state)                               \
    FIELD(0, non_zero, 0x01, "non_zero", nullptr, state)                                           \
    FIELD(2, threshold_one, 0x80, "threshold_one", nullptr, state)                                 \
    FIELD(2, threshold_two, 0x40, "threshold_two", nullptr, state)                                 \
    FIELD(2, ps0_epow, 0x20, "ps0_epow", nullptr, state)                                           \
    FIELD(2, ps1_epow, 0x10, "ps1_epow", nullptr, state)                                           \
    FIELD(2, incompat_level, 0x08, "incompat_level", "level ", state)                              \
    FIELD(2, power_up, 0x04, "power_up", "power_up ", state)                                       \
    FIELD(2, interrupt_masked, 0x02, "interrupt_masked", "masked ", state)                         \
    FIELD(3, need_tod, 0x80, "need_tod", "needtod ", state)                                        \
    FIELD(3, need_vpd, 0x40, "need_vpd", "needvpd ", state)                                        \
    FIELD(3, state_save_avail, 0x20, "state_save_avail", "statesave ", state)                      \
    FIELD(3, delayed_fault, 0x10, "delayed_fault", "delayed ", state)                              \
    FIELD(3, defer_disconnect, 0x08, "defer_disconnect", "disconnect ", state)                     \
    ENUM(4, TFB_BLOCK_SYNC, "tfb_block_sync", nullptr, error)                                      \
    ENUM(4, WRITE_CNT_SYNC, "write_cnt_sync", nullptr, error)                                      \
    ENUM(4, NUMOFBYTE_ERR, "numofbyte_err", nullptr, error)                                        \
    ENUM(4, DATA_BLK_ERR, "data_blk_err", nullptr, error)                                          \
    ENUM(4, EEPROM_FULL, "eeprom_full", nullptr, error)                                            \
    FIELD(4, i2c_cmd_in_progress, 0x08, "i2c_cmd_in_progress", "i2c-cmd ", shown)                  \
    ENUM(4, EEPROM_CHKSUM, "eeprom_chksum", nullptr, error)                                        \
    FIELD(4, operation_mode, 0x02, "operation_mode", nullptr, state)                               \
    FIELD(5, multiple_command, MULTI_CMD, "multiple_command", "multi ", error)                     \
    FIELD(5, sar_overrun, SAR_OVERRUN, "sar_overrun", "sar over ", error)                          \
    FIELD(5, sarx_overrun, SARX_OVERRUN, "sarx_overrun", "sarx over ", error)                      \
    FIELD(5, invalid_length, INVALID_LEN, "invalid_length", "inv len ", error)                     \
    FIELD(5, invalid_command, INVALID_CMD, "invalid_command", "inv cmd ", error)                   \
    FIELD(5, flash_checksum, FLASH_CHKSUM, "flash_checksum", "flash chksum ", error)               \
    FIELD(5, invalid_parameter, INVALID_PARM, "invalid_parameter", "inv parm ", error)             \
    FIELD(5, checksum_error, CHKSUM_ERR, "checksum_error", "bad chksum ", error)                   \
    FIELD(6, vbat_control_switch, 0x80, "vbat_control_switch", nullptr, state)                     \
    FIELD(6, flash_erase, FLASH_ERASE, "flash_erase", "erase err ", error)                         \
    FIELD(6, flash_program, FLASH_PROGRAM, "flash_program", "program err ", error)                 \
    FIELD(6, valid_image, 0x10, "valid_image", "valid err ", state)                                \
    FIELD(6, reprogram_req, 0x08, "reprogram_req", "reprogram ", state)                            \
    FIELD(7, all_acok, 0x80, "all_acok", nullptr, state)                                           \
    FIELD(7, all_charger_ok, 0x40, "all_charger_ok", nullptr, state)                               \
    FIELD(7, all_battery_ok, 0x20, "all_battery_ok", nullptr, state)                               \
    FIELD(7, bat1_check, 0x04, "bat1_check", nullptr, state)                                       \
    FIELD(7, bat2_check, 0x02, "bat2_check", nullptr, state)                                       \
    FIELD(7, bat3_check, 0x01, "bat3_check", nullptr, state)

#define BBU_STATUS_FIELD_ROW(n, field, mask, name, label, role)                                    \
    Bit{n, mask, name, label, Role::role},
#define BBU_STATUS_ENUM_ROW(n, mask, name, label, role) Bit{n, mask, name, label, Role::role},
inline constexpr std::array BITS{BBU_STATUS_BIT_ROWS(BBU_STATUS_FIELD_ROW, BBU_STATUS_ENUM_ROW)};
#undef BBU_STATUS_FIELD_ROW
#undef BBU_STATUS_ENUM_ROW

// The bits of one role, in the table's order.
template <Role R>
constexpr auto bits_of()
{
    constexpr std::size_t count = [] {
        std::size_t n = 0;
        for (const Bit &bit : BITS)
            n += bit.role == R ? 1 : 0;
        return n;
    }();
    std::array<Bit, count> bits{};
    std::size_t i = 0;
    for (const Bit &bit : BITS)
        if (bit.role == R)
            bits[i++] = bit;
    return bits;
}

// The mask of the error bits of status byte @p n.
constexpr std::uint8_t error_mask(int n)
{
    std::uint8_t mask = 0;
    for (const Bit &bit : BITS)
        if (bit.byte == n && bit.role == Role::error)
            mask |= bit.mask;
    return mask;
}

// Reached only for a bit the table does not hold: not a constant expression,
// so mask_of() of such a bit stops the compilation where it is asked for.
inline std::uint8_t no_such_status_bit()
{
    return 0;
}

// The mask of the bit of status byte @p n named @p name.
consteval std::uint8_t mask_of(int n, std::string_view name)
{
    for (const Bit &bit : BITS)
        if (bit.byte == n && name == bit.name)
            return bit.mask;
    return no_such_status_bit();
}

// Each FIELD row's byte and mask are those of its member in the record. GCC
// evaluates a bit_cast of bit-fields at compile time; clang 14 (clang-tidy)
// cannot, and skips the check.
#if !defined(__clang__)
template <int N>
struct StatusByte;
#define BBU_STATUS_BYTE(n, member)                                                                 \
    template <>                                                                                    \
    struct StatusByte<n> {                                                                         \
        using Bits = decltype(decltype(GENERAL_STATUS::member)::BIT);                              \
        static_assert(offsetof(GENERAL_STATUS, member) == (n), #member " is not byte " #n);        \
    };
BBU_STATUS_BYTE(0, byte00)
BBU_STATUS_BYTE(2, byte02)
BBU_STATUS_BYTE(3, byte03)
BBU_STATUS_BYTE(4, byte04)
BBU_STATUS_BYTE(5, byte05)
BBU_STATUS_BYTE(6, byte06)
BBU_STATUS_BYTE(7, byte07)
#undef BBU_STATUS_BYTE

template <int N, class Set>
constexpr std::uint8_t field_mask(Set set)
{
    auto bits = typename StatusByte<N>::Bits();
    set(bits);
    return std::bit_cast<std::uint8_t>(bits);
}

#define BBU_STATUS_TIE(n, field, mask, name, label, role)                                          \
    static_assert(field_mask<n>([](auto &b) { b.field = 1; }) == (mask),                           \
                  #field " is not " #mask " of status byte " #n);
#define BBU_STATUS_NO_TIE(n, mask, name, label, role)
BBU_STATUS_BIT_ROWS(BBU_STATUS_TIE, BBU_STATUS_NO_TIE)
#undef BBU_STATUS_TIE
#undef BBU_STATUS_NO_TIE
#endif

}  // namespace bbu_status

#endif  // BBU_STATUS_BITS_H
