#pragma once

// Conversions between our 32-bit PC/SC values and the platform library's own integer
// types. On macOS every PC/SC type is 32 bits wide and these are identities; pcsc-lite on
// 64-bit Linux declares LONG, DWORD, SCARDCONTEXT and SCARDHANDLE as 64-bit longs. The
// functions are templates over the native type so that this header needs no PC/SC header
// and both widths can be tested anywhere.

#include <concepts>
#include <cstdint>

namespace Vorn_SCard_Bridge::pcsc::widths {

// pcsc-lite's client library and pcscd exchange contexts and card handles as uint32_t
// and store them zero-extended in the 64-bit type, so a handle handed out as 0x80000001
// is the positive long 0x0000000080000001. Going back through uint32_t restores exactly
// that value; sign-extending the negative int32_t would give 0xFFFFFFFF80000001, a handle
// the service never handed out.
template <std::integral Native>
constexpr Native to_native_handle(std::int32_t handle) {
    return static_cast<Native>(static_cast<std::uint32_t>(handle));
}

// The low 32 bits carry the whole handle (see above).
template <std::integral Native>
constexpr std::int32_t from_native_handle(Native handle) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(handle));
}

// True when a native handle survives the trip through our 32-bit form. Every handle that
// pcsc-lite or the macOS framework hands out does; a value that does not cannot have come
// from the service.
template <std::integral Native>
constexpr bool native_handle_fits(Native handle) {
    return to_native_handle<Native>(from_native_handle(handle)) == handle;
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
