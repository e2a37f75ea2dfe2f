#pragma once

// Everything that differs between pcsc-lite, the macOS PCSC framework and Windows'
// WinSCard, kept in one place so that pcsc_service.cpp reads the same on all three.
// Include only from pcsc_service.cpp: nothing else in the host sees a PC/SC header.
//
// The values the extension sees are pcsc-lite's on every platform (pcsc_wire.h); the
// functions below convert where a platform differs. Reader names are UTF-8 here and on
// the wire; Windows gets them in UTF-16 through its ...W functions (named, whatever
// UNICODE says): its ...A functions would pass them through the ANSI code page, where a
// name in another script loses its characters and names no reader.
//
// Which PC/SC this is built for is the build's choice (VORN_PCSC_ABI in CMake), not the
// system's: CI builds the Apple branch on Linux against a stand-in of the framework.

#if defined(VORN_PCSC_ABI_WINDOWS)
// CMake defines WIN32_LEAN_AND_MEAN and NOMINMAX for Windows builds.
#include <windows.h>
#include <winscard.h>
#elif defined(VORN_PCSC_ABI_APPLE)
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#elif defined(VORN_PCSC_ABI_PCSCLITE)
// pkg-config's libpcsclite adds -I/usr/include/PCSC.
#include <winscard.h>
#else
#error "VORN_PCSC_ABI_PCSCLITE, VORN_PCSC_ABI_APPLE or VORN_PCSC_ABI_WINDOWS: set by CMake"
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "scard/pcsc_widths.h"
#include "scard/pcsc_wire.h"

namespace Vorn_SCard_Bridge::pcsc::platform {

#if defined(VORN_PCSC_ABI_WINDOWS)
using NativeReaderState = SCARD_READERSTATEW;

inline std::wstring utf16(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(std::max(size, 1)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
    out.resize(out.size() - 1);  // the terminator MultiByteToWideChar counted
    return out;
}

// A text of WinSCard's (embedded NULs and all) as UTF-8.
inline std::string utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

// A reader name as the wait's record holds it: UTF-16, kept as long as the record.
class NativeName {
public:
    explicit NativeName(const char* name) : text_(utf16(name)) {}
    LPCWSTR get() const { return text_.c_str(); }

private:
    std::wstring text_;
};

// A text WinSCard writes, in UTF-16, fetched whole (its length, then the text, again if
// it grew in between), then given to our caller in UTF-8 by the same two-call rule:
// the length when `buffer` is null, SCARD_E_INSUFFICIENT_BUFFER when it is short.
template <typename Fetch>
LONG in_utf8(Fetch fetch, LPSTR buffer, LPDWORD length) {
    constexpr int ATTEMPTS = 3;
    std::wstring text;
    LONG status = SCARD_E_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < ATTEMPTS && status == SCARD_E_INSUFFICIENT_BUFFER; ++attempt) {
        DWORD size = 0;
        status = fetch(nullptr, &size);
        if (status != SCARD_S_SUCCESS) return status;
        text.assign(size, L'\0');
        status = fetch(text.data(), &size);
        text.resize(std::min<std::size_t>(size, text.size()));
    }
    if (status != SCARD_S_SUCCESS) return status;
    const std::string out = utf8(text);
    const DWORD capacity = *length;
    *length = static_cast<DWORD>(out.size());
    if (buffer == nullptr) return SCARD_S_SUCCESS;
    if (out.size() > capacity) return SCARD_E_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, out.data(), out.size());
    return SCARD_S_SUCCESS;
}

inline LONG list_readers(SCARDCONTEXT context, LPSTR buffer, LPDWORD length) {
    return in_utf8(
        [&](LPWSTR wide, LPDWORD size) { return SCardListReadersW(context, nullptr, wide, size); },
        buffer, length);
}
inline LONG list_reader_groups(SCARDCONTEXT context, LPSTR buffer, LPDWORD length) {
    return in_utf8(
        [&](LPWSTR wide, LPDWORD size) { return SCardListReaderGroupsW(context, wide, size); },
        buffer, length);
}
inline LONG get_status_change(SCARDCONTEXT context, DWORD timeout, NativeReaderState* states,
                              DWORD count) {
    return SCardGetStatusChangeW(context, timeout, states, count);
}
inline LONG connect(SCARDCONTEXT context, LPCSTR reader, DWORD share_mode, DWORD protocols,
                    LPSCARDHANDLE card, LPDWORD active_protocol) {
    return SCardConnectW(context, utf16(reader).c_str(), share_mode, protocols, card,
                         active_protocol);
}
// The name is fetched whole even when the caller asks only for its length: its UTF-8
// length is known only then.
inline LONG status(SCARDHANDLE card, LPSTR reader, LPDWORD reader_length, LPDWORD state,
                   LPDWORD protocol, LPBYTE atr, LPDWORD atr_length) {
    const DWORD atr_capacity = atr_length != nullptr ? *atr_length : 0;
    return in_utf8(
        [&](LPWSTR wide, LPDWORD size) {
            if (atr_length != nullptr) *atr_length = atr_capacity;
            return SCardStatusW(card, wide, size, state, protocol, atr, atr_length);
        },
        reader, reader_length);
}
#else
#if defined(VORN_PCSC_ABI_APPLE)
// The framework's record is packed (61 bytes); only its field names are relied on.
using NativeReaderState = SCARD_READERSTATE_A;
#else
using NativeReaderState = SCARD_READERSTATE;
#endif

