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
// | statuses | SCARD_* codes | the same codes, a few numbered otherwise, and Win32 errors |
//
// Apple's framework numbers everything as pcsc-lite does but for a few statuses of
// SCardBeginTransaction and SCardConnect (below).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

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

// pcsc-lite's reader-state flags of a status-change record, SCARD_STATE_* (Apple's and
// Windows' are the same), and the count of the reader's card events in the event state's high 16
// bits.
namespace reader_state {
constexpr std::uint32_t STATE_UNAWARE = 0x0000;
constexpr std::uint32_t STATE_IGNORE = 0x0001;
constexpr std::uint32_t STATE_CHANGED = 0x0002;
constexpr std::uint32_t STATE_UNKNOWN = 0x0004;
constexpr std::uint32_t STATE_UNAVAILABLE = 0x0008;
constexpr std::uint32_t STATE_EMPTY = 0x0010;
constexpr std::uint32_t STATE_PRESENT = 0x0020;
constexpr std::uint32_t STATE_INUSE = 0x0100;
constexpr std::uint32_t STATE_FLAGS = 0xFFFF;
constexpr unsigned COUNT_SHIFT = 16;
constexpr std::uint32_t with_count(std::uint32_t count) { return count << COUNT_SHIFT; }
}  // namespace reader_state

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

// A status Windows' WinSCard returns where pcsc-lite has another number for the same
// failure. Every other status passes unchanged: the SCARD_* codes both number alike, and
// the few Windows has that pcsc-lite lacks (its PIN and data caches, read-only cards)
// name nothing else there, so the extension can still tell them apart.
struct StatusConversion {
    std::uint32_t windows;
    std::uint32_t wire;
};

constexpr std::uint32_t E_INVALID_HANDLE = 0x80100003;
constexpr std::uint32_t E_INVALID_PARAMETER = 0x80100004;
constexpr std::uint32_t E_NO_MEMORY = 0x80100006;
constexpr std::uint32_t E_INSUFFICIENT_BUFFER = 0x80100008;
constexpr std::uint32_t E_TIMEOUT = 0x8010000A;
constexpr std::uint32_t E_NO_SERVICE = 0x8010001D;
// pcsc-lite gives SCARD_E_UNSUPPORTED_FEATURE the number of SCARD_E_UNEXPECTED.
constexpr std::uint32_t E_UNSUPPORTED_FEATURE = 0x8010001F;
constexpr std::uint32_t WINDOWS_E_UNSUPPORTED_FEATURE = 0x80100022;

constexpr std::array<StatusConversion, 11> WINDOWS_STATUSES{{
    {WINDOWS_E_UNSUPPORTED_FEATURE, E_UNSUPPORTED_FEATURE},
    // Win32 errors, passed on from the handle table, the memory manager and the reader
    // driver's I/O requests.
    {0x1, E_UNSUPPORTED_FEATURE},   // ERROR_INVALID_FUNCTION: a control code the driver
                                    // does not know (assumed: no page says which code)
    {0x6, E_INVALID_HANDLE},        // ERROR_INVALID_HANDLE: a context or card it never
                                    // handed out, or one released
    {0x8, E_NO_MEMORY},             // ERROR_NOT_ENOUGH_MEMORY
    {0xE, E_NO_MEMORY},             // ERROR_OUTOFMEMORY
    {0x32, E_UNSUPPORTED_FEATURE},  // ERROR_NOT_SUPPORTED: an attribute or control code
                                    // the driver does not support
    {0x57, E_INVALID_PARAMETER},    // ERROR_INVALID_PARAMETER
    // ERROR_BROKEN_PIPE: Microsoft names it for a remote session without smart-card
    // redirection, where no service can be reached; taken as NO_SERVICE (an assumption:
    // no page says what it means for a local call).
    {0x6D, E_NO_SERVICE},
    {0x7A, E_INSUFFICIENT_BUFFER},  // ERROR_INSUFFICIENT_BUFFER: a driver's answer to
                                    // SCardControl or SCardGetAttrib is longer (that
                                    // the needed length is written back is assumed)
    {0xEA, E_INSUFFICIENT_BUFFER},  // ERROR_MORE_DATA
    {0x5B4, E_TIMEOUT},             // ERROR_TIMEOUT
}};

constexpr std::uint32_t status_from_windows(std::uint32_t status) {
    for (const StatusConversion& conversion : WINDOWS_STATUSES) {
        if (conversion.windows == status) return conversion.wire;
    }
    return status;
}

// Apple's framework numbers two calls' failures otherwise than pcsc-lite (as public
// reports of it on each macOS release tell): SCardBeginTransaction answers RESET_CARD
// after the card was removed and inserted again (pcsc-lite: REMOVED_CARD) and
// UNPOWERED_CARD after another application powered it off (pcsc-lite: RESET_CARD);
// SCardConnect answered NOT_TRANSACTED for a protocol the card lacks (pcsc-lite:
// PROTO_MISMATCH). The extension acts on these codes, so they become pcsc-lite's.
constexpr std::uint32_t E_PROTO_MISMATCH = 0x8010000F;
constexpr std::uint32_t E_NOT_TRANSACTED = 0x80100016;
constexpr std::uint32_t W_UNPOWERED_CARD = 0x80100067;
constexpr std::uint32_t W_RESET_CARD = 0x80100068;
constexpr std::uint32_t W_REMOVED_CARD = 0x80100069;

constexpr std::uint32_t begin_transaction_status_from_apple(std::uint32_t status) {
    switch (status) {
        case W_RESET_CARD:
            return W_REMOVED_CARD;
        case W_UNPOWERED_CARD:
            return W_RESET_CARD;
        default:
            return status;
    }
}

constexpr std::uint32_t connect_status_from_apple(std::uint32_t status) {
    return status == E_NOT_TRANSACTED ? E_PROTO_MISMATCH : status;
}

// GET_FEATURE_REQUEST (SCARD_CTL_CODE(3400)) answers a list of TLVs: a feature tag (1
// byte), the length 4, and the feature's control code, big-endian, in the driver's
// numbering. A Windows driver numbers them as Windows does: the list is rewritten in
// place into the wire's numbering. An entry whose length is not 4 is left alone and the
// walk goes on after it; a last entry cut short is left as it is.
constexpr std::uint32_t GET_FEATURE_REQUEST = CTL_CODE_BASE + 3400;

constexpr std::uint32_t control_code_from_windows(std::uint32_t code) {
    if (code >= WINDOWS_CTL_CODE_BASE && code - WINDOWS_CTL_CODE_BASE < 4 * WINDOWS_CTL_FUNCTIONS &&
        (code - WINDOWS_CTL_CODE_BASE) % 4 == 0) {
        return CTL_CODE_BASE + (code - WINDOWS_CTL_CODE_BASE) / 4;
    }
    return code;
}

constexpr void feature_codes_from_windows(std::span<std::uint8_t> features) {
    std::size_t at = 0;
    while (features.size() - at >= 2) {
        const std::size_t length = features[at + 1];
        const std::size_t value = at + 2;
        if (features.size() - value < length) return;
        if (length == 4) {
            std::uint32_t code = 0;
            for (std::size_t i = 0; i < 4; ++i) code = code << 8 | features[value + i];
            code = control_code_from_windows(code);
            for (std::size_t i = 0; i < 4; ++i) {
                features[value + i] = static_cast<std::uint8_t>(code >> (8 * (3 - i)));
            }
        }
        at = value + length;
    }
}

}  // namespace Vorn_SCard_Bridge::pcsc::wire
