// The texts that carry handles, codes, APDUs and reader lists over the JSON
// channel, and the values they stand for.

#include "support/codecs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vorn_SCard_Bridge {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- from_hex

struct FromHexCase {
    const char* name;
    std::string text;
    std::int32_t expected;
};

class FromHexAccepts : public ::testing::TestWithParam<FromHexCase> {};

TEST_P(FromHexAccepts, GivesTheLow32BitsAsSignedValue) {
    const FromHexCase& c = GetParam();
    EXPECT_EQ(from_hex(c.text), c.expected) << "text: '" << c.text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FromHexAccepts,
    ::testing::Values(
        FromHexCase{"PrefixedWithZeros", "0x0000001F", 31}, FromHexCase{"Bare", "1F", 31},
        FromHexCase{"LowerCaseDigits", "0x1a2b3c4d", 0x1A2B3C4D},
        // Only "0x" is cut off by hand; the conversion itself accepts "0X".
        FromHexCase{"UpperCasePrefix", "0XFF", 255},
        FromHexCase{"StopsAtFirstNonDigit", "ff zz", 255},
        FromHexCase{"AllOnesIsMinusOne", "0xFFFFFFFF", -1},
        FromHexCase{"PcscStatusIsNegative", "0x80100003", -2146435069},
        FromHexCase{"NineDigitsKeepLow32Bits", "123456789", 0x23456789},
        FromHexCase{"SixteenDigitsKeepLow32Bits", "0x123456789ABCDEF0",
                    static_cast<std::int32_t>(0x9ABCDEF0u)},
        FromHexCase{"Max64BitValue", "FFFFFFFFFFFFFFFF", -1},
        // "0x" alone is not shortened: the conversion reads the 0 and stops at x.
        FromHexCase{"PrefixAlone", "0x", 0}, FromHexCase{"SingleDigit", "7", 7},
        FromHexCase{"LeadingBlankSkipped", " 1f", 31}, FromHexCase{"PlusSign", "+1f", 31},
        // A minus sign negates modulo 2^64; the low 32 bits remain.
        FromHexCase{"MinusOne", "-1", -1}, FromHexCase{"MinusTwo", "-2", -2},
        // After the hand-made cut, the conversion accepts a second prefix.
        FromHexCase{"DoublePrefix", "0x0x10", 16},
        // The same on every C library: blanks and a sign come before a prefix, and a
        // prefix without a digit after it is a 0 followed by other text.
        FromHexCase{"BlankThenPrefix", "\t 0x1f", 31}, FromHexCase{"SignThenPrefix", "-0x10", -16},
        FromHexCase{"UpperCasePrefixAlone", "0X", 0}, FromHexCase{"PrefixThenBlank", "0x 1", 1},
        FromHexCase{"Int32Min", "0x80000000", std::numeric_limits<std::int32_t>::min()},
        FromHexCase{"Int32Max", "0x7FFFFFFF", std::numeric_limits<std::int32_t>::max()}),
    [](const auto& info) { return std::string(info.param.name); });

struct FromHexFailure {
    const char* name;
    std::string text;
};

class FromHexRefuses : public ::testing::TestWithParam<FromHexFailure> {};

