#pragma once

// Everything that differs between the macOS PCSC framework and pcsc-lite, kept in one
// place so that pcsc_service.cpp reads the same on both. Include only from
// pcsc_service.cpp: nothing else in the host sees a PC/SC header.

#ifdef __APPLE__
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#else
// pkg-config's libpcsclite adds -I/usr/include/PCSC.
#include <winscard.h>
#endif

#include <cassert>
#include <cstdint>

#include "scard/pcsc_widths.h"

namespace Vorn_SCard_Bridge::pcsc::platform {

#ifdef __APPLE__
// The framework's record is packed (61 bytes); only its field names are relied on.
using NativeReaderState = SCARD_READERSTATE_A;
#else
using NativeReaderState = SCARD_READERSTATE;
#endif

// The framework's SCardControl keeps the pre-1.3.2 pcsc-lite signature; SCardControl132
// is the one that matches pcsc-lite's SCardControl.
inline LONG control(SCARDHANDLE card, DWORD control_code, LPCVOID input, DWORD input_length,
                    LPVOID output, DWORD output_size, LPDWORD bytes_returned) {
#ifdef __APPLE__
    return SCardControl132(card, control_code, input, input_length, output, output_size,
                           bytes_returned);
#else
    return SCardControl(card, control_code, input, input_length, output, output_size,
                        bytes_returned);
#endif
}

inline SCARDCONTEXT to_native_context(std::int32_t context) {
    return widths::to_native_handle<SCARDCONTEXT>(context);
}

inline SCARDHANDLE to_native_card(std::int32_t card) {
    return widths::to_native_handle<SCARDHANDLE>(card);
}

// Handles come from the service, which hands out 32-bit values only (pcsc-lite's wire
// protocol between client and daemon is 32-bit). A wider one would mean a broken library,
// not a condition to report to the extension, hence an assertion and not a status.
template <typename NativeHandle>
inline std::int32_t from_native_handle(NativeHandle handle) {
    assert(widths::native_handle_fits(handle));
    return widths::from_native_handle(handle);
}

inline DWORD to_native_word(std::uint32_t word) { return widths::to_native_word<DWORD>(word); }

inline std::uint32_t from_native_word(DWORD word) { return widths::from_native_word(word); }

inline std::int32_t from_native_status(LONG status) { return widths::from_native_status(status); }

}  // namespace Vorn_SCard_Bridge::pcsc::platform