class NativeName {
public:
    explicit NativeName(const char* name) : name_(name) {}
    const char* get() const { return name_; }

private:
    const char* name_;
};

inline LONG list_readers(SCARDCONTEXT context, LPSTR buffer, LPDWORD length) {
    return SCardListReaders(context, nullptr, buffer, length);
}
inline LONG list_reader_groups(SCARDCONTEXT context, LPSTR buffer, LPDWORD length) {
    return SCardListReaderGroups(context, buffer, length);
}
inline LONG get_status_change(SCARDCONTEXT context, DWORD timeout, NativeReaderState* states,
                              DWORD count) {
    return SCardGetStatusChange(context, timeout, states, count);
}
inline LONG connect(SCARDCONTEXT context, LPCSTR reader, DWORD share_mode, DWORD protocols,
                    LPSCARDHANDLE card, LPDWORD active_protocol) {
    return SCardConnect(context, reader, share_mode, protocols, card, active_protocol);
}
inline LONG status(SCARDHANDLE card, LPSTR reader, LPDWORD reader_length, LPDWORD state,
                   LPDWORD protocol, LPBYTE atr, LPDWORD atr_length) {
    return SCardStatus(card, reader, reader_length, state, protocol, atr, atr_length);
}
#endif

// The framework's SCardControl keeps the pre-1.3.2 pcsc-lite signature; SCardControl132
// is the one that matches pcsc-lite's (and Windows') SCardControl.
inline LONG control(SCARDHANDLE card, DWORD control_code, LPCVOID input, DWORD input_length,
                    LPVOID output, DWORD output_size, LPDWORD bytes_returned) {
#if defined(VORN_PCSC_ABI_APPLE)
    return SCardControl132(card, control_code, input, input_length, output, output_size,
                           bytes_returned);
#else
    return SCardControl(card, control_code, input, input_length, output, output_size,
                        bytes_returned);
#endif
}

#if defined(VORN_PCSC_ABI_WINDOWS)
inline DWORD native_control_code(std::uint32_t code) { return wire::windows_control_code(code); }
inline DWORD native_protocols(std::uint32_t protocols) {
    return wire::windows_protocols(protocols);
}
inline std::uint32_t protocol_from_native(DWORD protocol) {
    return wire::protocol_from_windows(protocol);
}
inline std::uint32_t card_state_from_native(DWORD state) {
    return wire::card_state_from_windows(state);
}
// The control codes a GET_FEATURE_REQUEST answer lists, in the wire's numbering.
inline void feature_codes_from_native(std::span<std::uint8_t> features) {
    wire::feature_codes_from_windows(features);
}
inline std::int32_t from_native_status(LONG status) {
    return widths::from_native_status(
        wire::status_from_windows(static_cast<std::uint32_t>(status)));
}
#else  // pcsc-lite and the macOS framework number them as the wire does
inline DWORD native_control_code(std::uint32_t code) { return widths::to_native_word<DWORD>(code); }
inline DWORD native_protocols(std::uint32_t protocols) {
    return widths::to_native_word<DWORD>(protocols);
}
inline std::uint32_t protocol_from_native(DWORD protocol) {
    return widths::from_native_word(protocol);
}
inline std::uint32_t card_state_from_native(DWORD state) { return widths::from_native_word(state); }
inline void feature_codes_from_native(std::span<std::uint8_t>) {}
inline std::int32_t from_native_status(LONG status) { return widths::from_native_status(status); }
#endif

#if defined(VORN_PCSC_ABI_APPLE)
// The framework keeps no card-event counts in its reader states (El Capitan onward):
// the adapter keeps them (reader_event_counts.h).
constexpr bool SERVICE_KEEPS_EVENT_COUNTS = false;
inline std::int32_t begin_transaction_status(LONG status) {
    return static_cast<std::int32_t>(wire::begin_transaction_status_from_apple(
        static_cast<std::uint32_t>(from_native_status(status))));
}
inline std::int32_t connect_status(LONG status) {
    return static_cast<std::int32_t>(
        wire::connect_status_from_apple(static_cast<std::uint32_t>(from_native_status(status))));
}
#else
constexpr bool SERVICE_KEEPS_EVENT_COUNTS = true;
inline std::int32_t begin_transaction_status(LONG status) { return from_native_status(status); }
inline std::int32_t connect_status(LONG status) { return from_native_status(status); }
#endif

inline SCARDCONTEXT to_native_context(std::uint64_t context) {
    return widths::to_native_handle<SCARDCONTEXT>(context);
}

inline SCARDHANDLE to_native_card(std::uint64_t card) {
    return widths::to_native_handle<SCARDHANDLE>(card);
}

template <typename NativeHandle>
inline std::uint64_t from_native_handle(NativeHandle handle) {
    return widths::from_native_handle(handle);
}

inline DWORD to_native_word(std::uint32_t word) { return widths::to_native_word<DWORD>(word); }

inline std::uint32_t from_native_word(DWORD word) { return widths::from_native_word(word); }

}  // namespace Vorn_SCard_Bridge::pcsc::platform
