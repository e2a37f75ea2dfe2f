// The values the extension sees are pcsc-lite's on every platform: the conversions the
// adapter makes where Windows numbers them otherwise (Windows' own values as its SDK
// headers define them).

#include "scard/pcsc_wire.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace Vorn_SCard_Bridge::pcsc::wire {
namespace {

constexpr std::uint32_t ctl(std::uint32_t n) { return 0x42000000 + n; }  // pcsc-lite
constexpr std::uint32_t windows_ctl(std::uint32_t n) {
    return (0x31 << 16) | (n << 2);
}  // CTL_CODE

TEST(PcscWire, ControlCodesBecomeWindowsCodesOfTheSameFunction) {
    EXPECT_EQ(windows_control_code(ctl(3400)), windows_ctl(3400));  // GET_FEATURE_REQUEST
    EXPECT_EQ(windows_control_code(ctl(3400)), 0x00313520u);
    EXPECT_EQ(windows_control_code(ctl(0)), windows_ctl(0));
    EXPECT_EQ(windows_control_code(ctl(4095)), windows_ctl(4095));
}

TEST(PcscWire, CodesWindowsCannotNameAsSuchPassUnchanged) {
    // Beyond CTL_CODE's 12-bit function field, below the pcsc-lite base, or a code a
    // Windows reader listed in its own features.
    EXPECT_EQ(windows_control_code(ctl(4096)), ctl(4096));
    EXPECT_EQ(windows_control_code(0x42330006), 0x42330006u);
    EXPECT_EQ(windows_control_code(0x41FFFFFF), 0x41FFFFFFu);
    EXPECT_EQ(windows_control_code(0x00313520), 0x00313520u);
    EXPECT_EQ(windows_control_code(0xFFFFFFFF), 0xFFFFFFFFu);
}

TEST(PcscWire, RawProtocolMovesBothWaysAndTheOthersStay) {
    EXPECT_EQ(windows_protocols(0x4), 0x10000u);
    EXPECT_EQ(windows_protocols(0x1 | 0x2 | 0x4), 0x10003u);
    EXPECT_EQ(windows_protocols(0x3), 0x3u);
    EXPECT_EQ(windows_protocols(0), 0u);
    EXPECT_EQ(protocol_from_windows(0x10000), 0x4u);
    EXPECT_EQ(protocol_from_windows(0x2), 0x2u);
    EXPECT_EQ(protocol_from_windows(0x8), 0x8u);  // T=15 is the same bit on both
    for (std::uint32_t protocols = 0; protocols < 16; ++protocols) {
        EXPECT_EQ(protocol_from_windows(windows_protocols(protocols)), protocols) << protocols;
    }
}

TEST(PcscWire, NumberedCardStatesBecomeTheFlagsPcscLiteReports) {
    EXPECT_EQ(card_state_from_windows(0), STATE_UNKNOWN);
    EXPECT_EQ(card_state_from_windows(1), STATE_ABSENT);
    EXPECT_EQ(card_state_from_windows(2), STATE_PRESENT);
    EXPECT_EQ(card_state_from_windows(3), STATE_PRESENT | STATE_SWALLOWED);
    EXPECT_EQ(card_state_from_windows(4), STATE_PRESENT | STATE_POWERED);
    EXPECT_EQ(card_state_from_windows(5), STATE_PRESENT | STATE_POWERED | STATE_NEGOTIABLE);
    EXPECT_EQ(card_state_from_windows(6), STATE_PRESENT | STATE_POWERED | STATE_SPECIFIC);
    EXPECT_EQ(card_state_from_windows(7), STATE_UNKNOWN);
    EXPECT_EQ(card_state_from_windows(0x40), STATE_UNKNOWN);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::pcsc::wire
