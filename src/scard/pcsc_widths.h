#pragma once

// Conversions between our 32-bit PC/SC values and the platform library's own integer
// types. On macOS every PC/SC type is 32 bits wide and these are identities; pcsc-lite on
// 64-bit Linux declares LONG, DWORD, SCARDCONTEXT and SCARDHANDLE as 64-bit longs. The
// functions are templates over the native type so that this header needs no PC/SC header
// and both widths can be tested anywhere.

#include <concepts>
#include <cstdint>

namespace Vorn_SCard_Bridge::pcsc::widths {

// Handles are kept as the service's own values, widened to 64 bits: pcsc-lite's are
// 32-bit values zero-extended in a 64-bit long, the macOS framework's are 32-bit,
// Windows' are pointer-sized with the high bits in use. Every one of them comes back
// exactly from its 64-bit form.
template <std::integral Native>
constexpr std::uint64_t from_native_handle(Native handle) {
    return static_cast<std::uint64_t>(handle);
}

template <std::integral Native>
constexpr Native to_native_handle(std::uint64_t handle) {
    return static_cast<Native>(handle);
}

// pcsc-lite defines its statuses as ((LONG)0x8010000A): on a 64-bit LONG that is the
// positive 0x000000008010000A. Its low 32 bits are the status as every other platform
// and our callers know it (negative as int32_t).
template <std::integral Native>
constexpr std::int32_t from_native_status(Native status) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(status));
}

// Lengths, states, protocols, codes, time-outs: unsigned 32-bit values widened with zero
// fill, so the time-out 0xFFFFFFFF stays pcsc-lite's INFINITE (0xFFFFFFFF), not
// 0xFFFFFFFFFFFFFFFF.
template <std::integral Native>
constexpr Native to_native_word(std::uint32_t word) {
    return static_cast<Native>(word);
}

// The service reports lengths and states that fit in 32 bits (pcsc-lite carries them as
// uint32_t between client and daemon); the low 32 bits are the whole value.
template <std::integral Native>
constexpr std::uint32_t from_native_word(Native word) {
    return static_cast<std::uint32_t>(word);
}

}  // namespace Vorn_SCard_Bridge::pcsc::widths
