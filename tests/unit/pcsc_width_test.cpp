// The conversions between our PC/SC values and the platform's types, for the widths
// the host meets: pcsc-lite on 64-bit Linux (long, unsigned long), the macOS framework
// (int32_t, uint32_t) and 64-bit Windows (pointer-sized handles).

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "scard/pcsc_widths.h"

namespace Vorn_SCard_Bridge::pcsc::widths {
namespace {

// pcsc-lite's LONG/SCARDCONTEXT/SCARDHANDLE and DWORD on 64-bit Linux.
using LiteLong = std::int64_t;
using LiteDword = std::uint64_t;
// The framework's.
using MacLong = std::int32_t;
using MacDword = std::uint32_t;

constexpr std::int32_t signed_of(std::uint32_t pattern) {
    return static_cast<std::int32_t>(pattern);
}

// Windows' SCARDCONTEXT and SCARDHANDLE on 64-bit Windows.
using WindowsHandle = std::uint64_t;

TEST(PcscWidths, EveryPlatformsHandleSurvivesTheRoundTrip) {
    // pcsc-lite's zero-extended 32-bit handles, the framework's signed ones, and
    // Windows' with the high bits in use.
    for (const LiteLong handle :
         {LiteLong{0}, LiteLong{0x75EF6C14}, LiteLong{0x80000001}, LiteLong{0xFFFFFFFF}}) {
        EXPECT_EQ(to_native_handle<LiteLong>(from_native_handle(handle)), handle) << handle;
    }
    for (const MacLong handle : {MacLong{-5}, std::numeric_limits<MacLong>::min(), MacLong{1}}) {
        EXPECT_EQ(to_native_handle<MacLong>(from_native_handle(handle)), handle) << handle;
    }
    for (const WindowsHandle handle : {WindowsHandle{0xCD00000100000003},
                                       WindowsHandle{0xEA00000100000000}, ~WindowsHandle{0}}) {
        EXPECT_EQ(to_native_handle<WindowsHandle>(from_native_handle(handle)), handle) << handle;
    }
}

TEST(PcscWidths, HandlesKeepTheirHighBits) {
    // Two Windows handles that differ only above bit 31 stay two handles.
    EXPECT_NE(from_native_handle(WindowsHandle{0xCD00000100000003}),
              from_native_handle(WindowsHandle{0xCE00000100000003}));
    EXPECT_EQ(from_native_handle(LiteLong{0x80000001}), std::uint64_t{0x80000001});
}

TEST(PcscWidths, WideStatusKeepsItsThirtyTwoBitPattern) {
    // pcsc-lite's ((LONG)0x80100003) on a 64-bit LONG.
    EXPECT_EQ(from_native_status(LiteLong{0x80100003}), signed_of(0x80100003u));
    EXPECT_EQ(from_native_status(LiteLong{0x80100003}), -2146435069);
    EXPECT_EQ(from_native_status(LiteLong{0x8010000A}), signed_of(0x8010000Au));
    EXPECT_EQ(from_native_status(LiteLong{0}), 0);
    EXPECT_EQ(from_native_status(MacLong{signed_of(0x80100069u)}), signed_of(0x80100069u));
}

TEST(PcscWidths, WordsWidenWithZeroFill) {
    // The infinite time-out must stay 0xFFFFFFFF, pcsc-lite's INFINITE.
    EXPECT_EQ(to_native_word<LiteDword>(0xFFFFFFFFu), LiteDword{0xFFFFFFFF});
    EXPECT_EQ(to_native_word<LiteDword>(65536u), LiteDword{65536});
    EXPECT_EQ(to_native_word<MacDword>(0x42000C00u), MacDword{0x42000C00});
}

TEST(PcscWidths, WordsNarrowToTheirLowThirtyTwoBits) {
    EXPECT_EQ(from_native_word(LiteDword{0x00010034}), 0x00010034u);
    EXPECT_EQ(from_native_word(LiteDword{0xFFFFFFFF}), 0xFFFFFFFFu);
    EXPECT_EQ(from_native_word(MacDword{33}), 33u);
}

TEST(PcscWidths, ConversionsAreUsableAtCompileTime) {
    static_assert(to_native_handle<LiteLong>(0xFFFFFFFFu) == LiteLong{0xFFFFFFFF});
    static_assert(from_native_status(LiteLong{0x80100008}) == signed_of(0x80100008u));
    SUCCEED();
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::pcsc::widths
