// The conversions between our 32-bit PC/SC values and the platform's types, for both
// widths the host meets: pcsc-lite on 64-bit Linux (long, unsigned long) and the macOS
// framework (int32_t, uint32_t).

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

TEST(PcscWidths, HandleWithTopBitSetIsZeroExtendedIntoTheWideType) {
    EXPECT_EQ(to_native_handle<LiteLong>(signed_of(0x80000001u)), LiteLong{0x80000001});
    EXPECT_EQ(to_native_handle<LiteLong>(-1), LiteLong{0xFFFFFFFF});
    EXPECT_EQ(to_native_handle<LiteLong>(signed_of(0x0A0B0C0Du)), LiteLong{0x0A0B0C0D});
    EXPECT_EQ(to_native_handle<LiteLong>(0), LiteLong{0});
}

TEST(PcscWidths, WideHandleBecomesItsLowThirtyTwoBits) {
    EXPECT_EQ(from_native_handle(LiteLong{0x80000001}), signed_of(0x80000001u));
    EXPECT_EQ(from_native_handle(LiteLong{0xFFFFFFFF}), -1);
    EXPECT_EQ(from_native_handle(LiteLong{0x75EF6C14}), 0x75EF6C14);
}

TEST(PcscWidths, EveryHandlePatternSurvivesTheRoundTrip) {
    for (const std::uint32_t pattern :
         {0x00000000u, 0x00000001u, 0x7FFFFFFFu, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        const std::int32_t handle = signed_of(pattern);
        EXPECT_EQ(from_native_handle(to_native_handle<LiteLong>(handle)), handle) << pattern;
        EXPECT_EQ(from_native_handle(to_native_handle<MacLong>(handle)), handle) << pattern;
        EXPECT_TRUE(native_handle_fits(to_native_handle<LiteLong>(handle))) << pattern;
    }
}

TEST(PcscWidths, WideHandleOutsideThirtyTwoBitsDoesNotFit) {
    EXPECT_FALSE(native_handle_fits(LiteLong{0x100000000}));
    EXPECT_FALSE(native_handle_fits(LiteLong{-1}));  // sign-extended, never handed out
    EXPECT_FALSE(native_handle_fits(std::numeric_limits<LiteLong>::min()));
    EXPECT_TRUE(native_handle_fits(LiteLong{0xFFFFFFFF}));
}

TEST(PcscWidths, ThirtyTwoBitHandlesPassUnchanged) {
    EXPECT_EQ(to_native_handle<MacLong>(signed_of(0x80000001u)), signed_of(0x80000001u));
    EXPECT_EQ(from_native_handle(MacLong{-5}), -5);
    EXPECT_TRUE(native_handle_fits(std::numeric_limits<MacLong>::min()));
    EXPECT_TRUE(native_handle_fits(MacLong{-1}));
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
    static_assert(to_native_handle<LiteLong>(-1) == LiteLong{0xFFFFFFFF});
    static_assert(from_native_status(LiteLong{0x80100008}) == signed_of(0x80100008u));
    static_assert(!native_handle_fits(LiteLong{0x1FFFFFFFF}));
    SUCCEED();
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::pcsc::widths
