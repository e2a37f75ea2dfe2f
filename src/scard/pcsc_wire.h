#pragma once

// The PC/SC values the extension sends and receives are pcsc-lite's on every platform;
// the adapter converts them where a platform's library numbers them differently
// (Windows). Like pcsc_widths.h these need no PC/SC header, so both sides of each
// conversion can be tested anywhere.
//
// | value | on the wire (pcsc-lite) | Windows |
// |---|---|---|
// | control code SCARD_CTL_CODE(n), n < 4096 | 0x42000000 + n | 0x00310000 + 4n |
// | protocol RAW | 0x4 | 0x10000 |
// | card state of SCardStatus | bit flags (ABSENT 0x2 ... SPECIFIC 0x40) | 0 (UNKNOWN) ... 6
// (SPECIFIC) |

#include <cstdint>

namespace Vorn_SCard_Bridge::pcsc::wire {

constexpr std::uint32_t CTL_CODE_BASE = 0x42000000;
constexpr std::uint32_t WINDOWS_CTL_CODE_BASE = 0x00310000;  // FILE_DEVICE_SMARTCARD << 16
// CTL_CODE's function field has 12 bits.
constexpr std::uint32_t WINDOWS_CTL_FUNCTIONS = 0x1000;

constexpr std::uint32_t PROTOCOL_RAW = 0x4;
constexpr std::uint32_t WINDOWS_PROTOCOL_RAW = 0x10000;

// pcsc-lite's card-state flags.
constexpr std::uint32_t STATE_UNKNOWN = 0x01;
constexpr std::uint32_t STATE_ABSENT = 0x02;
constexpr std::uint32_t STATE_PRESENT = 0x04;
constexpr std::uint32_t STATE_SWALLOWED = 0x08;
constexpr std::uint32_t STATE_POWERED = 0x10;
constexpr std::uint32_t STATE_NEGOTIABLE = 0x20;
constexpr std::uint32_t STATE_SPECIFIC = 0x40;

// A code in pcsc-lite's form becomes Windows' SCARD_CTL_CODE of the same function; any
// other code (e.g. one a Windows reader listed in its features) is passed unchanged.
constexpr std::uint32_t windows_control_code(std::uint32_t code) {
    if (code >= CTL_CODE_BASE && code - CTL_CODE_BASE < WINDOWS_CTL_FUNCTIONS) {
        return WINDOWS_CTL_CODE_BASE + 4 * (code - CTL_CODE_BASE);
    }
    return code;
}

// Preferred protocols to Windows: the RAW bit moves; the others are the same bits.
constexpr std::uint32_t windows_protocols(std::uint32_t protocols) {
    return (protocols & PROTOCOL_RAW) != 0 ? (protocols & ~PROTOCOL_RAW) | WINDOWS_PROTOCOL_RAW
                                           : protocols;
}

// An active protocol from Windows.
constexpr std::uint32_t protocol_from_windows(std::uint32_t protocol) {
    return (protocol & WINDOWS_PROTOCOL_RAW) != 0
               ? (protocol & ~WINDOWS_PROTOCOL_RAW) | PROTOCOL_RAW
               : protocol;
}

// Windows' numbered card state as the flags pcsc-lite reports for it: each state implies
// those before it (a powered card is present), as pcsc-lite sets them.
constexpr std::uint32_t card_state_from_windows(std::uint32_t state) {
    switch (state) {
        case 1:  // SCARD_ABSENT
            return STATE_ABSENT;
        case 2:  // SCARD_PRESENT
            return STATE_PRESENT;
        case 3:  // SCARD_SWALLOWED
            return STATE_PRESENT | STATE_SWALLOWED;
        case 4:  // SCARD_POWERED
            return STATE_PRESENT | STATE_POWERED;
        case 5:  // SCARD_NEGOTIABLE
            return STATE_PRESENT | STATE_POWERED | STATE_NEGOTIABLE;
        case 6:  // SCARD_SPECIFIC
            return STATE_PRESENT | STATE_POWERED | STATE_SPECIFIC;
        default:  // SCARD_UNKNOWN, or a value no version of Windows defines
            return STATE_UNKNOWN;
    }
}

}  // namespace Vorn_SCard_Bridge::pcsc::wire