TEST_P(FromHexRefuses, NamesTheWholeInputAndTheConversionFailure) {
    const FromHexFailure& c = GetParam();
    const std::string prefix = "Error converting string '" + c.text + "' to hex value: ";
    try {
        const std::int32_t value = from_hex(c.text);
        FAIL() << "'" << c.text << "' was accepted as " << value;
    } catch (const std::runtime_error& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
        // The conversion's own description follows.
        EXPECT_GT(message.size(), prefix.size()) << message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FromHexRefuses,
    ::testing::Values(FromHexFailure{"Empty", ""}, FromHexFailure{"NoDigit", "zz"},
                      FromHexFailure{"PrefixThenNoDigit", "0xzz"},
                      FromHexFailure{"OnlyBlanks", "   "}, FromHexFailure{"OnlySign", "-"},
                      FromHexFailure{"SignThenBlank", "- 1"},
                      // 17 significant digits do not fit in 64 bits.
                      FromHexFailure{"Beyond64Bits", "0x1FFFFFFFFFFFFFFFF"},
                      FromHexFailure{"FarBeyond64Bits", "123456789ABCDEF0123456789"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FromHex, EmptyTextMessageHasEmptyQuotes) {
    try {
        from_hex("");
        FAIL() << "empty text accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Error converting string '' to hex value: ", 0), 0u)
            << e.what();
    }
}

// ---------------------------------------------------------------- to_hex

struct ToHexCase {
    std::int32_t value;
    std::string expected;
};

class ToHexWrites : public ::testing::TestWithParam<ToHexCase> {};

TEST_P(ToHexWrites, EightUpperCaseDigitsOfThe32BitPattern) {
    EXPECT_EQ(to_hex(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ToHexWrites,
    ::testing::Values(ToHexCase{0, "0x00000000"}, ToHexCase{1, "0x00000001"},
                      ToHexCase{255, "0x000000FF"}, ToHexCase{-1, "0xFFFFFFFF"},
                      ToHexCase{0x0A0B0C0D, "0x0A0B0C0D"}, ToHexCase{-2146435069, "0x80100003"},
                      ToHexCase{std::numeric_limits<std::int32_t>::max(), "0x7FFFFFFF"},
                      ToHexCase{std::numeric_limits<std::int32_t>::min(), "0x80000000"},
                      ToHexCase{0x1234ABCD, "0x1234ABCD"}));

TEST(ToHex, ReadBackByFromHexGivesTheSameValue) {
    static const std::regex shape("^0x[0-9A-F]{8}$");
    std::vector<std::int32_t> values = {0,
                                        1,
                                        -1,
                                        std::numeric_limits<std::int32_t>::min(),
                                        std::numeric_limits<std::int32_t>::max(),
                                        std::numeric_limits<std::int32_t>::min() + 1,
                                        std::numeric_limits<std::int32_t>::max() - 1};
    // A sweep over the whole range with an odd step touches every digit position.
    for (std::int64_t v = std::numeric_limits<std::int32_t>::min();
         v <= std::numeric_limits<std::int32_t>::max(); v += 65521 * 97) {
        values.push_back(static_cast<std::int32_t>(v));
    }
    for (const std::int32_t value : values) {
        const std::string text = to_hex(value);
        ASSERT_TRUE(std::regex_match(text, shape)) << value << " -> " << text;
        ASSERT_EQ(from_hex(text), value) << text;
    }
}

// ---------------------------------------------------------------- from_hex_string

struct FromHexStringCase {
    const char* name;
    std::string text;
    Bytes expected;
};

class FromHexStringDecodes : public ::testing::TestWithParam<FromHexStringCase> {};

TEST_P(FromHexStringDecodes, TwoCharactersPerByte) {
    EXPECT_EQ(from_hex_string(GetParam().text), GetParam().expected)
        << "text: '" << GetParam().text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FromHexStringDecodes,
    ::testing::Values(FromHexStringCase{"SelectApdu", "00A4040007", {0x00, 0xA4, 0x04, 0x00, 0x07}},
                      FromHexStringCase{"LowerCase", "3f", {0x3F}},
                      FromHexStringCase{"UpperCase", "3F", {0x3F}},
                      FromHexStringCase{"MixedCase", "aBcD", {0xAB, 0xCD}},
                      FromHexStringCase{"AllOnes", "FFFF", {0xFF, 0xFF}},
                      // A piece that is not two hexadecimal digits still gives one byte, read
                      // the way a stream extracts a hexadecimal number.
                      FromHexStringCase{"StopsAtNonDigit", "4G", {0x04}},
                      FromHexStringCase{"NoLeadingDigit", "G4", {0x00}},
                      FromHexStringCase{"LeadingBlankSkipped", " 4", {0x04}},
                      FromHexStringCase{"TrailingBlank", "4 ", {0x04}},
                      FromHexStringCase{"NoDigitAtAll", "zz", {0x00}},
                      FromHexStringCase{"PlusSign", "+5", {0x05}},
                      FromHexStringCase{"BadPieceBetweenGoodOnes", "01G4FF", {0x01, 0x00, 0xFF}},
                      // No prefix handling: "0x" is a piece like any other.
                      FromHexStringCase{"PrefixIsAPiece", "0x41", {0x00, 0x41}}),
    [](const auto& info) { return std::string(info.param.name); });

struct FromHexStringFailure {
    const char* name;
    std::string text;
    std::string message;
};

class FromHexStringRefuses : public ::testing::TestWithParam<FromHexStringFailure> {};

TEST_P(FromHexStringRefuses, WithAPreviewOfAtMost32Characters) {
    const FromHexStringFailure& c = GetParam();
    try {
        const Bytes bytes = from_hex_string(c.text);
        FAIL() << "'" << c.text << "' was accepted as " << bytes.size() << " bytes";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
}

const std::string DIGITS_31 = "0123456789ABCDEF0123456789ABCDE";
const std::string DIGITS_32 = DIGITS_31 + "F";

INSTANTIATE_TEST_SUITE_P(
    Texts, FromHexStringRefuses,
    ::testing::Values(
        FromHexStringFailure{"Empty", "", "Invalid hex string at offset: preview=''"},
        FromHexStringFailure{"OneCharacter", "A", "Invalid hex string at offset: preview='A'"},
        FromHexStringFailure{"OddLength", "abc", "Invalid hex string at offset: preview='abc'"},
        FromHexStringFailure{"ThirtyOneCharactersShownWhole", DIGITS_31,
                             "Invalid hex string at offset: preview='" + DIGITS_31 + "'"},
        FromHexStringFailure{"ThirtyThreeCharactersCut", DIGITS_32 + "0",
                             "Invalid hex string at offset: preview='" + DIGITS_32 + "...'"},
        FromHexStringFailure{"LongOddTextCut", DIGITS_32 + DIGITS_32 + "123",
                             "Invalid hex string at offset: preview='" + DIGITS_32 + "...'"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FromHexString, ResultHasHalfAsManyBytesAsTheTextHasCharacters) {
    // A long APDU (64 KiB of data) keeps its size and content.
    std::string text;
    Bytes expected;
    for (int i = 0; i < 65536; ++i) {
        expected.push_back(static_cast<std::uint8_t>(i * 7));
    }
    text = to_hex_string(expected);
    ASSERT_EQ(text.size(), 2 * expected.size());
    EXPECT_EQ(from_hex_string(text), expected);
}

// ---------------------------------------------------------------- to_hex_string

struct ToHexStringCase {
    Bytes bytes;
    std::string expected;
};

class ToHexStringWrites : public ::testing::TestWithParam<ToHexStringCase> {};

TEST_P(ToHexStringWrites, TwoUpperCaseDigitsPerByteWithoutSeparators) {
    const ToHexStringCase& c = GetParam();
    EXPECT_EQ(to_hex_string(c.bytes), c.expected);
    EXPECT_EQ(to_hex_string(c.bytes.data(), c.bytes.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Bytes, ToHexStringWrites,
                         ::testing::Values(ToHexStringCase{{}, ""},
                                           ToHexStringCase{{0x00, 0xFF}, "00FF"},
                                           ToHexStringCase{{0x3B, 0x8F, 0x01}, "3B8F01"},
                                           ToHexStringCase{{0x90, 0x00}, "9000"},
                                           ToHexStringCase{{0x0A}, "0A"}));

TEST(ToHexString, EveryByteValueRoundTrips) {
    Bytes all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
    const std::string text = to_hex_string(all);
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(from_hex_string(text), all);
}

TEST(ToHexString, NullPointerWithZeroCountIsEmpty) { EXPECT_EQ(to_hex_string(nullptr, 0), ""); }

// ---------------------------------------------------------------- multi_string_to_comma_string

struct MultiStringCase {
    const char* name;
    std::string buffer;  // exactly the bytes the service handed over
    std::string expected;
};

class MultiStringTerminated : public ::testing::TestWithParam<MultiStringCase> {};

// Both overloads agree on a properly terminated list. The buffer is copied into
// a heap block of exactly its size, so a read past it is caught by the sanitizer.
TEST_P(MultiStringTerminated, JoinsTheNamesWithCommas) {
    const MultiStringCase& c = GetParam();
    const std::vector<char> exact(c.buffer.begin(), c.buffer.end());
    EXPECT_EQ(multi_string_to_comma_string(exact.data()), c.expected);
    EXPECT_EQ(multi_string_to_comma_string(exact.data(), exact.size()), c.expected);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Lists, MultiStringTerminated,
    ::testing::Values(
        MultiStringCase{"TwoNames", "A\0B\0\0"s, "A,B"}, MultiStringCase{"OneName", "A\0\0"s, "A"},
        MultiStringCase{"LoneNul", "\0"s, ""}, MultiStringCase{"TwoNuls", "\0\0"s, ""},
        MultiStringCase{"ReaderNames", "Reader A\0Reader B\0\0"s, "Reader A,Reader B"},
        MultiStringCase{"CommaInsideNameNotEscaped", "Reader, A\0B\0\0"s, "Reader, A,B"},
        MultiStringCase{"ThreeNames", "x\0yy\0zzz\0\0"s, "x,yy,zzz"},
        // The empty string ends the list, even with names after it.
        MultiStringCase{"StopsAtEmptyString", "A\0\0B\0\0"s, "A"},
        MultiStringCase{"Utf8Name", "Lecteur \xC3\xA9\0\0"s, "Lecteur \xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MultiString, NullPointerGivesEmptyText) {
    EXPECT_EQ(multi_string_to_comma_string(nullptr), "");
    EXPECT_EQ(multi_string_to_comma_string(nullptr, 10), "");
}

class MultiStringBounded : public ::testing::TestWithParam<MultiStringCase> {};

// A list that the service failed to terminate ends at the end of its buffer; the
// bounded overload never reads past it.
TEST_P(MultiStringBounded, EndsAtTheBufferEnd) {
    const MultiStringCase& c = GetParam();
    const std::vector<char> exact(c.buffer.begin(), c.buffer.end());
    EXPECT_EQ(multi_string_to_comma_string(exact.data(), exact.size()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, MultiStringBounded,
    ::testing::Values(MultiStringCase{"NoNulAtAll", "ABCD", "ABCD"},
                      MultiStringCase{"SecondNameUnterminated", "A\0B"s, "A,B"},
                      MultiStringCase{"OneTerminatorNoEmptyString", "A\0"s, "A"},
                      MultiStringCase{"TwoNamesOneTerminatorEach", "A\0B\0"s, "A,B"},
                      MultiStringCase{"LongNameUnterminated", "Reader A\0Reader B"s,
                                      "Reader A,Reader B"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MultiString, BoundedOverloadStopsAtTheGivenSize) {
    const std::string list = "A\0B\0\0"s;
    EXPECT_EQ(multi_string_to_comma_string(list.data(), 0), "");
    EXPECT_EQ(multi_string_to_comma_string(list.data(), 1), "A");
    EXPECT_EQ(multi_string_to_comma_string(list.data(), 2), "A");
    EXPECT_EQ(multi_string_to_comma_string(list.data(), 3), "A,B");
    EXPECT_EQ(multi_string_to_comma_string(list.data(), 4), "A,B");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
