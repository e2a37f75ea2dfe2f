// The values the extension sees are pcsc-lite's on every platform: the conversions the
// adapter makes where Windows numbers them otherwise (Windows' own values as its SDK
// headers define them), and the few statuses Apple's framework numbers otherwise.

#include "scard/pcsc_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

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
    // pcsc-lite's T=15 (0x8) has no counterpart in winsmcrd.h: a bit Windows does not
    // define passes as it is, both ways.
    EXPECT_EQ(protocol_from_windows(0x8), 0x8u);
    EXPECT_EQ(windows_protocols(0x8), 0x8u);
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

TEST(PcscWire, WindowsStatusesBecomeThePcscLiteCodesOfTheSameFailure) {
    struct Case {
        std::uint32_t windows;
        std::uint32_t wire;
        const char* name;  // Windows' name of the status
    };
    const Case cases[] = {
        {0x80100022, 0x8010001F, "SCARD_E_UNSUPPORTED_FEATURE"},
        {0x1, 0x8010001F, "ERROR_INVALID_FUNCTION"},
        {0x6, 0x80100003, "ERROR_INVALID_HANDLE"},
        {0x8, 0x80100006, "ERROR_NOT_ENOUGH_MEMORY"},
        {0xE, 0x80100006, "ERROR_OUTOFMEMORY"},
        {0x32, 0x8010001F, "ERROR_NOT_SUPPORTED"},
        {0x57, 0x80100004, "ERROR_INVALID_PARAMETER"},
        {0x6D, 0x8010001D, "ERROR_BROKEN_PIPE"},
        {0x7A, 0x80100008, "ERROR_INSUFFICIENT_BUFFER"},
        {0xEA, 0x80100008, "ERROR_MORE_DATA"},
        {0x5B4, 0x8010000A, "ERROR_TIMEOUT"},
        // Numbered alike on both, or Windows' own with no other meaning in pcsc-lite.
        {0x0, 0x0, "SCARD_S_SUCCESS"},
        {0x80100001, 0x80100001, "SCARD_F_INTERNAL_ERROR"},
        {0x80100003, 0x80100003, "SCARD_E_INVALID_HANDLE"},
        {0x8010001F, 0x8010001F, "SCARD_E_UNEXPECTED"},
        {0x8010002E, 0x8010002E, "SCARD_E_NO_READERS_AVAILABLE"},
        {0x80100032, 0x80100032, "SCARD_E_PIN_CACHE_EXPIRED"},
        {0x80100034, 0x80100034, "SCARD_E_READ_ONLY_CARD"},
        {0x80100069, 0x80100069, "SCARD_W_REMOVED_CARD"},
        {0x80100072, 0x80100072, "SCARD_W_CACHE_ITEM_TOO_BIG"},
        {0x6F7, 0x6F7, "1783, a status with a text of its own"},
    };
    for (const Case& c : cases) EXPECT_EQ(status_from_windows(c.windows), c.wire) << c.name;
    for (const StatusConversion& conversion : WINDOWS_STATUSES) {
        EXPECT_TRUE(std::any_of(std::begin(cases), std::end(cases),
                                [&](const Case& c) { return c.windows == conversion.windows; }))
            << "no case for " << std::hex << conversion.windows;
    }
}

TEST(PcscWire, AppleStatusesOfTransactionsAndConnectionsBecomePcscLites) {
    struct Case {
        std::uint32_t apple;
        std::uint32_t begin_transaction;
        std::uint32_t connect;
        const char* name;  // the status's name on Apple
    };
    const Case cases[] = {
        // A card removed and inserted again.
        {0x80100068, 0x80100069, 0x80100068, "SCARD_W_RESET_CARD"},
        // A card another application powered off (pcsc-lite: reset).
        {0x80100067, 0x80100068, 0x80100067, "SCARD_W_UNPOWERED_CARD"},
        // A protocol the card lacks.
        {0x80100016, 0x80100016, 0x8010000F, "SCARD_E_NOT_TRANSACTED"},
        {0x0, 0x0, 0x0, "SCARD_S_SUCCESS"},
        {0x80100069, 0x80100069, 0x80100069, "SCARD_W_REMOVED_CARD"},
        {0x8010000F, 0x8010000F, 0x8010000F, "SCARD_E_PROTO_MISMATCH"},
        {0x8010000B, 0x8010000B, 0x8010000B, "SCARD_E_SHARING_VIOLATION"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(begin_transaction_status_from_apple(c.apple), c.begin_transaction) << c.name;
        EXPECT_EQ(connect_status_from_apple(c.apple), c.connect) << c.name;
    }
}

// TLV: tag, length 4, big-endian control code.
std::vector<std::uint8_t> feature(std::uint8_t tag, std::uint32_t code) {
    return {tag,
            4,
            static_cast<std::uint8_t>(code >> 24),
            static_cast<std::uint8_t>(code >> 16),
            static_cast<std::uint8_t>(code >> 8),
            static_cast<std::uint8_t>(code)};
}

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(PcscWire, FeatureListsOfAWindowsDriverNameTheWireCodes) {
    // An entry of another length in between is passed over.
    auto features = joined({feature(0x06, windows_ctl(3406)),
                            feature(0x07, windows_ctl(3407)),
                            {0x0A, 2, 0x00, 0x31},
                            feature(0x12, windows_ctl(4095)),
                            feature(0x13, windows_ctl(0))});
    feature_codes_from_windows(features);
    EXPECT_EQ(features, joined({feature(0x06, ctl(3406)),
                                feature(0x07, ctl(3407)),
                                {0x0A, 2, 0x00, 0x31},
                                feature(0x12, ctl(4095)),
                                feature(0x13, ctl(0))}));
}

TEST(PcscWire, FeatureValuesThatAreNoWindowsControlCodeStay) {
    struct Case {
        std::vector<std::uint8_t> features;
        const char* why;
    };
    const Case cases[] = {
        {feature(0x06, ctl(3406)), "already the wire's"},
        {feature(0x06, windows_ctl(3406) | 0x2), "another transfer method"},
        {feature(0x06, windows_ctl(4095) + 4), "past the function field"},
        {{0x06, 2, 0x00, 0x31, 0x06, 4, 0x00, 0x31}, "not 4 bytes long, nor the next one whole"},
        {{0x06, 4, 0x00, 0x31, 0x35}, "cut short"},
        {{0x06}, "a tag alone"},
        {{}, "empty"},
    };
    for (const Case& c : cases) {
        auto features = c.features;
        feature_codes_from_windows(features);
        EXPECT_EQ(features, c.features) << c.why;
    }
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::pcsc::wire
