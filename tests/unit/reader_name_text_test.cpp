// Reader names as the extension sees them: valid JSON text that maps back to exactly
// the service's bytes, whatever bytes a driver put there.

#include "support/reader_name_text.h"

#include <gtest/gtest.h>

#include <string>

namespace Vorn_SCard_Bridge {
namespace {

struct NameCase {
    const char* name;
    std::string service;
    std::string shown;
};

class ReaderNameText : public ::testing::TestWithParam<NameCase> {};

TEST_P(ReaderNameText, IsShownAsUtf8AndMapsBackToTheSameBytes) {
    const NameCase& c = GetParam();
    EXPECT_EQ(shown_reader_name(c.service), c.shown);
    EXPECT_EQ(service_reader_name(c.shown), c.service);
}

std::string repeated(const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ReaderNameText,
    ::testing::Values(NameCase{"Ascii", "Vorn Test PIN Pad 00 00", "Vorn Test PIN Pad 00 00"},
                      NameCase{"Utf8", "Lecteur \xC3\xA9 00 00", "Lecteur \xC3\xA9 00 00"},
                      NameCase{"Latin1", "Lecteur \xE9 00 00", "Lecteur \uFFFDE9 00 00"},
                      NameCase{"Latin1ShownApart", "Lecteur \xE8 00 00", "Lecteur \uFFFDE8 00 00"},
                      NameCase{"HundredFF", std::string(100, '\xFF'), repeated("\uFFFDFF", 100)},
                      // Sequences cut short, overlong, surrogates, past U+10FFFF: byte by byte.
                      NameCase{"CutSequence", "A\xE2\x82", "A\uFFFDE2\uFFFD82"},
                      NameCase{"Overlong", "\xC0\xAF", "\uFFFDC0\uFFFDAF"},
                      NameCase{"Surrogate", "\xED\xA0\x80", "\uFFFDED\uFFFDA0\uFFFD80"},
                      NameCase{"PastTheLastCodePoint", "\xF4\x90\x80\x80",
                               "\uFFFDF4\uFFFD90\uFFFD80\uFFFD80"},
                      // A hexadecimal digit after a bad byte is text of its own.
                      NameCase{"DigitAfterABadByte",
                               "\xE9"
                               "AB",
                               "\uFFFDE9AB"},
                      // A name that really holds U+FFFD keeps it, doubled, apart from any bad byte.
                      NameCase{"RealReplacementCharacter", "Pad \uFFFD", "Pad \uFFFD\uFFFD"},
                      NameCase{"RealReplacementCharacterAndDigits",
                               "Pad \uFFFD"
                               "FF",
                               "Pad \uFFFD\uFFFDFF"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReaderNameText, AReplacementCharacterWithoutAByteStandsForItself) {
    EXPECT_EQ(service_reader_name("Vorn \uFFFD Odd"), "Vorn \uFFFD Odd");
    EXPECT_EQ(service_reader_name("end \uFFFD"), "end \uFFFD");
    EXPECT_EQ(service_reader_name("\uFFFDF"), "\uFFFDF");
    EXPECT_EQ(service_reader_name("\uFFFDe9"), "\xE9");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
