#pragma once

// How 64-bit Windows' WinSCard differs from pcsc-lite, as Microsoft documents it (the
// WinSCard reference, winsmcrd.h and winerror.h of the SDK), written down here for the
// relay without looking at the host's own conversions (src/scard/pcsc_wire.h): the
// stand-in is the yardstick they are measured against, so the two must not share code.
//
// Values are 32-bit patterns; no PC/SC header is needed.

#include <cstddef>
#include <cstdint>
#include <span>

namespace Vorn_SCard_Bridge::windows_model {

// Handles are pointer-sized and their high bits are used: 64-bit Windows hands out
// contexts such as 0xCD00000100000003 and cards such as 0xEA00000100000000.
constexpr std::uint64_t CONTEXT_HANDLE_BASE = 0xCD00000100000000;
constexpr std::uint64_t FIRST_CONTEXT_NUMBER = 3;
constexpr std::uint64_t CARD_HANDLE_BASE = 0xEA00000100000000;

// Win32 errors that WinSCard passes on.
// Assumed, no Microsoft page says it: an I/O control code the driver does not know.
constexpr std::uint32_t ERROR_INVALID_FUNCTION = 0x1;
// SCardIsValidContext: a handle the service does not (or no longer) know.
constexpr std::uint32_t ERROR_INVALID_HANDLE = 0x6;
// IOCTL_SMARTCARD_GET_ATTRIBUTE: a driver answers STATUS_NOT_SUPPORTED for an attribute
// it lacks.
constexpr std::uint32_t ERROR_NOT_SUPPORTED = 0x32;
// Assumed, undocumented whether the needed length is written back: a driver's answer
// longer than the buffer of SCardControl or SCardGetAttrib (the relay writes it back).
constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 0x7A;
// Not given: Smart Card Return Values ties ERROR_BROKEN_PIPE (0x6D) to a remote session
// without smart-card redirection, not to the service's end; a call cut off by the
// service's stop answers SCARD_E_SERVICE_STOPPED (relay.cpp, Service).

// Status codes where the two differ, and those the conversion turns.
constexpr std::uint32_t WINDOWS_UNSUPPORTED_FEATURE = 0x80100022;
constexpr std::uint32_t PCSC_LITE_UNSUPPORTED_FEATURE = 0x8010001F;
constexpr std::uint32_t INVALID_HANDLE_STATUS = 0x80100003;
constexpr std::uint32_t INSUFFICIENT_BUFFER_STATUS = 0x80100008;

// Which kind of call a status comes from: the reader driver's own requests
// (SCardControl, SCardGetAttrib) pass on the driver's Win32 errors.
enum class CallKind { SERVICE, CONTROL, ATTRIBUTE };

// pcsc-lite's status for a call, as Windows reports the same failure.
constexpr std::uint32_t windows_status(std::uint32_t status, CallKind kind) {
    switch (status) {
        case INVALID_HANDLE_STATUS:
            // The service's handle table does not know it (or no longer).
            return ERROR_INVALID_HANDLE;
        case PCSC_LITE_UNSUPPORTED_FEATURE:
            // An I/O control code the driver does not know (assumed, see above); an
            // attribute it does not have, a request it does not support.
            if (kind == CallKind::CONTROL) return ERROR_INVALID_FUNCTION;
            if (kind == CallKind::ATTRIBUTE) return ERROR_NOT_SUPPORTED;
            return WINDOWS_UNSUPPORTED_FEATURE;
        case INSUFFICIENT_BUFFER_STATUS:
            return kind == CallKind::SERVICE ? status : ERROR_INSUFFICIENT_BUFFER;
        default:
            return status;
    }
}

// SCARD_PROTOCOL_RAW is 0x10000 on Windows, 0x4 in pcsc-lite (winsmcrd.h); T=0 (1) and
// T=1 (2) agree. winsmcrd.h defines no T=15: pcsc-lite's 0x8 is passed as it is.
constexpr std::uint32_t PROTOCOL_RAW = 0x00010000;
constexpr std::uint32_t PCSC_LITE_PROTOCOL_RAW = 0x4;

constexpr std::uint32_t pcsc_lite_protocols(std::uint32_t windows) {
    return (windows & PROTOCOL_RAW) != 0 ? (windows & ~PROTOCOL_RAW) | PCSC_LITE_PROTOCOL_RAW
                                         : windows;
}
constexpr std::uint32_t windows_protocol(std::uint32_t pcsc_lite) {
    return (pcsc_lite & PCSC_LITE_PROTOCOL_RAW) != 0
               ? (pcsc_lite & ~PCSC_LITE_PROTOCOL_RAW) | PROTOCOL_RAW
               : pcsc_lite;
}

// SCARD_CTL_CODE(n) is CTL_CODE(FILE_DEVICE_SMARTCARD, n, METHOD_BUFFERED,
// FILE_ANY_ACCESS) = 0x310000 + 4n on Windows, 0x42000000 + n in pcsc-lite.
constexpr std::uint32_t CTL_CODE_BASE = 0x00310000;
constexpr std::uint32_t PCSC_LITE_CTL_CODE_BASE = 0x42000000;
constexpr std::uint32_t CTL_FUNCTIONS = 4096;  // CTL_CODE's function field: 12 bits

constexpr std::uint32_t pcsc_lite_control_code(std::uint32_t windows) {
    const std::uint32_t offset = windows - CTL_CODE_BASE;
    if (windows >= CTL_CODE_BASE && offset < 4 * CTL_FUNCTIONS && offset % 4 == 0) {
        return PCSC_LITE_CTL_CODE_BASE + offset / 4;
    }
    return windows;  // a code of another device type: the driver will not know it
}
constexpr std::uint32_t windows_control_code(std::uint32_t pcsc_lite) {
    const std::uint32_t function = pcsc_lite - PCSC_LITE_CTL_CODE_BASE;
    if (pcsc_lite >= PCSC_LITE_CTL_CODE_BASE && function < CTL_FUNCTIONS) {
        return CTL_CODE_BASE + 4 * function;
    }
    return pcsc_lite;
}

// The answer to GET_FEATURE_REQUEST (SCARD_CTL_CODE(3400)) lists TLVs (tag, length 4,
// big-endian control code); a Windows driver lists its codes in Windows' numbering.
constexpr std::uint32_t GET_FEATURE_REQUEST_FUNCTION = 3400;

inline void features_to_windows(std::span<std::uint8_t> tlvs) {
    for (std::size_t at = 0; tlvs.size() - at >= 2;) {
        const std::size_t length = tlvs[at + 1];
        if (tlvs.size() - at - 2 < length) return;
        if (length == 4) {
            std::uint8_t* value = &tlvs[at + 2];
            std::uint32_t code = 0;
            for (int i = 0; i < 4; ++i) code = code << 8 | value[i];
            code = windows_control_code(code);
            for (int i = 0; i < 4; ++i) value[i] = static_cast<std::uint8_t>(code >> (24 - 8 * i));
        }
        at += 2 + length;
    }
}

// SCardStatus reports one numbered state on Windows (winsmcrd.h), flags in pcsc-lite.
constexpr std::uint32_t windows_card_state(std::uint32_t flags) {
    if ((flags & 0x40) != 0) return 6;  // SCARD_SPECIFIC
    if ((flags & 0x20) != 0) return 5;  // SCARD_NEGOTIABLE
    if ((flags & 0x10) != 0) return 4;  // SCARD_POWERED
    if ((flags & 0x08) != 0) return 3;  // SCARD_SWALLOWED
    if ((flags & 0x04) != 0) return 2;  // SCARD_PRESENT
    if ((flags & 0x02) != 0) return 1;  // SCARD_ABSENT
    return 0;                           // SCARD_UNKNOWN
}

// SCARD_READERSTATE's ATR field holds 36 bytes on Windows (33 in pcsc-lite).
constexpr std::size_t ATR_FIELD_SIZE = 36;

}  // namespace Vorn_SCard_Bridge::windows_model
